#pragma once
// Descriptor options. SetFdOptions takes a flag word; the bits below are the ones it knows,
// other bits are ignored.
//   FD_OPTIONS_IPC (0x8c000000): non-blocking, no SIGPIPE, close-on-exec (the IPC sockets).
//   FD_OPTIONS_TCP (0x98000000): non-blocking, no SIGPIPE, TCP_NODELAY (the encoder's TCP
//   sockets: a frame's last segment must not wait for the peer's acknowledgement).
#include <cstdint>

namespace kavo {
namespace utils {

enum : uint32_t {
  FD_OPTION_NONBLOCK = 0x80000000u,
  // TCP_NODELAY; ignored on descriptors that are not TCP sockets.
  FD_OPTION_TCP_NODELAY = 0x10000000u,
  // A write to a peer that has gone away fails with EPIPE instead of ending the process. Linux
  // has no per-socket switch for plain send/write/writev, so the process's SIGPIPE disposition
  // is set to ignore (once, and only while it is still the default; ignoring is inherited by
  // child processes).
  FD_OPTION_NOSIGPIPE = 0x08000000u,
  FD_OPTION_CLOEXEC = 0x04000000u,
};

constexpr uint32_t FD_OPTIONS_IPC = 0x8c000000u;
constexpr uint32_t FD_OPTIONS_TCP = 0x98000000u;

// True when every requested option is in place; false (errno kept) when a system call failed.
bool SetFdOptions(int fd, uint32_t flags);
bool SetFdNonBlock(int fd);
// SO_REUSEADDR: a listening socket may bind an address and port whose earlier socket is still in
// TIME_WAIT. SO_REUSEPORT is not set, so two live listeners still conflict.
bool SetFdReuseIpPort(int fd);

}  // namespace utils
}  // namespace kavo
