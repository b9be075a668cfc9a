#pragma once
// The request journal of a simulated device: one JSON object per line, appended by every process
// to one file under the test root, numbered in one order over all processes. Lines are built in a
// fixed buffer (no allocation); a line may be buffered (per-frame requests) or written at once, so
// that a test or another process sees set-up requests immediately. Every line goes out whole in
// one write on an O_APPEND descriptor, so the lines of several processes never interleave.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace kavo {
namespace sim {

class JournalLine {
 public:
  JournalLine() { buf_[0] = '{'; }
  // A muted line ignores every field (a line that will not be written costs nothing to build).
  void mute() { muted_ = true; }
  bool muted() const { return muted_; }
  JournalLine& str(const char* key, const char* value);
  JournalLine& num(const char* key, long long value);
  JournalLine& unum(const char* key, unsigned long long value);
  // "0x%08llx", as a string.
  JournalLine& hex(const char* key, unsigned long long value);
  JournalLine& boolean(const char* key, bool value);
  JournalLine& real(const char* key, double value);
  // Opens a nested object under `key`; close() ends it.
  JournalLine& object(const char* key);
  JournalLine& close();
  // Ends the line; returns it with its newline. A line too long for its buffer loses the fields
  // that did not fit and stays valid JSON.
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
  // `seq` numbers the lines of every process of a run (it lives in the device's shared state);
  // null leaves "seq" out. Opening an open journal keeps it.
  bool open(const std::string& file, std::atomic<uint64_t>* seq);
  void close();
  bool isOpen() const;
  // Starts `line` with the fields every line carries: "seq", "t" (the device's clock, ns) and "pid".
  void head(JournalLine& line, uint64_t tNs);
  // Ends and writes the line; a buffered line waits for the next unbuffered one, a flush, the close
  // or a full buffer (32 KiB).
  void write(JournalLine& line, bool buffered);
  void flush();

 private:
  void flushLocked();
  mutable std::mutex mutex_;
  int fd_ = -1;
  int pid_ = 0;
  std::atomic<uint64_t>* seq_ = nullptr;
  char buffer_[32768];
  size_t used_ = 0;
};

}  // namespace sim
}  // namespace kavo
