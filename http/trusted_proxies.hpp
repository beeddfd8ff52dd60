#ifndef ORV_HTTP_TRUSTED_PROXIES_HPP
#define ORV_HTTP_TRUSTED_PROXIES_HPP

#include <array>
#include <string>
#include <vector>

#include "http/peer.hpp"

namespace orv {
namespace net {
namespace http {

// The peers whose word on the client is taken: networks named by
// --trust-proxy values, and "unix" for connections on a UNIX-socket
// listener. An IPv4 address is taken as the IPv6 address ::ffff:a.b.c.d, the
// form in which a "::" listener sees it, so that a peer is trusted alike
// whichever listener it came to: 10.0.0.0/8 and ::ffff:10.0.0.0/104 are the
// same network, and an IPv6 network that spans ::ffff:0:0/96, such as ::/0,
// spans the IPv4 peers too.
class TrustedProxies {
public:
    // Reads --trust-proxy values: "unix", an address (the network of that
    // address alone) or ADDRESS/PREFIX. An address with bits set beyond its
    // prefix is refused rather than masked: "10.0.0.1/8" is more likely a
    // /32 mistyped than a wish to trust 16 million addresses. Throws
    // std::invalid_argument with the one-line usage message, such as
    // "Invalid value 'x' for --trust-proxy: expected an address, ADDRESS/PREFIX or unix.".
    static TrustedProxies parse(std::vector<std::string> const& values);

    bool empty() const { return networks_.empty() && !unix_; }

    // Whether the peer is a proxy whose word on the client is taken. No
    // allocation; a look at each network.
    bool trusts(Peer const& peer) const;

    // The client an X-Forwarded-For value names, given the proxy that sent
    // it. The entries are read from the right, as each proxy appends the peer
    // it saw: trusted ones are hops, the first untrusted one is the client,
    // and when all are trusted the leftmost is. Blanks around entries and
    // empty entries are passed over. An entry that is no address ("unknown",
    // an obfuscated name, a port or brackets) ends the reading, since nothing
    // left of it can be believed: the client is then the nearest entry we
    // still vouch for, the last trusted hop before it. The proxy itself is the
    // client when there is no such hop, when the value is empty, and when the
    // proxy is not trusted at all. The client's port is 0 and its name for
    // log lines is its address alone.
    Peer forwarded_client(std::string const& x_forwarded_for, Peer const& proxy) const;

private:
    // An IPv6 network; the bits beyond the prefix are clear.
    struct Network {
        std::array<unsigned char, 16> bytes;
        unsigned prefix;
    };

    void add(std::string const& value);
    bool trusts(Peer::Family family, unsigned char const* bytes) const;

    std::vector<Network> networks_;
    bool unix_ = false;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
