#pragma once
// Opening and reading the files the programs are given (settings, board description, frames
// another process drops). A path may name a FIFO or a device instead: opening such a thing for
// reading can block for ever and reading it may never end, so only regular files are taken.
#include <cstddef>
#include <string>

namespace kavo {
namespace os {

// More than any file the programs read whole; a larger (or endless) one is refused.
constexpr size_t kMaxWholeFileBytes = 16u * 1024u * 1024u;

// Opens `file` (a real path, already under the root) read-only and close-on-exec without ever
// blocking. A path that is not a regular file once links are followed (a FIFO, a device, a
// socket, a folder) is refused with errno EINVAL. The descriptor, or -1 with errno set.
int openRegularFile(const std::string& file);

// The whole of regular file `file` into `out`; false (errno set) when it cannot be opened, is
// not a regular file (EINVAL), cannot be read, or holds more than `limit` bytes (EFBIG).
bool readRegularFile(const std::string& file, std::string& out, size_t limit = kMaxWholeFileBytes);

}  // namespace os
}  // namespace kavo
