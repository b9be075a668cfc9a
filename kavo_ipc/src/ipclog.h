#pragma once
// Log helpers of the library: module "kavo_ipc"; IPC_VLOG only when the hub is verbose.
#include "kavo/logger/logger.h"

#define IPC_LOG(level, err, ...) \
  logInternal("kavo_ipc", __FILE__, __func__, __LINE__, (level), (err), 0, __VA_ARGS__)

namespace kavo {
namespace ipc {
class Ipc;
bool IsVerboseHub(const Ipc* hub);
}  // namespace ipc
}  // namespace kavo

#define IPC_VLOG(hub, level, err, ...)                     \
  do {                                                     \
    if (::kavo::ipc::IsVerboseHub(hub)) {                  \
      IPC_LOG((level), (err), __VA_ARGS__);                \
    }                                                      \
  } while (0)
