#pragma once
// Start and stop of the worker threads that main runs besides the IPC and VISCA threads: the 3A
// thread (the per-frame 3A step), the pan/tilt worker (board 3) and the video-port input watcher
// (board 2); the sub-CPU reply thread is the link's own (fe_subcpu). Each start sets the thread's
// run and acknowledge words and waits for the thread to clear acknowledge; each stop clears run
// and waits for the thread to clear alive. Starters and stoppers return 0, or -1 when the thread
// did not answer in time (logged).
//
// Stops are requests the thread sees at its next turn: no thread is ever cancelled (one cancelled
// inside the driver's mutex would hold it for good). A 3A thread that outlives its stop's time-out
// goes on to its next turn and leaves then; a start meanwhile takes it back instead of starting a
// second one. The threads are created with SIGINT and SIGTERM blocked: those go to the main thread.
#include <atomic>
#include <cstdint>

namespace kavo {
namespace isp {

struct ThreadControl;

// The handshake helpers the VISCA channel shares with these threads.
// Polls `word` every `pollMs` until it reads 0, at most `polls` times; true once it reads 0.
bool waitCleared(const std::atomic<uint32_t>& word, int polls, uint32_t pollMs);
// Creates the thread with the stop signals blocked, so that they keep going to the main thread.
bool createWorkerThread(ThreadControl& t, void* (*routine)(void*));
// Joins a created thread once.
void joinWorkerThread(ThreadControl& t);

int start_aaa_thread();
// Always 0; a time-out is logged ("stop timeout.") and the thread leaves at its next turn.
int stop_aaa_thread();
// Waits up to `ms` for a 3A thread that outlived its stop; true when none is left.
bool join_aaa_thread(uint32_t ms);
// 1 pauses the 3A step, 0 resumes it.
void setPauseAAA(int pause);
// Sleeps `ms`; on the 3A thread a stop request ends the wait early, and it returns false then.
bool aaaWaitMs(uint32_t ms);
int start_subcpu_pt_thread();
int stop_subcpu_pt_thread();
int start_io_thread();
int stop_io_thread();

// One look at video-port input 1 (index 0) or 2 (index 1): logs a trigger or its end. The I/O
// thread's pass.
void check_gpi(int index);

}  // namespace isp
}  // namespace kavo
