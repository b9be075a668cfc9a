#include "kavo/ipc/iopayload.h"

#include <cerrno>
#include <sys/socket.h>

#include "ipclog.h"

namespace kavo {
namespace ipc {

IOPayload::~IOPayload() = default;

bool IOPayload::AppendFrame(const char* body, size_t length) {
  if (length > kMaxFrameBodySize) return false;
  const uint32_t n = static_cast<uint32_t>(length);
  const uint8_t header[4] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                             static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  return buffer.ReadFromBuffer(header, sizeof header) && buffer.ReadFromBuffer(body, length);
}

bool IOPayload::Init(const std::string& text) {
  Clear();
  if (!AppendFrame(text.data(), text.size())) {
    buffer.IgnoreAll();
    return false;
  }
  return true;
}

namespace {
const std::string& TextOf(const kavo::ipc::messages::BaseMessage& message, const char* key) {
  const kavo::variant::Variant* v = message.Find(key);
  static const std::string none;
  return v != nullptr ? v->AsString() : none;
}
}  // namespace

bool IOPayload::Init(const kavo::ipc::messages::BaseMessage& source, bool keepMessage) {
  return Init(source, TextOf(source, "to"), TextOf(source, "functionName"), keepMessage);
}

bool IOPayload::Init(const kavo::ipc::messages::BaseMessage& source, const std::string& destination,
                     const std::string& function, bool keepMessage) {
  Clear();
  if (!source.ToJSON(json, false)) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "Unable to compute JSON for sending IPC message");
    return false;
  }
  // A frame the peer would refuse would block everything queued behind it on every connection.
  if (json.size() > kMaxFrameBodySize) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "IPC message of %zu bytes exceeds the frame limit of %u bytes", json.size(),
            kMaxFrameBodySize);
    refusedSize = json.size();
    return false;
  }
  if (!AppendFrame(json.data(), json.size())) {
    buffer.IgnoreAll();
    return false;
  }
  isJson = true;
  if (keepMessage) {
    message = source;
    hasMessage = true;
  }
  to = destination;
  functionName = function;
  return true;
}

kavo::ipc::messages::BaseMessage& IOPayload::GetMessage() {
  if (!hasMessage) {
    hasMessage = true;
    const size_t size = buffer.GetAvailableBytesCount();
    if (isJson && size > 4)
      message.FromJSON(reinterpret_cast<const char*>(buffer.GetPointer()) + 4, size - 4);
    if (!message.IsContainer()) message.EnsureContainer();
  }
  return message;
}

bool IOPayload::WriteToFd(int fd) {
  const size_t size = buffer.GetAvailableBytesCount();
  if (bytesSent >= size) return true;
  // MSG_NOSIGNAL: a peer that went away is EPIPE, never a fatal signal.
  ssize_t r = ::send(fd, buffer.GetPointer() + bytesSent, size - bytesSent, MSG_NOSIGNAL);
  if (r < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  bytesSent += static_cast<uint32_t>(r);
  return true;
}

void IOPayload::AssignToConnection(uint64_t id) {
  if (connectionId != id) {
    connectionId = id;
    bytesSent = 0;
  }
}

void IOPayload::Clear() {
  message.Free();  // no allocation: an empty document is made only when one is asked for
  hasMessage = false;
  isJson = false;
  // A pooled payload keeps its storage for messages of the usual size, not what an outsized one
  // (a long made-up endpoint name, say) grew it to.
  if (buffer.GetCapacity() > kKeptStorageBytes) buffer = kavo::utils::IOBuffer();
  if (json.capacity() > kKeptStorageBytes) std::string().swap(json);
  if (to.capacity() > kKeptStorageBytes) std::string().swap(to);
  to.clear();
  functionName.clear();
  bytesSent = 0;
  connectionId = 0;
  queuedTick = 0;
  awaitedRequestId = 0;
  refusedSize = 0;
  buffer.IgnoreAll();
}

}  // namespace ipc
}  // namespace kavo
