#pragma once
// Where endpoints listen: "/var/run/ipc/<name>", the camera path at most 106 characters long.
#include <cstddef>

namespace kavo {
namespace ipc {

constexpr size_t kMaxSocketPathLength = 106;
extern const char* const kIpcFolder;  // "/var/run/ipc"

}  // namespace ipc
}  // namespace kavo
