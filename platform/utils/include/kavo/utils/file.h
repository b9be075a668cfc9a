#pragma once
// Whole-file and sequential file access with bool results.
#include <cstdint>
#include <cstdio>
#include <string>

namespace kavo {
namespace utils {

enum FILE_OPEN_MODE : int {
  FILE_OPEN_MODE_READ = 0,      // existing file, read only
  FILE_OPEN_MODE_TRUNCATE = 2,  // created when missing, emptied otherwise, write only
};

class File {
 public:
  File();
  ~File();  // closes
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path` as it stands (callers apply kavo::os::path). Any other mode than 0 and 2 fails.
  // An open file is closed first. Mode 0 takes only a regular file (kavo::os::openRegularFile):
  // a FIFO or a device there fails at once instead of blocking.
  bool Initialize(const std::string& path, int mode = FILE_OPEN_MODE_READ);
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& GetPath() const { return path_; }

  // Size in bytes (0 when not open or unknown; files under /proc report 0).
  uint64_t Size();
  // Reads exactly `count` bytes at the current position; false on a short read.
  bool ReadBuffer(void* buffer, uint64_t count);
  // The whole file from its start up to end of file (works for /proc files whose size is 0);
  // false beyond kavo::os::kMaxWholeFileBytes.
  bool ReadStringAll(std::string& result);
  static bool ReadStringAll(const std::string& path, std::string& result);

  bool WriteString(const std::string& text);
  bool WriteBuffer(const void* buffer, uint64_t count);
  bool Flush();
  // False when buffered data could not be written; the file is closed either way.
  bool Close();

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
};

}  // namespace utils
}  // namespace kavo
