#pragma once
// One outgoing frame: a 4-byte big-endian body length, then the body (an endpoint name for the
// handshake, else one message as compact JSON).
#include <cstdint>
#include <string>

#include "kavo/ipc/messages/basemessage.h"
#include "kavo/utils/iobuffer.h"

namespace kavo {
namespace ipc {

// Largest frame body accepted or sent. A peer announcing more is dropped: the length field is
// read before the body, and nothing of that size is ever exchanged between these processes.
constexpr uint32_t kMaxFrameBodySize = 16u * 1024u * 1024u;
// What a cleared payload keeps of its storage for the next frame: far above the messages of the
// system (a few kilobytes).
constexpr size_t kKeptStorageBytes = 64u * 1024u;

class IOPayload {
 public:
  IOPayload() = default;
  virtual ~IOPayload();
  IOPayload(const IOPayload&) = delete;
  IOPayload& operator=(const IOPayload&) = delete;

  // A raw frame holding `text` (the handshake). False when the text is above kMaxFrameBodySize.
  bool Init(const std::string& text);
  // A JSON frame of `message`; keeps its "to" and its "functionName", and a copy of the message
  // unless `keepMessage` is false (then GetMessage() reads it back from the frame when asked).
  bool Init(const kavo::ipc::messages::BaseMessage& message, bool keepMessage = true);
  // The same with the message's "to" and "functionName" as the caller has already read them.
  bool Init(const kavo::ipc::messages::BaseMessage& message, const std::string& to,
            const std::string& functionName, bool keepMessage);

  // Sends what is left with one send(2). True when the descriptor took some or nothing for now
  // (EAGAIN); false on a failure (a vanished peer included: no SIGPIPE is raised).
  bool WriteToFd(int fd);
  bool SendComplete() const { return bytesSent == buffer.GetAvailableBytesCount(); }
  void Clear();

  // A frame is written by one connection at a time. When another connection takes over a frame
  // that was partly written, the frame starts again from its first byte: the bytes already sent
  // went to a connection that the peer has dropped with its read buffer.
  void AssignToConnection(uint64_t connectionId);
  // The connection that writes (or last wrote) the frame; 0: none yet.
  uint64_t GetConnectionId() const { return connectionId; }
  // A request that waits for its answer: its id (0 for every other frame).
  uint64_t GetAwaitedRequestId() const { return awaitedRequestId; }
  void SetAwaitedRequestId(uint64_t id) { awaitedRequestId = id; }

  const std::string& GetTo() const { return to; }
  const std::string& GetFunctionName() const { return functionName; }
  // The message sent (for a raw frame: an empty document).
  kavo::ipc::messages::BaseMessage& GetMessage();
  uint32_t GetBytesSent() const { return bytesSent; }
  // The JSON size of a message that Init refused as too large (0: none).
  size_t GetRefusedSize() const { return refusedSize; }
  // The hub's timer tick at which the frame was queued.
  uint64_t GetQueuedTick() const { return queuedTick; }
  void SetQueuedTick(uint64_t tick) { queuedTick = tick; }
  uint32_t GetSize() const { return static_cast<uint32_t>(buffer.GetAvailableBytesCount()); }
  const kavo::utils::IOBuffer& GetBuffer() const { return buffer; }

 private:
  bool AppendFrame(const char* body, size_t length);

  kavo::ipc::messages::BaseMessage message;
  std::string to;
  std::string functionName;
  kavo::utils::IOBuffer buffer;
  uint32_t bytesSent = 0;
  uint64_t connectionId = 0;
  uint64_t queuedTick = 0;
  uint64_t awaitedRequestId = 0;
  size_t refusedSize = 0;
  bool hasMessage = false;  // `message` holds the copy; else it is read back from the frame
  bool isJson = false;
  std::string json;  // reused text of Init(message), so a pooled payload does not reallocate it
};

}  // namespace ipc
}  // namespace kavo
