#include "kavo/test/test_root.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <ftw.h>

namespace kavo {
namespace test {

namespace {
int removeEntry(const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }
}  // namespace

TestRoot::TestRoot() {
  if (const char* s = std::getenv("KAVO_ROOT")) {
    saved_ = s;
    had_saved_ = true;
  }
  char tmpl[] = "/tmp/kr.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  dir_ = tmpl;
  for (const char* d : {"/etc", "/tmp", "/var/run/ipc", "/dev", "/lib", "/proc/sys/kernel", "/usr/etc"}) mkdirs(d);
  ::setenv("KAVO_ROOT", dir_.c_str(), 1);
}

TestRoot::~TestRoot() {
  if (had_saved_)
    ::setenv("KAVO_ROOT", saved_.c_str(), 1);
  else
    ::unsetenv("KAVO_ROOT");
  if (!dir_.empty() && std::getenv("KAVO_KEEP_ROOT") == nullptr)
    ::nftw(dir_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void TestRoot::mkdirs(const std::string& abs) const {
  std::string p = dir_;
  std::stringstream ss(abs);
  std::string part;
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    p += "/" + part;
    ::mkdir(p.c_str(), 0755);
  }
}

void TestRoot::write(const std::string& abs, const std::string& content) const {
  auto slash = abs.rfind('/');
  if (slash != std::string::npos && slash > 0) mkdirs(abs.substr(0, slash));
  std::ofstream f(path(abs), std::ios::binary | std::ios::trunc);
  f << content;
}

std::string TestRoot::read(const std::string& abs) const {
  std::ifstream f(path(abs), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string sourceDir() {
  const char* s = std::getenv("KAVO_SOURCE_DIR");
  return s ? s : ".";
}

std::string binaryDir() {
  const char* s = std::getenv("KAVO_BINARY_DIR");
  return s ? s : ".";
}

}  // namespace test
}  // namespace kavo
