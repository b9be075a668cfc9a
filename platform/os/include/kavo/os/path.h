#pragma once
// Every absolute path the system touches goes through here, so a PC run or a test can
// put the camera's file system under a folder of its own (KAVO_ROOT). On the camera the
// variable is unset and paths are used as they stand.
#include <string>

namespace kavo {
namespace os {

// The test root, or "" when paths are used as they stand.
std::string root();

// `abs` under the test root when one is set; relative paths are returned unchanged.
std::string path(const std::string& abs);

}  // namespace os
}  // namespace kavo
