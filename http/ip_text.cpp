#include "http/ip_text.hpp"

#include <arpa/inet.h>

#include <cstring>

namespace orv {
namespace net {
namespace http {

Peer::Family parse_ip_text(char const* text, std::size_t size, unsigned char* bytes) {
    // The C library's reader needs a terminated string and stops at a NUL,
    // so text with one inside could pass on its first part.
    char terminated[INET6_ADDRSTRLEN];
    if (size == 0 || size >= sizeof(terminated) || std::memchr(text, '\0', size) != nullptr) return Peer::unknown;
    std::memcpy(terminated, text, size);
    terminated[size] = '\0';
    if (::inet_pton(AF_INET, terminated, bytes) == 1) return Peer::ipv4;
    if (::inet_pton(AF_INET6, terminated, bytes) == 1) return Peer::ipv6;
    return Peer::unknown;
}

}  // namespace http
}  // namespace net
}  // namespace orv
