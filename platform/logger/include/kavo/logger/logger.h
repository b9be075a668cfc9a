#pragma once
// Logging of the camera's programs. On the camera records go to syslog; KAVO_LOG_STDERR=1
// copies them to standard error. Records above KAVO_LOG_LEVEL (default 6, information)
// are dropped before they are formatted, unless a capturing sink is installed.
#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

enum {
  LOG_LEVEL_ERROR = 3,
  LOG_LEVEL_WARNING = 4,
  LOG_LEVEL_INFO = 6,
  LOG_LEVEL_DEBUG = 7,
};

// One log record: module name, source file, function, line, syslog level, errno (or 0),
// a second error value, then a printf-style format.
void logInternal(const char* module, const char* file, const char* function, int line, int level, int err,
                 int err2, const char* format, ...) __attribute__((format(printf, 8, 9)));
void vlogInternal(const char* module, const char* file, const char* function, int line, int level, int err,
                  int err2, const char* format, va_list args);

namespace kavo {
namespace logger {

struct LogRecord {
  std::string module;
  std::string file;
  std::string function;
  int line = 0;
  int level = 0;
  int err = 0;
  int err2 = 0;
  std::string message;
};

using Sink = std::function<void(const LogRecord&)>;

// Installs a sink that sees every record of every level (tests); returns the previous one.
Sink setSink(Sink sink);

// Opens syslog under the program's name (optional; records are written either way).
void openLog(const char* ident);

// How often records have looked for the syslog daemon's socket: once while it is there, again
// every 30 s while it is not.
size_t syslogLookupsForTest();

// Collects the records of its lifetime; tests assert the system's own messages with it.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogRecord> records() const;
  // True when a record's message equals `message` (and its level, when level >= 0).
  bool has(const std::string& message, int level = -1) const;
  // True when a record's message contains `fragment`.
  bool contains(const std::string& fragment, int level = -1) const;
  size_t count(const std::string& message) const;
  void clear();
  std::string dump() const;  // every record, one line each, for failure output

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
  Sink previous_;
};

}  // namespace logger
}  // namespace kavo
