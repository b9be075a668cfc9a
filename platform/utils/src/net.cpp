#include "kavo/utils/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace kavo {
namespace utils {

std::string getHostByName(const std::string& host) {
  if (host.empty()) return std::string();
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return std::string();
  std::string result;
  for (struct addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addr == nullptr) continue;
    char text[INET_ADDRSTRLEN];
    const auto* in = reinterpret_cast<const struct sockaddr_in*>(a->ai_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) {
      result = text;
      break;
    }
  }
  ::freeaddrinfo(found);
  return result;
}

}  // namespace utils
}  // namespace kavo
