#ifndef ORV_HTTP_PEER_HPP
#define ORV_HTTP_PEER_HPP

#include <array>
#include <string>

namespace orv {
namespace net {
namespace http {

// Who sent a request, as the rest of the system sees it: the address text a
// worker receives and the name the log lines use. Made once per connection
// (and again for a request whose client a trusted proxy names), so that the
// request path never formats an address.
struct Peer {
    enum Family { unknown, ipv4, ipv6, local };

    Family family = unknown;
    // The IP address in network order (the first 4 bytes for IPv4).
    std::array<unsigned char, 16> bytes{};
    unsigned short port = 0;
    // The IP address as text: dotted decimal, or the standard IPv6 form with
    // "%" and the scope when it has one. Empty for a UNIX-socket peer.
    std::string address;
    // "ADDRESS:PORT" ("[ADDRESS]:PORT" for IPv6), "unix", or "unknown" when
    // the peer was already gone.
    std::string name;

    bool known() const { return family != unknown; }
    bool is_ip() const { return family == ipv4 || family == ipv6; }

    // The peer of a connected socket.
    // The peer of a connected socket; unknown, with errno set by the
    // look-up, when the peer is gone.
    static Peer of_socket(int fd);
    // An IP peer from its address bytes (4 or 16 of them) and port; a scope
    // id names the interface of a link-local IPv6 address.
    static Peer of_ip(Family family, unsigned char const* bytes, unsigned short port, unsigned long scope = 0);
    // An IP peer from address text without a port; unknown when the text is
    // no address.
    static Peer of_text(std::string const& text);
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
