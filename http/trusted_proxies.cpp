#include "http/trusted_proxies.hpp"

#include <arpa/inet.h>

#include <cstring>
#include <stdexcept>

#include "http/ip_text.hpp"

namespace orv {
namespace net {
namespace http {

namespace {

// An IPv4 address as the IPv6 address ::ffff:a.b.c.d.
void map_to_ipv6(unsigned char const* ipv4, unsigned char* ipv6) {
    unsigned char const prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    std::memcpy(ipv6, prefix, sizeof(prefix));
    std::memcpy(ipv6 + sizeof(prefix), ipv4, 4);
}

// Whether the first `prefix` bits of the address are those of the network.
bool within(unsigned char const* address, unsigned char const* network, unsigned prefix) {
    unsigned const whole = prefix / 8;
    unsigned const rest = prefix % 8;
    if (std::memcmp(address, network, whole) != 0) return false;
    unsigned char const mask = static_cast<unsigned char>(0xff << (8 - rest));
    return rest == 0 || (address[whole] & mask) == (network[whole] & mask);
}

// Clears the bits beyond the prefix; false when one was set.
bool clear_host_bits(unsigned char* bytes, unsigned size, unsigned prefix) {
    bool clear = true;
    for (unsigned bit = prefix; bit < size * 8; ++bit) {
        unsigned char const mask = static_cast<unsigned char>(0x80 >> (bit % 8));
        clear = clear && (bytes[bit / 8] & mask) == 0;
        bytes[bit / 8] = static_cast<unsigned char>(bytes[bit / 8] & ~mask);
    }
    return clear;
}

// Decimal up to `most`, no sign and no leading zero.
bool parse_prefix(std::string const& text, unsigned most, unsigned& prefix) {
    if (text.empty() || text.size() > 3 || (text[0] == '0' && text.size() > 1)) return false;
    if (text.find_first_not_of("0123456789") != std::string::npos) return false;
    prefix = static_cast<unsigned>(std::stoul(text));
    return prefix <= most;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

Peer named_client(Peer::Family family, unsigned char const* bytes) {
    Peer client = Peer::of_ip(family, bytes, 0);
    client.name = client.address;
    return client;
}

}  // namespace

TrustedProxies TrustedProxies::parse(std::vector<std::string> const& values) {
    TrustedProxies proxies;
    for (std::string const& value : values)
        proxies.add(value);
    return proxies;
}

void TrustedProxies::add(std::string const& value) {
    if (value == "unix") {
        unix_ = true;
        return;
    }
    std::string::size_type const slash = value.find('/');
    std::string const address = value.substr(0, slash);
    unsigned char bytes[16] = {};
    Peer::Family const family = parse_ip_text(address.data(), address.size(), bytes);
    unsigned const bits = family == Peer::ipv4 ? 32 : 128;
    unsigned prefix = bits;
    if (family == Peer::unknown || (slash != std::string::npos && !parse_prefix(value.substr(slash + 1), bits, prefix))) {
        throw std::invalid_argument("Invalid value '" + value +
                                    "' for --trust-proxy: expected an address, ADDRESS/PREFIX or unix.");
    }
    if (!clear_host_bits(bytes, bits / 8, prefix)) {
        char text[INET6_ADDRSTRLEN];
        ::inet_ntop(family == Peer::ipv4 ? AF_INET : AF_INET6, bytes, text, sizeof(text));
        throw std::invalid_argument("Invalid value '" + value +
                                    "' for --trust-proxy: bits are set beyond the prefix; the network is " + text +
                                    "/" + std::to_string(prefix) + ".");
    }
    Network network;
    network.prefix = family == Peer::ipv4 ? prefix + 96 : prefix;
    if (family == Peer::ipv4)
        map_to_ipv6(bytes, network.bytes.data());
    else
        std::memcpy(network.bytes.data(), bytes, sizeof(bytes));
    networks_.push_back(network);
}

bool TrustedProxies::trusts(Peer const& peer) const {
    if (peer.family == Peer::local) return unix_;
    return peer.is_ip() && trusts(peer.family, peer.bytes.data());
}

bool TrustedProxies::trusts(Peer::Family family, unsigned char const* bytes) const {
    unsigned char mapped[16];
    if (family == Peer::ipv4) {
        map_to_ipv6(bytes, mapped);
        bytes = mapped;
    }
    for (Network const& network : networks_) {
        if (within(bytes, network.bytes.data(), network.prefix)) return true;
    }
    return false;
}

// No allocation until the client is known: entries are read in place.
Peer TrustedProxies::forwarded_client(std::string const& x_forwarded_for, Peer const& proxy) const {
    if (!trusts(proxy)) return proxy;
    unsigned char entry[16] = {};
    unsigned char hop[16] = {};
    Peer::Family hop_family = Peer::unknown;
    char const* const begin = x_forwarded_for.data();
    char const* end = begin + x_forwarded_for.size();
    for (bool more = true; more;) {
        char const* start = end;
        while (start != begin && start[-1] != ',')
            --start;
        more = start != begin;
        char const* stop = end;
        end = more ? start - 1 : begin;
        while (start != stop && is_blank(*start))
            ++start;
        while (stop != start && is_blank(stop[-1]))
            --stop;
        if (start == stop) continue;
        Peer::Family const family = parse_ip_text(start, static_cast<std::size_t>(stop - start), entry);
        if (family == Peer::unknown) break;
        if (!trusts(family, entry)) return named_client(family, entry);
        hop_family = family;
        std::memcpy(hop, entry, sizeof(hop));
    }
    return hop_family == Peer::unknown ? proxy : named_client(hop_family, hop);
}

}  // namespace http
}  // namespace net
}  // namespace orv
