#pragma once
// Small file and clock helpers of the simulated devices. They take absolute host paths (already
// under the test root: callers go through kavo::os::path or a root of their own).
#include <cstdint>
#include <string>

namespace kavo {
namespace sim {

// CLOCK_MONOTONIC in ns.
uint64_t monoNs();
// Sleeps until CLOCK_MONOTONIC reaches `ns` (signals do not cut it short).
void sleepUntilNs(uint64_t ns);
// Creates `dir` and its parents; true when it exists afterwards.
bool makeDirs(const std::string& dir);
// The whole file (at most 1 MiB); `exists` (optional) tells a missing file from an empty one.
std::string readFile(const std::string& file, bool* exists = nullptr);
// Writes under a temporary name in the same folder and renames it into place, creating the folder.
bool writeFileAtomic(const std::string& file, const std::string& text);

// What identifies one version of a file that may be rewritten in place or replaced.
struct FileIdentity {
  bool exists = false;
  uint64_t ino = 0;
  uint64_t size = 0;
  int64_t mtimeNs = -1;
  bool operator==(const FileIdentity& o) const {
    return exists == o.exists && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs;
  }
  bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};
FileIdentity identityOf(const std::string& file);

// A file that other processes (a test, a tool, a soak script) change while a device runs. Looking
// costs one stat, so a device looks at most every `gateNs` unless told that the file changed (a
// generation number that the writer bumps in the device's shared state).
class WatchedFile {
 public:
  explicit WatchedFile(uint64_t gateNs = 100000000ull) : gateNs_(gateNs) {}
  void setPath(const std::string& file);
  const std::string& path() const { return path_; }
  // True when the file is new to this watcher: it appeared, went away or changed its identity, or
  // `generation` differs from the last one seen. Looks at the file only when `force` is set, the
  // generation moved or the gate has passed.
  bool poll(uint64_t nowNs, uint32_t generation, bool force = false);
  const FileIdentity& identity() const { return identity_; }
  // Forgets what was seen: the next poll reports the file as new.
  void reset();

 private:
  std::string path_;
  uint64_t gateNs_;
  uint64_t lastLook_ = 0;
  bool looked_ = false;
  uint32_t generation_ = 0;
  FileIdentity identity_;
};

}  // namespace sim
}  // namespace kavo
