#include "kavo/ipc/baseipcio.h"

#include <cassert>
#include <unistd.h>

#include "kavo/ipc/ipc.h"
#include "kavo/utils/strings.h"

namespace kavo {
namespace ipc {

BaseIPCIO::BaseIPCIO(Ipc* owner_, IPCIOType type_, const std::string& fromName_, const std::string& toName_)
    : owner(owner_), type(type_), fromName(fromName_), toName(toName_), id(0) {
  assert(owner != nullptr);
  if (owner != nullptr) id = owner->CreateUniqueId();
  SetToString();
}

BaseIPCIO::~BaseIPCIO() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string BaseIPCIO::ToString() const { return label; }

void BaseIPCIO::SetToString() {
  const char* from = fromName.empty() ? "?" : fromName.c_str();
  const char* to = toName.empty() ? "?" : toName.c_str();
  const unsigned long long n = static_cast<unsigned long long>(id);
  switch (type) {
    case IPC_IO_TYPE_ACCEPTOR: label = kavo::utils::format("%s(A_%llu)", from, n); break;
    case IPC_IO_TYPE_OUTBOUND_CONNECTION:
      label = kavo::utils::format("%s(%s_%llu): %s -> %s", to, "OC", n, from, to);
      break;
    case IPC_IO_TYPE_INBOUND_CONNECTION:
      label = kavo::utils::format("%s(%s_%llu): %s -> %s", from, "IC", n, from, to);
      break;
    case IPC_IO_TYPE_TIMER: label = kavo::utils::format("%s(T_%llu)", from, n); break;
    default: label = "#unknown#"; break;
  }
}

}  // namespace ipc
}  // namespace kavo
