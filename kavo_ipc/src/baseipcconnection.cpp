#include "kavo/ipc/baseipcconnection.h"

#include <cerrno>

#include "ipclog.h"
#include "kavo/ipc/iopayload.h"
#include "kavo/ipc/ipc.h"

namespace kavo {
namespace ipc {

namespace {
constexpr uint32_t kReadChunk = 4096;
}

BaseIPCConnection::BaseIPCConnection(Ipc* owner_, IPCIOType type_, const std::string& fromName_,
                                     const std::string& toName_)
    : BaseIPCIO(owner_, type_, fromName_, toName_) {}

BaseIPCConnection::~BaseIPCConnection() {
  delete handshakePayload;
  handshakePayload = nullptr;
}

int BaseIPCConnection::DoRead() {
  if (readPaused) return 0;
  uint32_t count = 0;
  if (!readBuffer.ReadFromFd(fd, kReadChunk, count)) return -1;
  if (count == 0) return 0;
  return DeliverFrames() ? static_cast<int>(count) : -1;
}

bool BaseIPCConnection::DeliverFrames() {
  while (readBuffer.GetAvailableBytesCount() >= 4) {
    const uint8_t* p = readBuffer.GetPointer();
    const uint64_t length = (uint64_t(p[0]) << 24) | (uint64_t(p[1]) << 16) | (uint64_t(p[2]) << 8) | p[3];
    if (length > kMaxFrameBodySize) {
      IPC_LOG(LOG_LEVEL_ERROR, 0, "Frame of %llu bytes exceeds the limit of %u bytes on %s",
              static_cast<unsigned long long>(length), kMaxFrameBodySize, label.c_str());
      return false;
    }
    if (readBuffer.GetAvailableBytesCount() < 4 + length) break;
    if (!GetPeerName().empty()) {
      // An answer that the peer's full queue could not take would be lost: the rest waits here
      // until the queue has drained.
      if (flowControl && owner->PauseReadingWhenFull(this)) return true;
      if (!owner->SignalInputData(this, p + 4, static_cast<uint32_t>(length))) return false;
      readBuffer.Ignore(4 + length);
    } else {
      fromName.assign(reinterpret_cast<const char*>(p + 4), length);
      readBuffer.Ignore(4 + length);
      SetToString();
      if (!owner->SignalConnectionNamed(this)) return false;
    }
  }
  return true;
}

int BaseIPCConnection::DoWrite() {
  if (owner == nullptr) {
    IPC_LOG(LOG_LEVEL_ERROR, 0, "No IPC instance");
    return -1;
  }
  IOPayload* payload = handshakePayload;
  // A connection whose peer has not named itself yet has nothing of its own to send.
  if (payload == nullptr && !GetPeerName().empty()) payload = owner->PeekIOPayload(GetPeerName());
  if (payload == nullptr) return owner->DisarmWriteEvent(this) ? 0 : -1;
  if (payload != handshakePayload) payload->AssignToConnection(id);
  if (!payload->WriteToFd(fd)) {
    IPC_VLOG(owner, LOG_LEVEL_ERROR, errno, "Unable to write data to FD");
    return -1;
  }
  if (!payload->SendComplete()) return 0;
  if (payload == handshakePayload) {
    delete handshakePayload;
    handshakePayload = nullptr;
    return DoWrite();
  }
  owner->SignalSendPayloadComplete(payload);
  return 0;
}

int BaseIPCConnection::WritePending() {
  for (size_t frames = 0; frames < Ipc::kMaxQueuedResponses; ++frames) {
    IOPayload* payload = handshakePayload;
    if (payload == nullptr && !GetPeerName().empty()) payload = owner->PeekIOPayload(GetPeerName());
    if (payload == nullptr) return 0;
    if (payload != handshakePayload) payload->AssignToConnection(id);
    if (!payload->WriteToFd(fd)) {
      IPC_VLOG(owner, LOG_LEVEL_ERROR, errno, "Unable to write data to FD");
      return -1;
    }
    if (!payload->SendComplete()) return 1;
    if (payload == handshakePayload) {
      delete handshakePayload;
      handshakePayload = nullptr;
      continue;
    }
    owner->SignalSendPayloadComplete(payload);
  }
  return 1;
}

InboundIPCConnection::InboundIPCConnection(Ipc* owner_, const std::string& selfName, int acceptedFd)
    : BaseIPCConnection(owner_, IPC_IO_TYPE_INBOUND_CONNECTION, std::string(), selfName) {
  fd = acceptedFd;
}

InboundIPCConnection::~InboundIPCConnection() = default;

}  // namespace ipc
}  // namespace kavo
