#pragma once
// BaseDestiantion: one output end of an FLV container (a file, a TCP peer it connects to, or a TCP
// peer that connects to it) with the connection state machine that the frames themselves drive.
//
// Every Write() first advances the machine (parse the URI, open the file, connect, accept, wait
// out a retry delay) and then writes the caller's I/O vectors or drops them. Nothing blocks:
// sockets are non-blocking, a pending connect is polled, and delays are deadlines on the monotonic
// clock. Bytes a socket cannot take go to a backlog of at most 4 MiB (plus the frame that crossed
// it); its fill is the congestion level (0..100) that drives the bitrate adaptation. Every state
// change is sent as EventStreamingStatus to "kavo_avclient".
//
// The subclass produces the bytes and implements the stream start (SignalConnected), which the
// machine calls in state CONNECTED.
//
// A file whose write fails (a full disk, the file-size limit) is cut back to its last whole tag;
// the next open keeps that part and the stream goes on after it (SignalResumed) instead of
// starting the file over.
//
// URI query parameters: "retryInterval" and "connectTimeout" (seconds, 1..255; defaults 10 and 3),
// and for tcp "acceptor" (listen instead of connecting) and "randomPort" (the system picks the
// listening port; GetAcceptorPort() reports it while waiting for a peer).
#include <sys/uio.h>

#include <cstdint>
#include <string>

#include "kavo/encoder/frames.h"
#include "kavo/encoder/streaminfo.h"
#include "kavo/utils/iobuffer.h"
#include "kavo/variant_utils/uri.h"

namespace kavo {
namespace encoder {

class Encoder;

// The state's name as logs and status events carry it; "(unknown)" above 9.
const char* __stateToString(unsigned char state);

class BaseDestiantion {
 public:
  // States (unsigned 8-bit values, as the status events and logs name them).
  static constexpr uint8_t IGNORE_DESTINATION = 0;
  static constexpr uint8_t UNINITIALIZED = 1;
  static constexpr uint8_t WAIT = 2;
  static constexpr uint8_t OPEN_FILE = 3;
  static constexpr uint8_t START_CONNECT = 4;
  static constexpr uint8_t INSPECT_CONNECTION = 5;
  static constexpr uint8_t INIT_FOR_ACCEPT = 6;
  static constexpr uint8_t ACCEPT = 7;
  static constexpr uint8_t CONNECTED = 8;
  static constexpr uint8_t SEND_DATA = 9;

  // Bytes pending in the backlog from which new data is dropped.
  static constexpr size_t kMaxBacklog = 0x400000;

  BaseDestiantion(const StreamInfo& info, Encoder* encoder);
  // Reports the change to UNINITIALIZED, then closes the descriptor.
  virtual ~BaseDestiantion();
  BaseDestiantion(const BaseDestiantion&) = delete;
  BaseDestiantion& operator=(const BaseDestiantion&) = delete;

  virtual bool WriteAudioFrame(const audio_frame_t* frame, int64_t timestamp, unsigned char& congestion) = 0;
  virtual bool WriteVideoFrame(const video_frame_t* frame, int64_t timestamp, unsigned char& congestion) = 0;
  virtual bool SignalCodecsChanged() = 0;
  // Sends the stream start; false makes the destination start over.
  virtual bool SignalConnected() = 0;
  // A file reopened after a write error goes on after what it holds (its last whole tag): the
  // stream carries on without a new start. False makes the destination start over.
  virtual bool SignalResumed() { return true; }

  // Advances the machine, then writes `count` vectors of `size` bytes in all (count 0: nothing
  // new; a pending backlog is still flushed). Always true: failures show as state changes.
  // `congestion` is written only when the data reached the write step.
  bool Write(const struct iovec* iov, int count, int size, unsigned char& congestion);
  // The write step: backlog first, then the vectors; what the descriptor does not take is kept.
  bool WriteToFD(const struct iovec* iov, int count, int size);
  bool WriteToFD(const struct iovec* iov, int count, int size, unsigned char& congestion);

  // CONNECTED or SEND_DATA (file destinations included).
  bool IsConnected() const { return state == CONNECTED || state == SEND_DATA; }
  // The system-chosen listening port while in ACCEPT (randomPort only), else 0.
  unsigned short GetAcceptorPort() const { return state == ACCEPT ? acceptorPort : 0; }
  void CloseFD();
  void DumpWritevDiag(const std::string& path, int error, const struct iovec* iov, int count, int size);

  // The destination's URI text, as the container's list names it.
  std::string GetUri() const { return streamInfo.uri(); }
  // A new description of the stream for the same URI: the file or connection goes on, and the
  // next stream start (after a reconnection) carries it.
  void UpdateStreamInfo(const StreamInfo& info) { streamInfo = info; }

  // ---- state, for the subclass and for tests ------------------------------------------------
  uint8_t GetState() const { return state; }
  bool IsAcceptor() const { return isAcceptor; }
  uint8_t GetRetryInterval() const { return retryInterval; }
  uint8_t GetConnectTimeout() const { return connectTimeout; }
  size_t GetBacklogSize() const { return backlog.GetAvailableBytesCount(); }
  // True when the data of the last Write() or WriteToFD() was neither written nor kept (the
  // destination was not sending, or the backlog was full), so that the stream lost it.
  bool LastWriteDropped() const { return lastWriteDropped; }
  // The congestion level of `pending` backlog bytes (0 for an acceptor).
  static unsigned char CongestionOf(size_t pending);

 protected:
  void Transition(uint8_t newState, uint32_t delaySeconds, int line);

  StreamInfo streamInfo;
  Encoder* encoder;
  kavo::variant::URI uri;
  int fd = -1;
  uint8_t nextState = UNINITIALIZED;
  uint64_t waitDeadline = 0;  // monotonic ms
  uint64_t connectStart = 0;  // monotonic ms
  uint8_t state = UNINITIALIZED;
  uint8_t retryInterval = 10;
  uint8_t connectTimeout = 3;
  bool isAcceptor = false;
  bool randomPort = false;
  uint16_t acceptorPort = 0;
  kavo::utils::IOBuffer backlog;

 private:
  // One step of the current state; true: go on with the new state in the same call.
  bool StepUninitialized();
  bool StepWait();
  bool StepOpenFile();
  bool StepStartConnect();
  bool StepInspectConnection();
  bool StepInitForAccept();
  bool StepAccept();
  bool StepConnected();
  // After a failed stream start or write: an acceptor starts over at once, the others after the
  // retry interval.
  void StartOver(int line);
  // writev, or for a socket sendmsg without SIGPIPE; -1 and errno on failure.
  ssize_t WriteVectors(const struct iovec* iov, int count);
  // The bytes of the vectors after the first `done` to a file; `size` or -1 and errno.
  ssize_t WriteFileRest(const struct iovec* iov, int count, int size, ssize_t done);
  // After a failed write to a file: cuts the file back to its last whole tag and has the next
  // open go on from there.
  void KeepWholeTags();

  bool isSocket = false;
  bool lastWriteDropped = false;
  uint64_t fileWhole = 0;  // a file's length after the last complete write
  uint64_t resumeAt = 0;   // the length that the next open of the file keeps (0: start over)
  bool resuming = false;   // the file just opened goes on from resumeAt
};

}  // namespace encoder
}  // namespace kavo
