#pragma once
// A lock named system-wide: flock(2) on the file "/tmp/<name>.lock" under the test root
// (kavo::os::path; a "/" in the name becomes "_"). The kernel drops the lock when its holder
// ends in any way, SIGKILL included, so no stale lock survives a crashed process. The lock file
// itself stays; it carries no state.
//
// `blocking` decides what acquire does while another holder has the lock:
//   false: fails at once (EWOULDBLOCK); single-instance checks ("is another one running?").
//   true:  waits until the holder releases it; serialising short critical sections such as a
//          read-modify-write of a shared file.
// Two objects of the same name exclude each other also within one process. The lock is not
// recursive: acquire on an object that holds it already returns 0 without counting.
#include <string>

namespace kavo {
namespace threading {

class InterProcessMutex {
 public:
  InterProcessMutex(const std::string& name, bool blocking);
  ~InterProcessMutex();  // releases a held lock
  InterProcessMutex(const InterProcessMutex&) = delete;
  InterProcessMutex& operator=(const InterProcessMutex&) = delete;

  // 0 when the lock is now held by this object; otherwise an errno value (EWOULDBLOCK: another
  // holder, with blocking false).
  int acquire();
  // 0 when the lock is given up; EPERM when this object did not hold it.
  int release();
  bool isAcquired() const { return held_; }
  const std::string& lockPath() const { return path_; }

 private:
  std::string name_;
  std::string path_;
  bool blocking_;
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace threading
}  // namespace kavo
