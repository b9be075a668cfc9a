#pragma once
// A short, private KAVO_ROOT for one test (socket paths are limited to 108 bytes).
#include <string>

namespace kavo {
namespace test {

class TestRoot {
 public:
  TestRoot();  // creates /tmp/kr.XXXXXX with etc/, tmp/, var/run/ipc/, dev/ and sets KAVO_ROOT
  ~TestRoot();  // removes the folder and restores KAVO_ROOT
  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  const std::string& dir() const { return dir_; }
  // Absolute camera path under this root.
  std::string path(const std::string& abs) const { return dir_ + abs; }
  // Writes a file under the root, creating its folders.
  void write(const std::string& abs, const std::string& content) const;
  std::string read(const std::string& abs) const;
  void mkdirs(const std::string& abs) const;

 private:
  std::string dir_;
  std::string saved_;
  bool had_saved_ = false;
};

// Folder of the source tree and of the build tree (set by CTest).
std::string sourceDir();
std::string binaryDir();

}  // namespace test
}  // namespace kavo
