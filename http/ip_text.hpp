#ifndef ORV_HTTP_IP_TEXT_HPP
#define ORV_HTTP_IP_TEXT_HPP

#include <cstddef>

#include "http/peer.hpp"

namespace orv {
namespace net {
namespace http {

// Reads exactly `size` bytes of text as an IP address, as proxies write
// them: IPv4 as four decimal numbers from 0 to 255 without leading zeros,
// IPv6 as groups of one to four hexadecimal digits with at most one "::" and
// an optional dotted IPv4 tail. No brackets, port, scope or blanks. Returns
// Peer::ipv4 or Peer::ipv6 and fills `bytes` (network order, the first 4 for
// IPv4), or Peer::unknown when the text is no such address. No allocation.
Peer::Family parse_ip_text(char const* text, std::size_t size, unsigned char* bytes);

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
