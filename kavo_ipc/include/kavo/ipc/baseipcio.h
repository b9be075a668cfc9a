#pragma once
// The IO objects that the hub drives through its epoll set: the endpoint's acceptor, inbound and
// outbound connections and the reconnect timer. The hub creates, registers and deletes them; they
// call back into it for everything beyond their own descriptor.
#include <cstdint>
#include <string>

namespace kavo {
namespace ipc {

class Ipc;

enum IPCIOType : int {
  IPC_IO_TYPE_ACCEPTOR = 0,
  IPC_IO_TYPE_OUTBOUND_CONNECTION = 1,
  IPC_IO_TYPE_INBOUND_CONNECTION = 2,
  IPC_IO_TYPE_TIMER = 3,
};

class BaseIPCIO {
 public:
  // `owner` must not be null.
  BaseIPCIO(Ipc* owner, IPCIOType type, const std::string& fromName, const std::string& toName);
  virtual ~BaseIPCIO();  // closes the descriptor
  BaseIPCIO(const BaseIPCIO&) = delete;
  BaseIPCIO& operator=(const BaseIPCIO&) = delete;

  // The label used in logs.
  virtual std::string ToString() const;
  // Negative: the IO must be dropped.
  virtual int DoRead() = 0;
  virtual int DoWrite() = 0;

  IPCIOType GetType() const { return type; }
  bool IsConnection() const {
    return type == IPC_IO_TYPE_OUTBOUND_CONNECTION || type == IPC_IO_TYPE_INBOUND_CONNECTION;
  }
  // Inbound connection: the peer's name (empty until its handshake); every other IO: `toName`.
  const std::string& GetPeerName() const {
    return type == IPC_IO_TYPE_INBOUND_CONNECTION ? fromName : toName;
  }
  uint64_t GetId() const { return id; }
  int GetFd() const { return fd; }
  void SetToString();

  // Events the hub has registered for this IO (0: not registered). Kept by Ipc::ArmEvents so that
  // re-arming with the same mask costs no system call.
  uint32_t GetArmedEvents() const { return armedEvents; }
  void SetArmedEvents(uint32_t events) { armedEvents = events; }

 protected:
  Ipc* owner;
  IPCIOType type;
  std::string fromName;
  std::string toName;
  std::string label;
  uint64_t id;
  int fd = -1;
  uint32_t armedEvents = 0;
};

}  // namespace ipc
}  // namespace kavo
