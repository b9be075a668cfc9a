#pragma once
// Endpoint socket addresses. Endpoint names are checked against the camera path
// "/var/run/ipc/<name>" (at most 106 characters); the socket itself lies under the test root when
// one is set, which may make the real path too long for sun_path. Such an address is then given
// relative to its folder and bound or connected from a helper thread that has a working directory
// of its own, so the process's working directory never changes.
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

namespace kavo {
namespace ipc {

constexpr size_t kMaxSocketPathLength = 106;
extern const char* const kIpcFolder;  // "/var/run/ipc"

// False (nothing logged) when `name` cannot name an endpoint: a "/" or a NUL byte in it.
bool IsValidEndpointName(const std::string& name);

// Fills the address for the camera path `cameraPath` (already checked for length). `folder` is
// left empty for an absolute address, else it is the real folder that a relative one lies in.
bool FillSocketAddress(const std::string& cameraPath, struct sockaddr_un& address, socklen_t& length,
                       std::string& folder);
// bind(2) / connect(2) on such an address; -1 with errno on failure.
int BindSocket(int fd, const struct sockaddr_un& address, socklen_t length, const std::string& folder);
int ConnectSocket(int fd, const struct sockaddr_un& address, socklen_t length, const std::string& folder);

}  // namespace ipc
}  // namespace kavo
