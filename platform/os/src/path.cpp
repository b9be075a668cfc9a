#include "kavo/os/path.h"

#include <cstdlib>

namespace kavo {
namespace os {

std::string root() {
  // Read on every call: tests switch roots inside one process.
  const char* r = std::getenv("KAVO_ROOT");
  if (r == nullptr) return std::string();
  std::string s(r);
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  if (s == "/") return std::string();
  return s;
}

std::string path(const std::string& abs) {
  if (abs.empty() || abs[0] != '/') return abs;
  std::string r = root();
  if (r.empty()) return abs;
  return r + abs;
}

}  // namespace os
}  // namespace kavo
