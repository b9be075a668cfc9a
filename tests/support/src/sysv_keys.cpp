#include "kavo/test/sysv_keys.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cstdio>
#include <stdexcept>

namespace kavo {
namespace test {

namespace {
bool keyInUse(key_t key) { return ::shmget(key, 0, 0) != -1 || ::semget(key, 0, 0) != -1; }
}  // namespace

SysvKeyFiles::SysvKeyFiles(const TestRoot& root, std::vector<std::string> cameraPaths)
    : root_(root), paths_(std::move(cameraPaths)) {
  for (const std::string& path : paths_) {
    // A file whose key is taken is moved aside, not removed, so that its inode stays taken.
    for (int attempt = 0;; ++attempt) {
      root_.write(path, "");
      const key_t key = ::ftok(root_.path(path).c_str(), 0);
      if (key != -1 && !keyInUse(key)) break;
      if (attempt == 100) throw std::runtime_error("no free System V key for " + path);
      const std::string aside = root_.path(path) + ".taken" + std::to_string(attempt);
      std::rename(root_.path(path).c_str(), aside.c_str());
    }
  }
}

SysvKeyFiles::~SysvKeyFiles() { removeObjects(); }

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
