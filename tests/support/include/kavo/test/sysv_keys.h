#pragma once
// Key files of System V objects under a test root. Keys come from ftok on the files, so two roots
// can meet on one key; each file is therefore made afresh until no segment or semaphore set uses
// its key and no other running test has reserved it, and every object on the keys is removed (and
// the key given back) when the test ends, also when it fails.
#include <sys/types.h>

#include <string>
#include <vector>

#include "kavo/test/test_root.h"

namespace kavo {
namespace test {

class SysvKeyFiles {
 public:
  // Creates each camera path (its folders too) under `root`.
  SysvKeyFiles(const TestRoot& root, std::vector<std::string> cameraPaths);
  ~SysvKeyFiles();  // removeObjects()
  SysvKeyFiles(const SysvKeyFiles&) = delete;
  SysvKeyFiles& operator=(const SysvKeyFiles&) = delete;

  key_t key(const std::string& cameraPath) const;
  // Removes the segments and semaphore sets on every key.
  void removeObjects() const;

 private:
  const TestRoot& root_;
  std::vector<std::string> paths_;
};

}  // namespace test
}  // namespace kavo
