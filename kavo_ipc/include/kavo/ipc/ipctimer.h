#pragma once
// A periodic timer (timerfd) that drives the hub's reconnect attempts.
#include <cstdint>
#include <string>

#include "kavo/ipc/baseipcio.h"

namespace kavo {
namespace ipc {

class IPCTimer : public BaseIPCIO {
 public:
  IPCTimer(Ipc* owner, const std::string& name);
  ~IPCTimer() override;

  // First expiry and period both `ms` milliseconds.
  bool Initialize(uint32_t ms);
  // Reads the expiration count and signals the hub once; always 0.
  int DoRead() override;
  int DoWrite() override;  // not for a timer: -1

  uint64_t GetExpirations() const { return expirations; }

 private:
  uint64_t expirations = 0;
};

}  // namespace ipc
}  // namespace kavo
