#include "http/proxy_header.hpp"

#include <algorithm>
#include <cstring>

#include "http/ip_text.hpp"

// The reasons are whole sentences of static storage, ready for a log line.
#define PROXY_PROBLEM(reason) "Invalid PROXY protocol header: " reason

namespace orv {
namespace net {
namespace http {

std::size_t const ProxyHeader::v1_max;
std::size_t const ProxyHeader::v2_max;
std::size_t const ProxyHeader::max_size;

namespace {

char const V1_SIGNATURE[] = "PROXY";
std::size_t const V1_SIGNATURE_SIZE = sizeof(V1_SIGNATURE) - 1;
unsigned char const V2_SIGNATURE[] = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d, 0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a};
std::size_t const V2_FIXED_SIZE = 16;

struct Text {
    char const* data;
    std::size_t size;

    bool operator==(char const* word) const { return size == std::strlen(word) && std::memcmp(data, word, size) == 0; }
};

ProxyHeader refused(char const* problem) {
    ProxyHeader header;
    header.result = ProxyHeader::malformed;
    header.problem = problem;
    return header;
}

ProxyHeader accepted(std::size_t consumed, Peer client = Peer()) {
    ProxyHeader header;
    header.result = ProxyHeader::parsed;
    header.consumed = consumed;
    header.local = !client.known();
    header.client = client;
    return header;
}

// Whether the bytes so far agree with the start of the signature.
bool begins(char const* data, std::size_t size, void const* signature, std::size_t signature_size) {
    return std::memcmp(data, signature, std::min(size, signature_size)) == 0;
}

// The field from `pos` up to the next space, which is skipped. The last
// field takes the rest of the line, so that a space too many fails it.
Text take(char const*& pos, char const* end, bool last) {
    char const* const stop = last ? end : std::find(pos, end, ' ');
    Text const field = {pos, static_cast<std::size_t>(stop - pos)};
    pos = stop == end ? end : stop + 1;
    return field;
}

// Decimal from 0 to 65535; "0" is the only number with a leading zero, so
// that nothing reads as octal.
bool parse_port(Text text, unsigned short& port) {
    if (text.size == 0 || text.size > 5 || (text.data[0] == '0' && text.size > 1)) return false;
    unsigned long value = 0;
    for (std::size_t i = 0; i < text.size; ++i) {
        if (text.data[i] < '0' || text.data[i] > '9') return false;
        value = value * 10 + static_cast<unsigned long>(text.data[i] - '0');
    }
    port = static_cast<unsigned short>(value);
    return value <= 65535;
}

// "PROXY TCP4|TCP6 SOURCE DESTINATION SOURCE-PORT DESTINATION-PORT", single
// spaces, or "PROXY UNKNOWN" and anything up to the CRLF; `line` has no CRLF.
ProxyHeader parse_v1_line(char const* line, std::size_t size) {
    char const* pos = line + V1_SIGNATURE_SIZE;
    char const* const end = line + size;
    if (pos == end || *pos++ != ' ') return refused(PROXY_PROBLEM("bad protocol."));
    Text const protocol = take(pos, end, false);
    if (protocol == "UNKNOWN") return accepted(size + 2);
    Peer::Family const family = protocol == "TCP4" ? Peer::ipv4 : protocol == "TCP6" ? Peer::ipv6 : Peer::unknown;
    if (family == Peer::unknown) return refused(PROXY_PROBLEM("bad protocol."));

    unsigned char source[16];
    unsigned char destination[16];
    unsigned short source_port = 0;
    unsigned short destination_port = 0;
    Text const source_text = take(pos, end, false);
    Text const destination_text = take(pos, end, false);
    Text const source_port_text = take(pos, end, false);
    Text const destination_port_text = take(pos, end, true);
    if (parse_ip_text(source_text.data, source_text.size, source) != family)
        return refused(PROXY_PROBLEM("bad source address."));
    if (parse_ip_text(destination_text.data, destination_text.size, destination) != family)
        return refused(PROXY_PROBLEM("bad destination address."));
    if (!parse_port(source_port_text, source_port)) return refused(PROXY_PROBLEM("bad source port."));
    if (!parse_port(destination_port_text, destination_port)) return refused(PROXY_PROBLEM("bad destination port."));
    return accepted(size + 2, Peer::of_ip(family, source, source_port));
}

// Nothing is decoded before the CRLF has come, so a line is never taken
// from a part of it.
ProxyHeader parse_v1(char const* data, std::size_t size) {
    std::size_t const searched = std::min(size, ProxyHeader::v1_max);
    for (std::size_t i = 0; i + 1 < searched; ++i) {
        if (data[i] == '\r' && data[i + 1] == '\n') return parse_v1_line(data, i);
    }
    if (size >= ProxyHeader::v1_max) return refused(PROXY_PROBLEM("no CRLF within 107 bytes."));
    return ProxyHeader();
}

// The bytes of the address block of each family, source and destination
// addresses and ports; 0 for a family we do not know.
std::size_t address_block_size(unsigned char family_and_transport) {
    switch (family_and_transport) {
    case 0x00:  // UNSPEC
        return 0;
    case 0x11:  // TCP over IPv4
    case 0x12:  // UDP over IPv4
        return 12;
    case 0x21:  // TCP over IPv6
    case 0x22:  // UDP over IPv6
        return 36;
    case 0x31:  // UNIX stream
    case 0x32:  // UNIX datagram
        return 216;
    default:
        return 0;
    }
}

unsigned short port_at(unsigned char const* bytes) {
    return static_cast<unsigned short>(bytes[0] << 8 | bytes[1]);
}

bool known_family(unsigned char family_and_transport) {
    return family_and_transport == 0x00 || address_block_size(family_and_transport) != 0;
}

// Each byte is judged once it has come, in order, so that more bytes never
// turn a verdict into another one. A LOCAL header's family is not read: the
// connection's own endpoints are the ones that count. A PROXY header names
// a client only for TCP over IPv4 or IPv6; UNSPEC, UNIX and datagram blocks
// are skipped like TLVs, which leaves the connection's own peer.
ProxyHeader parse_v2(char const* data, std::size_t size) {
    unsigned char const* const bytes = reinterpret_cast<unsigned char const*>(data);
    std::size_t const signature_size = sizeof(V2_SIGNATURE);
    if (size <= signature_size) return ProxyHeader();
    if ((bytes[12] >> 4) != 2) return refused(PROXY_PROBLEM("bad version."));
    bool const local = (bytes[12] & 0x0f) == 0;
    if (!local && (bytes[12] & 0x0f) != 1) return refused(PROXY_PROBLEM("bad command."));
    if (size < 14) return ProxyHeader();
    if (!local && !known_family(bytes[13])) return refused(PROXY_PROBLEM("bad address family."));
    if (size < V2_FIXED_SIZE) return ProxyHeader();
    std::size_t const length = static_cast<std::size_t>(bytes[14]) << 8 | bytes[15];
    if (V2_FIXED_SIZE + length > ProxyHeader::v2_max) return refused(PROXY_PROBLEM("longer than 552 bytes."));
    if (!local && length < address_block_size(bytes[13]))
        return refused(PROXY_PROBLEM("addresses longer than the header."));
    if (size < V2_FIXED_SIZE + length) return ProxyHeader();

    std::size_t const consumed = V2_FIXED_SIZE + length;
    unsigned char const* const block = bytes + V2_FIXED_SIZE;
    if (!local && bytes[13] == 0x11) return accepted(consumed, Peer::of_ip(Peer::ipv4, block, port_at(block + 8)));
    if (!local && bytes[13] == 0x21) return accepted(consumed, Peer::of_ip(Peer::ipv6, block, port_at(block + 32)));
    return accepted(consumed);
}

}  // namespace

ProxyHeader parse_proxy_header(char const* data, std::size_t size) {
    if (size == 0) return ProxyHeader();
    if (begins(data, size, V1_SIGNATURE, V1_SIGNATURE_SIZE)) return parse_v1(data, size);
    if (begins(data, size, V2_SIGNATURE, sizeof(V2_SIGNATURE))) return parse_v2(data, size);
    ProxyHeader header;
    header.result = ProxyHeader::absent;
    return header;
}

}  // namespace http
}  // namespace net
}  // namespace orv

#undef PROXY_PROBLEM
