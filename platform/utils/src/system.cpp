#include "kavo/utils/system.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "kavo/logger/logger.h"
#include "kavo/os/path.h"

extern char* program_invocation_short_name;

namespace kavo {
namespace utils {

namespace {

std::atomic<uint64_t> g_flashSaves{0};

// Everything the signal handler touches is prepared at installation: it may only make
// async-signal-safe calls.
char g_dumpPrefix[1024];
size_t g_dumpPrefixLength = 0;
#if defined(__SANITIZE_ADDRESS__)
#define KAVO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVO_ASAN 1
#endif
#endif
#ifdef KAVO_ASAN
// Under AddressSanitizer its own fault report is worth more than a dump: leave the faults to it.
const int kSignals[] = {SIGABRT};
#else
const int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
#endif
alignas(16) char g_altStack[64 * 1024];

size_t putText(char* out, size_t at, size_t cap, const char* s) {
  while (*s != '\0' && at + 1 < cap) out[at++] = *s++;
  out[at] = '\0';
  return at;
}

size_t putUnsigned(char* out, size_t at, size_t cap, unsigned long long v, unsigned base) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[v % base];
    v /= base;
  } while (v != 0);
  while (n > 0 && at + 1 < cap) out[at++] = digits[--n];
  out[at] = '\0';
  return at;
}

void writeAll(int fd, const char* s, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, s, n);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return;
    }
    s += w;
    n -= static_cast<size_t>(w);
  }
}

const char* signalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

void onCrash(int sig, siginfo_t* info, void*) {
  int savedErrno = errno;
  char path[sizeof g_dumpPrefix + 32];
  size_t at = putText(path, 0, sizeof path, g_dumpPrefix);
  at = putUnsigned(path, at, sizeof path, static_cast<unsigned long long>(::getpid()), 10);
  putText(path, at, sizeof path, ".txt");
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    char line[256];
    size_t n = putText(line, 0, sizeof line, "crash: ");
    n = putText(line, n, sizeof line, signalName(sig));
    n = putText(line, n, sizeof line, " (");
    n = putUnsigned(line, n, sizeof line, static_cast<unsigned>(sig), 10);
    n = putText(line, n, sizeof line, ")\npid: ");
    n = putUnsigned(line, n, sizeof line, static_cast<unsigned long long>(::getpid()), 10);
    n = putText(line, n, sizeof line, "\naddress: 0x");
    n = putUnsigned(line, n, sizeof line,
                    static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr)), 16);
    n = putText(line, n, sizeof line, "\nbacktrace:\n");
    writeAll(fd, line, n);
    void* frames[64];
    int count = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, count, fd);
    ::close(fd);
    char note[sizeof path + 32];
    size_t m = putText(note, 0, sizeof note, "crash dump written to ");
    m = putText(note, m, sizeof note, path);
    m = putText(note, m, sizeof note, "\n");
    writeAll(STDERR_FILENO, note, m);
  }
  errno = savedErrno;
  // SA_RESETHAND restored the default action: the signal now ends the process as it would have.
  ::raise(sig);
}

}  // namespace

bool saveToFlashRaw(bool) {
  g_flashSaves.fetch_add(1);
  logInternal("kavo_utils", __FILE__, __func__, __LINE__, LOG_LEVEL_DEBUG, 0, 0, "Flash save requested");
  return true;
}

uint64_t saveToFlashRawCount() { return g_flashSaves.load(); }

bool InstallCrashDumpHandler(const char* name) {
  static std::mutex m;
  std::lock_guard<std::mutex> lock(m);
  std::string program = (name != nullptr && *name != '\0') ? name : program_invocation_short_name;
  for (char& c : program)
    if (c == '/') c = '_';
  std::string prefix = kavo::os::path("/tmp/crash_" + program + "_");
  if (prefix.size() >= sizeof g_dumpPrefix) {
    logInternal("kavo_utils", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, 0, 0, "Crash dump path too long: %s",
                prefix.c_str());
    return false;
  }
  std::memcpy(g_dumpPrefix, prefix.c_str(), prefix.size() + 1);
  g_dumpPrefixLength = prefix.size();

  // The first backtrace() loads the unwinder, which must not happen inside the handler.
  void* warm[2];
  ::backtrace(warm, 2);

  stack_t alt {};
  alt.ss_sp = g_altStack;
  alt.ss_size = sizeof g_altStack;
  ::sigaltstack(&alt, nullptr);  // lets a stack overflow still be dumped; optional

  struct sigaction sa {};
  sa.sa_sigaction = onCrash;
  sa.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) {
    if (::sigaction(sig, &sa, nullptr) != 0) {
      logInternal("kavo_utils", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, errno, 0,
                  "Unable to install the crash handler for signal %d", sig);
      return false;
    }
  }
  return true;
}

std::string crashDumpPath(int pid) {
  if (g_dumpPrefixLength == 0) return std::string();
  return std::string(g_dumpPrefix, g_dumpPrefixLength) + std::to_string(pid) + ".txt";
}

void forceCrash() {
  logInternal("kavo_utils", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, 0, 0, "Forced crash");
  std::abort();
}

}  // namespace utils
}  // namespace kavo
