#pragma once
#include <string>

namespace kavo {
namespace utils {

// The first IPv4 address of `host` as dotted text ("127.0.0.1" for "localhost"; dotted input is
// returned as it is); empty when it does not resolve.
std::string getHostByName(const std::string& host);

}  // namespace utils
}  // namespace kavo
