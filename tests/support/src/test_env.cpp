// Compiled into every test program: sets the folders and the variables the test declared
// before main runs.
#include <cstdlib>
#include <string>

namespace {
struct TestEnvironment {
  TestEnvironment() {
    ::setenv("KAVO_SOURCE_DIR", KAVO_TEST_SOURCE_DIR, 0);
    ::setenv("KAVO_BINARY_DIR", KAVO_TEST_BINARY_DIR, 0);
    std::string all = KAVO_TEST_ENV;
    size_t pos = 0;
    while (pos < all.size()) {
      size_t end = all.find('\037', pos);
      if (end == std::string::npos) end = all.size();
      std::string item = all.substr(pos, end - pos);
      size_t eq = item.find('=');
      if (eq != std::string::npos && eq > 0) ::setenv(item.substr(0, eq).c_str(), item.c_str() + eq + 1, 0);
      pos = end + 1;
    }
  }
};
TestEnvironment environment;
}  // namespace
