#pragma once
// The threads of the calling process, by kernel thread id (from /proc/self/task): tests that a
// thread was made, kept or ended compare these sets.
#include <dirent.h>

#include <cstdlib>
#include <set>

namespace kavo {
namespace test {

inline std::set<int> threadIds() {
  std::set<int> out;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') out.insert(std::atoi(e->d_name));
    ::closedir(d);
  }
  return out;
}

}  // namespace test
}  // namespace kavo
