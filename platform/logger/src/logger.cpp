#include "kavo/logger/logger.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavo {
namespace logger {
namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}
Sink& sinkSlot() {
  static Sink s;
  return s;
}

struct Config {
  int threshold = LOG_LEVEL_INFO;
  bool toStderr = false;
  Config() {
    if (const char* l = std::getenv("KAVO_LOG_LEVEL")) threshold = std::atoi(l);
    if (const char* s = std::getenv("KAVO_LOG_STDERR")) toStderr = std::strcmp(s, "0") != 0 && *s != '\0';
  }
};
const Config& config() {
  static Config c;
  return c;
}

// Without a syslog daemon (a PC run) glibc's syslog() tries to connect to it again for every record:
// the sink remembers that its socket is absent and looks again only after kSyslogRetry.
constexpr std::chrono::seconds kSyslogRetry{30};
std::atomic<int64_t> g_syslogRetryAt{-1};  // steady-clock ns; -1: never looked, 0: there
std::atomic<size_t> g_syslogLookups{0};

// glibc's own socket, "/dev/log" whatever the root.
bool syslogSocketAnswers() {
  g_syslogLookups.fetch_add(1, std::memory_order_relaxed);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, _PATH_LOG, sizeof address.sun_path - 1);
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const bool otherType = !connected && errno == EPROTOTYPE;
    ::close(fd);
    if (!otherType) return connected;
  }
  return false;
}

bool syslogThere() {
  const int64_t retryAt = g_syslogRetryAt.load(std::memory_order_relaxed);
  if (retryAt == 0) return true;
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  if (retryAt > 0 && now < retryAt) return false;
  const bool there = syslogSocketAnswers();
  g_syslogRetryAt.store(there ? 0 : now + std::chrono::nanoseconds(kSyslogRetry).count(), std::memory_order_relaxed);
  return there;
}

const char* baseName(const char* file) {
  if (file == nullptr) return "";
  const char* slash = std::strrchr(file, '/');
  return slash ? slash + 1 : file;
}

}  // namespace

Sink setSink(Sink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  Sink previous = std::move(sinkSlot());
  sinkSlot() = std::move(sink);
  return previous;
}

void openLog(const char* ident) { ::openlog(ident, LOG_PID | LOG_NDELAY, LOG_USER); }

size_t syslogLookupsForTest() { return g_syslogLookups.load(std::memory_order_relaxed); }

LogCapture::LogCapture() {
  previous_ = setSink([this](const LogRecord& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(r);
  });
}

LogCapture::~LogCapture() { setSink(std::move(previous_)); }

std::vector<LogRecord> LogCapture::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

bool LogCapture::has(const std::string& message, int level) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& r : records_)
    if (r.message == message && (level < 0 || r.level == level)) return true;
  return false;
}

bool LogCapture::contains(const std::string& fragment, int level) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& r : records_)
    if (r.message.find(fragment) != std::string::npos && (level < 0 || r.level == level)) return true;
  return false;
}

size_t LogCapture::count(const std::string& message) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& r : records_)
    if (r.message == message) ++n;
  return n;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

std::string LogCapture::dump() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  for (const auto& r : records_) {
    char head[64];
    std::snprintf(head, sizeof head, "<%d> ", r.level);
    out += head + r.module + " " + r.function + ": " + r.message + "\n";
  }
  return out;
}

}  // namespace logger
}  // namespace kavo

void vlogInternal(const char* module, const char* file, const char* function, int line, int level, int err,
                  int err2, const char* format, va_list args) {
  using namespace kavo::logger;
  const int savedErrno = errno;  // logging must not disturb the caller's errno
  const Config& cfg = config();
  bool haveSink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    haveSink = static_cast<bool>(sinkSlot());
  }
  if (!haveSink && level > cfg.threshold) {
    errno = savedErrno;
    return;
  }
  char text[2048];
  std::vsnprintf(text, sizeof text, format ? format : "", args);

  if (haveSink) {
    LogRecord r;
    r.module = module ? module : "";
    r.file = baseName(file);
    r.function = function ? function : "";
    r.line = line;
    r.level = level;
    r.err = err;
    r.err2 = err2;
    r.message = text;
    std::lock_guard<std::mutex> lock(sinkMutex());
    if (sinkSlot()) sinkSlot()(r);
  }
  if (level <= cfg.threshold) {
    char errText[160] = "";
    if (err != 0) std::snprintf(errText, sizeof errText, " (%d: %s)", err, std::strerror(err));
    if (syslogThere())
      ::syslog(level & 7, "[%s] %s:%d %s: %s%s", module ? module : "", baseName(file), line,
               function ? function : "", text, errText);
    if (cfg.toStderr)
      std::fprintf(stderr, "<%d> [%s] %s:%d %s: %s%s\n", level, module ? module : "", baseName(file), line,
                   function ? function : "", text, errText);
  }
  errno = savedErrno;
}

void logInternal(const char* module, const char* file, const char* function, int line, int level, int err,
                 int err2, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlogInternal(module, file, function, line, level, err, err2, format, args);
  va_end(args);
}
