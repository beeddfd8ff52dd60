#include "http/peer.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <sstream>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace orv {
namespace net {
namespace http {

namespace asio = boost::asio;

namespace {

// The texts come from the networking library, so that addresses read as
// they always have (IPv6 in brackets, with the interface name of a scope).
Peer describe(asio::ip::address const& address, unsigned short port) {
    Peer peer;
    peer.port = port;
    if (address.is_v4()) {
        peer.family = Peer::ipv4;
        asio::ip::address_v4::bytes_type const bytes = address.to_v4().to_bytes();
        std::memcpy(peer.bytes.data(), bytes.data(), bytes.size());
    } else {
        peer.family = Peer::ipv6;
        asio::ip::address_v6::bytes_type const bytes = address.to_v6().to_bytes();
        std::memcpy(peer.bytes.data(), bytes.data(), bytes.size());
    }
    peer.address = address.to_string();
    std::ostringstream name;
    name << asio::ip::tcp::endpoint(address, port);
    peer.name = name.str();
    return peer;
}

Peer unknown_peer() {
    Peer peer;
    peer.name = "unknown";
    return peer;
}

}  // namespace

Peer Peer::of_socket(int fd) {
    struct sockaddr_storage storage;
    socklen_t size = sizeof(storage);
    if (::getpeername(fd, reinterpret_cast<struct sockaddr*>(&storage), &size) != 0) return unknown_peer();
    if (storage.ss_family == AF_INET) {
        struct sockaddr_in const* in = reinterpret_cast<struct sockaddr_in const*>(&storage);
        return of_ip(ipv4, reinterpret_cast<unsigned char const*>(&in->sin_addr), ntohs(in->sin_port));
    }
    if (storage.ss_family == AF_INET6) {
        struct sockaddr_in6 const* in6 = reinterpret_cast<struct sockaddr_in6 const*>(&storage);
        return of_ip(ipv6, in6->sin6_addr.s6_addr, ntohs(in6->sin6_port), in6->sin6_scope_id);
    }
    if (storage.ss_family == AF_UNIX) {
        Peer peer;
        peer.family = local;
        peer.name = "unix";
        return peer;
    }
    return unknown_peer();
}

Peer Peer::of_ip(Family family, unsigned char const* bytes, unsigned short port, unsigned long scope) {
    if (family == ipv4) {
        asio::ip::address_v4::bytes_type v4;
        std::memcpy(v4.data(), bytes, v4.size());
        return describe(asio::ip::address_v4(v4), port);
    }
    asio::ip::address_v6::bytes_type v6;
    std::memcpy(v6.data(), bytes, v6.size());
    return describe(asio::ip::address_v6(v6, scope), port);
}

Peer Peer::of_text(std::string const& text) {
    boost::system::error_code ec;
    asio::ip::address const address = asio::ip::make_address(text, ec);
    if (ec) return unknown_peer();
    Peer peer = describe(address, 0);
    peer.name = peer.address;
    return peer;
}

}  // namespace http
}  // namespace net
}  // namespace orv
