#include "kavo/test/sysv_keys.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace kavo {
namespace test {

namespace {

bool keyInUse(key_t key) { return ::shmget(key, 0, 0) != -1 || ::semget(key, 0, 0) != -1; }

// Keys taken by a running test (the Python harness's KEY_RESERVATIONS, the same files): a root whose
// objects do not exist yet is invisible to keyInUse, and two roots may meet on one key.
constexpr const char* kReservations = "/tmp/kavo-sysv-keys";

std::string reservationOf(key_t key) {
  char name[16];
  std::snprintf(name, sizeof name, "%08x", static_cast<unsigned>(key));
  return std::string(kReservations) + "/" + name;
}

bool reserve(key_t key) {
  ::mkdir(kReservations, 01777);
  const std::string path = reservationOf(key);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      const std::string pid = std::to_string(::getpid()) + "\n";
      const bool written = ::write(fd, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
      ::close(fd);
      return written;
    }
    if (errno != EEXIST) return false;
    FILE* f = std::fopen(path.c_str(), "r");
    long owner = 0;
    if (f != nullptr) {
      if (std::fscanf(f, "%ld", &owner) != 1) owner = 0;
      std::fclose(f);
    }
    if (owner > 0 && (::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH)) return false;
    ::unlink(path.c_str());  // its owner is gone
  }
  return false;
}

}  // namespace

SysvKeyFiles::SysvKeyFiles(const TestRoot& root, std::vector<std::string> cameraPaths)
    : root_(root), paths_(std::move(cameraPaths)) {
  for (const std::string& path : paths_) {
    // A file whose key is taken is moved aside, not removed, so that its inode stays taken.
    for (int attempt = 0;; ++attempt) {
      root_.write(path, "");
      const key_t key = ::ftok(root_.path(path).c_str(), 0);
      if (key != -1 && !keyInUse(key) && reserve(key)) break;
      if (attempt == 100) throw std::runtime_error("no free System V key for " + path);
      const std::string aside = root_.path(path) + ".taken" + std::to_string(attempt);
      std::rename(root_.path(path).c_str(), aside.c_str());
    }
  }
}

SysvKeyFiles::~SysvKeyFiles() {
  removeObjects();
  for (const std::string& path : paths_) {
    const key_t k = key(path);
    if (k != -1) ::unlink(reservationOf(k).c_str());
  }
}

key_t SysvKeyFiles::key(const std::string& cameraPath) const {
  return ::ftok(root_.path(cameraPath).c_str(), 0);
}

void SysvKeyFiles::removeObjects() const {
  for (const std::string& path : paths_) {
    const key_t k = key(path);
    if (k == -1) continue;
    for (int id; (id = ::shmget(k, 0, 0)) != -1;)
      if (::shmctl(id, IPC_RMID, nullptr) != 0) break;
    for (int id; (id = ::semget(k, 0, 0)) != -1;)
      if (::semctl(id, 0, IPC_RMID) != 0) break;
  }
}

}  // namespace test
}  // namespace kavo
