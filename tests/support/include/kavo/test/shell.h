#pragma once
// A shell command run for a test: its standard output and error together, and its exit code.
#include <string>

namespace kavo {
namespace test {

struct Shell {
  int status = -1;  // -1: the command could not be started or did not exit (a signal)
  std::string out;
};

Shell shell(const std::string& command);

}  // namespace test
}  // namespace kavo
