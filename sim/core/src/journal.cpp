#include "kavo/sim/core/journal.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "kavo/sim/core/requests.h"

namespace kavo {
namespace sim {

void JournalLine::raw(const char* s, size_t n) {
  if (muted_) return;
  // Keep room for the closing braces and the newline.
  if (len_ + n + 8 + static_cast<size_t>(depth_) >= sizeof buf_) n = 0;
  std::memcpy(buf_ + len_, s, n);
  len_ += n;
}

void JournalLine::escaped(const char* s) {
  if (muted_) return;
  raw("\"", 1);
  const char* run = s;
  for (const char* p = s;; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const bool plain = c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    if (plain) continue;
    raw(run, static_cast<size_t>(p - run));
    if (c == 0) break;
    char e[8];
    if (c == '"' || c == '\\') {
      e[0] = '\\';
      e[1] = static_cast<char>(c);
      raw(e, 2);
    } else {
      int n = std::snprintf(e, sizeof e, "\\u%04x", c);
      raw(e, static_cast<size_t>(n));
    }
    run = p + 1;
  }
  raw("\"", 1);
}

namespace {
// Decimal digits of v at the end of buf; returns the first.
char* digits(unsigned long long v, char* end) {
  do {
    *--end = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  return end;
}
}  // namespace

void JournalLine::key(const char* k) {
  if (!first_) raw(",", 1);
  first_ = false;
  escaped(k);
  raw(":", 1);
}

JournalLine& JournalLine::str(const char* k, const char* value) {
  if (muted_) return *this;
  key(k);
  escaped(value ? value : "");
  return *this;
}

JournalLine& JournalLine::num(const char* k, long long value) {
  if (muted_) return *this;
  key(k);
  char t[24];
  char* b = digits(value < 0 ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value),
                   t + sizeof t);
  if (value < 0) *--b = '-';
  raw(b, static_cast<size_t>(t + sizeof t - b));
  return *this;
}

JournalLine& JournalLine::unum(const char* k, unsigned long long value) {
  if (muted_) return *this;
  key(k);
  char t[24];
  const char* b = digits(value, t + sizeof t);
  raw(b, static_cast<size_t>(t + sizeof t - b));
  return *this;
}

JournalLine& JournalLine::hex(const char* k, unsigned long long value) {
  if (muted_) return *this;
  key(k);
  char t[32];
  int n = std::snprintf(t, sizeof t, "\"0x%08llx\"", value);
  raw(t, static_cast<size_t>(n));
  return *this;
}

JournalLine& JournalLine::boolean(const char* k, bool value) {
  if (muted_) return *this;
  key(k);
  raw(value ? "true" : "false", value ? 4 : 5);
  return *this;
}

JournalLine& JournalLine::real(const char* k, double value) {
  if (muted_) return *this;
  key(k);
  char t[40];
  // JSON has no NaN or infinity.
  int n = std::isfinite(value) ? std::snprintf(t, sizeof t, "%.6g", value) : std::snprintf(t, sizeof t, "null");
  raw(t, static_cast<size_t>(n));
  return *this;
}

JournalLine& JournalLine::object(const char* k) {
  key(k);
  raw("{", 1);
  first_ = true;
  ++depth_;
  return *this;
}

JournalLine& JournalLine::close() {
  if (depth_ > 0) {
    --depth_;
    buf_[len_++] = '}';
    first_ = false;
  }
  return *this;
}

const char* JournalLine::finish(size_t* length) {
  while (depth_ > 0) close();
  buf_[len_++] = '}';
  buf_[len_++] = '\n';
  *length = len_;
  return buf_;
}

void journalCode(JournalLine& line, unsigned long code) {
  const uint32_t c = static_cast<uint32_t>(code);
  const char type[2] = {static_cast<char>((c >> 8) & 0xff), 0};
  line.hex("code", code).num("dir", c >> 30).num("size", (c >> 16) & 0x3fff).str("type", type).num("nr", c & 0xff);
}

Journal::~Journal() { close(); }

bool Journal::open(const std::string& file, std::atomic<uint64_t>* seq) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) return true;
  fd_ = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  used_ = 0;
  seq_ = seq;
  pid_ = ::getpid();
  return fd_ >= 0;
}

void Journal::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  flushLocked();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  seq_ = nullptr;
}

bool Journal::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_ >= 0;
}

void Journal::head(JournalLine& line, uint64_t tNs) {
  if (line.muted()) return;
  if (seq_ != nullptr) line.unum("seq", seq_->fetch_add(1, std::memory_order_relaxed) + 1);
  line.unum("t", tNs).num("pid", pid_);
}

void Journal::flushLocked() {
  size_t done = 0;
  while (fd_ >= 0 && done < used_) {
    ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  used_ = 0;
}

void Journal::flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  flushLocked();
}

void Journal::write(JournalLine& line, bool buffered) {
  if (line.muted()) return;
  size_t n = 0;
  const char* text = line.finish(&n);
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return;
  if (used_ + n > sizeof buffer_) flushLocked();
  std::memcpy(buffer_ + used_, text, n);
  used_ += n;
  if (!buffered) flushLocked();
}

}  // namespace sim
}  // namespace kavo
