#pragma once
// The VISCA camera channel: a client places a request in the segment "/tmp/shm/visca_server" and
// signals the semaphore set keyed on the same file; the VISCA thread answers it in the segment.
//
// Segment: request = byte 0 N (packet bytes that follow, 4..20), then the packet; reply = byte 0
// L (total reply length, counting byte 0 itself), then the reply packet; L = 0 when the request has
// no reply or was refused. Semaphore 0 is the channel (raised while a client writes and while the
// server works), semaphore 1 the posted request. A client takes the channel with {0 wait-zero,
// 0 +1}, writes, releases and posts with {0 -1, 1 +1}, and waits for its reply with {1 wait-zero,
// 0 wait-zero, 0 +1} in one operation, reads, and releases with {0 -1}. Clients take it without
// undo: while nothing is posted, the thread frees a channel whose last process on semaphore 0 is
// gone (checked every 200 ms), with one log line.
#include <cstddef>
#include <cstdint>

#include "if_visca/DVisca.h"

namespace kavo {
namespace isp {

constexpr const char* kViscaKeyFile = "/tmp/shm/visca_server";
constexpr size_t kViscaSegmentBytes = 64;
// The request lengths a packet may have (header, 01/09, category, code at least).
constexpr uint8_t kViscaMinRequest = 4;

// 0, or -1 when the semaphore set cannot be created (one exists already: a second start), when the
// segment is missing, or when the thread does not answer within 30 ms.
int startViscaThread();
// 0 when the thread stopped or was given up, -1 when the channel could not be reached.
//
// The stop takes the channel for at most kViscaChannelWaitMs (a client that died holding it
// cannot hold the shutdown); when that runs out it removes the set, which ends the thread's wait.
// Then it waits up to kViscaLeaveWaitMs for the thread to leave (a long handler sees the stop at
// its next wait step) and removes the set.
int stopViscaThread();
// True when no VISCA thread is left (none was started, or the last stop saw it leave and joined
// it). While false, what the thread uses (the DVisca object, the controller) must stay.
bool viscaThreadGone();

constexpr uint32_t kViscaChannelWaitMs = 500;
constexpr uint32_t kViscaLeaveWaitMs = 3000;

// For handlers that wait long on the VISCA thread: sleeps `ms` in short steps and returns false as
// soon as a stop is asked for (the handler then returns at once), else true.
bool viscaWaitMs(uint32_t ms);
bool viscaStopRequested();

// One request as the thread serves it, between taking it and releasing the channel: the length
// byte read once and held to 4..20, the work buffer cleared, the packet dispatched (unless
// `dispatch` is false: a stop is asked for), and the reply, or a length of 0, written to the
// segment (kViscaSegmentBytes).
void viscaServeRequest(uint8_t* segment, uint8_t (&work)[kViscaWorkBytes], bool dispatch);

}  // namespace isp
}  // namespace kavo
