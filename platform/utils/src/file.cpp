#include "kavo/utils/file.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "kavo/os/file.h"

namespace kavo {
namespace utils {

File::File() = default;

File::~File() { Close(); }

bool File::Initialize(const std::string& path, int mode) {
  Close();
  switch (mode) {
    case FILE_OPEN_MODE_READ: {
      const int fd = kavo::os::openRegularFile(path);
      if (fd < 0) return false;
      file_ = ::fdopen(fd, "rb");
      if (file_ == nullptr) {
        const int err = errno;
        ::close(fd);
        errno = err;
      }
      break;
    }
    case FILE_OPEN_MODE_TRUNCATE: file_ = std::fopen(path.c_str(), "wbe"); break;
    default: errno = EINVAL; return false;
  }
  if (file_ == nullptr) return false;
  path_ = path;
  return true;
}

uint64_t File::Size() {
  if (file_ == nullptr) return 0;
  struct stat st;
  if (::fstat(fileno(file_), &st) != 0 || st.st_size < 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool File::ReadBuffer(void* buffer, uint64_t count) {
  if (file_ == nullptr) return false;
  if (count == 0) return true;
  if (buffer == nullptr) return false;
  return std::fread(buffer, 1, count, file_) == count;
}

bool File::ReadStringAll(std::string& result) {
  result.clear();
  if (file_ == nullptr) return false;
  if (std::fseek(file_, 0, SEEK_SET) != 0) return false;
  uint64_t size = Size();
  if (size > 0 && size <= kavo::os::kMaxWholeFileBytes) result.reserve(size);
  char chunk[4096];
  for (;;) {
    size_t n = std::fread(chunk, 1, sizeof chunk, file_);
    if (result.size() + n > kavo::os::kMaxWholeFileBytes) {
      result.clear();
      errno = EFBIG;
      return false;
    }
    result.append(chunk, n);
    if (n < sizeof chunk) break;
  }
  return std::ferror(file_) == 0;
}

bool File::ReadStringAll(const std::string& path, std::string& result) {
  File f;
  if (!f.Initialize(path, FILE_OPEN_MODE_READ)) {
    result.clear();
    return false;
  }
  return f.ReadStringAll(result);
}

bool File::WriteString(const std::string& text) { return WriteBuffer(text.data(), text.size()); }

bool File::WriteBuffer(const void* buffer, uint64_t count) {
  if (file_ == nullptr) return false;
  if (count == 0) return true;
  if (buffer == nullptr) return false;
  return std::fwrite(buffer, 1, count, file_) == count;
}

bool File::Flush() { return file_ != nullptr && std::fflush(file_) == 0; }

bool File::Close() {
  if (file_ == nullptr) return true;
  bool ok = std::fclose(file_) == 0;
  file_ = nullptr;
  path_.clear();
  return ok;
}

}  // namespace utils
}  // namespace kavo
