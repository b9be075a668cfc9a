#include "kavo/sim/core/files.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kavo {
namespace sim {

uint64_t monoNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void sleepUntilNs(uint64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000ull);
  ts.tv_nsec = static_cast<long>(ns % 1000000000ull);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

bool makeDirs(const std::string& dir) {
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    const std::string cur = dir.substr(0, pos);
    if (cur.empty()) continue;
    if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

std::string readFile(const std::string& file, bool* exists) {
  std::string out;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (exists != nullptr) *exists = fd >= 0;
  if (fd < 0) return out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || out.size() > (1u << 20)) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

bool writeFileAtomic(const std::string& file, const std::string& text) {
  const size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makeDirs(file.substr(0, slash))) return false;
  const std::string tmp = file + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == text.size() && ::close(fd) == 0;
  if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

FileIdentity identityOf(const std::string& file) {
  FileIdentity id;
  struct stat sb{};
  if (::stat(file.c_str(), &sb) != 0) return id;
  id.exists = true;
  id.ino = sb.st_ino;
  id.size = static_cast<uint64_t>(sb.st_size);
  id.mtimeNs = static_cast<int64_t>(sb.st_mtim.tv_sec) * 1000000000ll + sb.st_mtim.tv_nsec;
  return id;
}

void WatchedFile::setPath(const std::string& file) {
  if (file != path_) reset();
  path_ = file;
}

void WatchedFile::reset() {
  looked_ = false;
  lastLook_ = 0;
  identity_ = FileIdentity();
}

bool WatchedFile::poll(uint64_t nowNs, uint32_t generation, bool force) {
  const bool moved = !looked_ || generation != generation_;
  if (!force && !moved && nowNs - lastLook_ < gateNs_) return false;
  lastLook_ = nowNs;
  const FileIdentity id = identityOf(path_);
  if (!force && !moved && id == identity_) return false;
  looked_ = true;
  generation_ = generation;
  identity_ = id;
  return true;
}

}  // namespace sim
}  // namespace kavo
