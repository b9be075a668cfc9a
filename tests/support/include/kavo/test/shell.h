#pragma once
// A shell command run for a test: its standard output and error together, and pclose's status.
#include <string>

namespace kavo {
namespace test {

struct Shell {
  int status = -1;  // -1: the command could not be started
  std::string out;
};

Shell shell(const std::string& command);

}  // namespace test
}  // namespace kavo
