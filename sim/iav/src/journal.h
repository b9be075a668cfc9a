#pragma once
// The request journal: one JSON object per line, appended by every process to one file under the
// test root. Lines of frame reads are buffered (a read costs no system call of its own); every
// other line is written at once, so a test or another process sees set-up requests immediately.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kavo {
namespace sim {
namespace iav {

// Builds one line in a fixed buffer (no allocation).
class JournalLine {
 public:
  JournalLine() { buf_[0] = '{'; }
  // A muted line ignores every field (a line that will not be written costs nothing to build).
  void mute() { muted_ = true; }
  bool muted() const { return muted_; }
  JournalLine& str(const char* key, const char* value);
  JournalLine& num(const char* key, long long value);
  JournalLine& unum(const char* key, unsigned long long value);
  JournalLine& hex(const char* key, unsigned long long value);
  JournalLine& boolean(const char* key, bool value);
  // Opens a nested object under `key`; close() ends it.
  JournalLine& object(const char* key);
  JournalLine& close();
  // Ends the line; returns it with its newline.
  const char* finish(size_t* length);

 private:
  void key(const char* k);
  void raw(const char* s, size_t n);
  void escaped(const char* s);
  char buf_[1536];
  size_t len_ = 1;
  bool first_ = true;
  int depth_ = 0;
  bool muted_ = false;
};

class Journal {
 public:
  ~Journal();
  bool open(const std::string& file);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  void write(JournalLine& line, bool buffered);
  void flush();

 private:
  void flushLocked();
  std::mutex mutex_;
  int fd_ = -1;
  char buffer_[32768];
  size_t used_ = 0;
};

}  // namespace iav
}  // namespace sim
}  // namespace kavo
