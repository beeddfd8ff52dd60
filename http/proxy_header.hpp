#ifndef ORV_HTTP_PROXY_HEADER_HPP
#define ORV_HTTP_PROXY_HEADER_HPP

#include <cstddef>

#include "http/peer.hpp"

namespace orv {
namespace net {
namespace http {

// What the first bytes of a connection from a trusted proxy say about the
// client, in version 1 (a text line) or 2 (binary) of the PROXY protocol.
struct ProxyHeader {
    enum Result {
        incomplete,  // the bytes begin a header that is not whole yet
        absent,      // the bytes cannot begin a header: they are the client's request
        malformed,   // a header, but one to refuse: the connection is closed
        parsed       // a whole header of `consumed` bytes
    };

    // The longest version 1 line, CRLF included.
    static std::size_t const v1_max = 107;
    // The longest version 2 header we take. The length field allows 16 +
    // 65535 bytes, but the protocol is laid out so that a whole header fits
    // in 536 bytes, the smallest segment every TCP host must take, which
    // delivers it in the first read. 536 bytes after the fixed 16 hold the
    // largest address block (216 bytes, UNIX sockets) and 320 bytes of TLVs;
    // a longer header is refused rather than waited for.
    static std::size_t const v2_max = 16 + 536;
    // No result is incomplete once this many bytes are there.
    static std::size_t const max_size = v2_max;

    Result result = incomplete;
    std::size_t consumed = 0;
    // Parsed, but no client named (version 2 LOCAL, an UNSPEC, UNIX or
    // datagram address block, version 1 "UNKNOWN"): the connection's own
    // peer stays the client.
    bool local = false;
    // Parsed and not local: the IPv4 or IPv6 source address and port.
    Peer client;
    // Malformed: the reason, a sentence of static storage duration such as
    // "Invalid PROXY protocol header: bad source port.".
    char const* problem = "";
};

// Reads a header from the start of the `size` bytes received so far; the
// caller calls again with the same bytes and any new ones after them while
// the result is incomplete, and drops `consumed` bytes once it is parsed.
// Pure: no I/O, and no allocation but the client's texts. Whether a header
// is required is the caller's decision. Where the proxies always send one,
// absent is a refusal too: a header that may be missing is one a client can
// put in front of its own request wherever a trusted proxy passes its bytes
// on without adding a header of its own.
ProxyHeader parse_proxy_header(char const* data, std::size_t size);

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
