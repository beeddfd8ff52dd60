#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/proxy_header.hpp"
#include "proxy_fuzz_harness.hpp"
#include "tests/fuzz_inputs.hpp"

// The PROXY protocol header at the start of a connection, read from every
// prefix of the bytes as a connection holds them while they arrive.

namespace orv {
namespace net {
namespace http {
namespace {

using namespace std::string_literals;

// A version 2 header: command byte, family byte, the length field and the
// bytes after it (the length field may lie about them).
std::string v2(char command, char family, std::size_t length, std::string const& block) {
    return "\r\n\r\n\0\r\nQUIT\n"s + command + family + static_cast<char>(length >> 8) + static_cast<char>(length) + block;
}

std::string const V4_BLOCK = "\x01\x02\x03\x04\x05\x06\x07\x08\x03\xe8\x00\x50"s;  // 1.2.3.4:1000 to 5.6.7.8:80
std::string const V6_BLOCK = "\x20\x01\x0d\xb8"s + std::string(11, '\0') + "\x01"s + std::string(15, '\0') + "\x01" +
                             "\x01\xbb\x00\x50"s;  // [2001:db8::1]:443 to [::1]:80
std::string const LONGEST_V6 = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";

struct Row {
    std::string input;
    ProxyHeader::Result result;
    std::size_t decided;  // the fewest bytes that give the result; also `consumed` when parsed
    std::string client;   // the client's name; empty for a parsed header that names none
    char const* problem;
};

char const* const NONE = "";

std::vector<Row> const ROWS = {
    {"PROXY TCP4 192.168.0.1 192.168.0.11 56324 443\r\n", ProxyHeader::parsed, 47, "192.168.0.1:56324", NONE},
    {"PROXY TCP4 0.0.0.0 255.255.255.255 0 65535\r\n", ProxyHeader::parsed, 44, "0.0.0.0:0", NONE},
    {"PROXY TCP6 2001:0DB8:0000:0000:0000:0000:0000:0001 ::1 65535 1\r\n", ProxyHeader::parsed, 64,
     "[2001:db8::1]:65535", NONE},
    {"PROXY TCP6 ::ffff:10.0.0.1 ::1 1 2\r\n", ProxyHeader::parsed, 36, "[::ffff:10.0.0.1]:1", NONE},
    {"PROXY UNKNOWN\r\n", ProxyHeader::parsed, 15, "", NONE},
    {"PROXY UNKNOWN anything\tat all \r\n", ProxyHeader::parsed, 32, "", NONE},
    // The longest line there is, and one byte more.
    {"PROXY UNKNOWN " + LONGEST_V6 + " " + LONGEST_V6 + " 65535 65535\r\n", ProxyHeader::parsed, 107, "", NONE},
    {"PROXY UNKNOWN " + LONGEST_V6 + " " + LONGEST_V6 + " 65535 655355\r\n", ProxyHeader::malformed, 107, "",
     "Invalid PROXY protocol header: no CRLF within 107 bytes."},
    {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\nGET / HTTP/1.0\r\n", ProxyHeader::malformed, 47, "",
     "Invalid PROXY protocol header: bad destination port."},
    {"PROXY " + std::string(101, 'x'), ProxyHeader::malformed, 107, "",
     "Invalid PROXY protocol header: no CRLF within 107 bytes."},
    {"PROXY\r\n", ProxyHeader::malformed, 7, "", "Invalid PROXY protocol header: bad protocol."},
    {"PROXYTCP4 1.2.3.4 5.6.7.8 1 2\r\n", ProxyHeader::malformed, 31, "", "Invalid PROXY protocol header: bad protocol."},
    {"PROXY  TCP4 1.2.3.4 5.6.7.8 1 2\r\n", ProxyHeader::malformed, 33, "",
     "Invalid PROXY protocol header: bad protocol."},
    {"PROXY tcp4 1.2.3.4 5.6.7.8 1 2\r\n", ProxyHeader::malformed, 32, "", "Invalid PROXY protocol header: bad protocol."},
    {"PROXY UNKNOWNX\r\n", ProxyHeader::malformed, 16, "", "Invalid PROXY protocol header: bad protocol."},
    {"PROXY TCP4 01.2.3.4 5.6.7.8 1 2\r\n", ProxyHeader::malformed, 33, "",
     "Invalid PROXY protocol header: bad source address."},
    {"PROXY TCP4 1.2.3.4\0 5.6.7.8 1 2\r\n"s, ProxyHeader::malformed, 33, "",
     "Invalid PROXY protocol header: bad source address."},
    {"PROXY TCP4 ::1 5.6.7.8 1 2\r\n", ProxyHeader::malformed, 28, "",
     "Invalid PROXY protocol header: bad source address."},
    {"PROXY TCP6 1.2.3.4 ::1 1 2\r\n", ProxyHeader::malformed, 28, "",
     "Invalid PROXY protocol header: bad source address."},
    {"PROXY TCP6 fe80::1%eth0 ::1 1 2\r\n", ProxyHeader::malformed, 33, "",
     "Invalid PROXY protocol header: bad source address."},
    {"PROXY TCP6 [::1] ::1 1 2\r\n", ProxyHeader::malformed, 26, "", "Invalid PROXY protocol header: bad source address."},
    {"PROXY TCP6 1:2:3:4:5:6:7:8:9 ::1 1 2\r\n", ProxyHeader::malformed, 38, "",
     "Invalid PROXY protocol header: bad source address."},
    {"PROXY TCP6 12345::1 ::1 1 2\r\n", ProxyHeader::malformed, 29, "",
     "Invalid PROXY protocol header: bad source address."},
    {"PROXY TCP4 1.2.3.4  5.6.7.8 1 2\r\n", ProxyHeader::malformed, 33, "",
     "Invalid PROXY protocol header: bad destination address."},
    {"PROXY TCP4 1.2.3.4 5.6.7.8 01 2\r\n", ProxyHeader::malformed, 33, "",
     "Invalid PROXY protocol header: bad source port."},
    {"PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n", ProxyHeader::malformed, 36, "",
     "Invalid PROXY protocol header: bad source port."},
    {"PROXY TCP4 1.2.3.4 5.6.7.8 +1 2\r\n", ProxyHeader::malformed, 33, "",
     "Invalid PROXY protocol header: bad source port."},
    {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2 \r\n", ProxyHeader::malformed, 33, "",
     "Invalid PROXY protocol header: bad destination port."},
    {"PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n", ProxyHeader::malformed, 30, "",
     "Invalid PROXY protocol header: bad destination port."},
    // A request is told apart at its first byte that no header has.
    {"GET / HTTP/1.0\r\n\r\n", ProxyHeader::absent, 1, "", NONE},
    {"POST / HTTP/1.0\r\n", ProxyHeader::absent, 2, "", NONE},
    {"PROXZ", ProxyHeader::absent, 5, "", NONE},
    {"\r\n\r\nGET / HTTP/1.0\r\n", ProxyHeader::absent, 5, "", NONE},
    {"\r\n\r\n\0\r\nQUIT\r"s, ProxyHeader::absent, 12, "", NONE},
    {v2('\x21', '\x11', 12, V4_BLOCK), ProxyHeader::parsed, 28, "1.2.3.4:1000", NONE},
    {v2('\x21', '\x11', 19, V4_BLOCK + "\x03\x00\x04\xde\xad\xbe\xef"s), ProxyHeader::parsed, 35, "1.2.3.4:1000", NONE},
    {v2('\x21', '\x21', 36, V6_BLOCK), ProxyHeader::parsed, 52, "[2001:db8::1]:443", NONE},
    {v2('\x21', '\x11', 536, V4_BLOCK + std::string(524, '\x04')), ProxyHeader::parsed, 552, "1.2.3.4:1000", NONE},
    // No client named: LOCAL whatever its family, UNSPEC, datagrams, UNIX.
    {v2('\x20', '\x11', 12, V4_BLOCK), ProxyHeader::parsed, 28, "", NONE},
    {v2('\x20', '\xff', 0, ""), ProxyHeader::parsed, 16, "", NONE},
    {v2('\x21', '\x00', 3, "abc"), ProxyHeader::parsed, 19, "", NONE},
    {v2('\x21', '\x12', 12, V4_BLOCK), ProxyHeader::parsed, 28, "", NONE},
    {v2('\x21', '\x22', 36, V6_BLOCK), ProxyHeader::parsed, 52, "", NONE},
    {v2('\x21', '\x31', 216, std::string(216, 'u')), ProxyHeader::parsed, 232, "", NONE},
    {v2('\x11', '\x11', 12, V4_BLOCK), ProxyHeader::malformed, 13, "", "Invalid PROXY protocol header: bad version."},
    {v2('\x22', '\x11', 12, V4_BLOCK), ProxyHeader::malformed, 13, "", "Invalid PROXY protocol header: bad command."},
    {v2('\x21', '\x13', 12, V4_BLOCK), ProxyHeader::malformed, 14, "",
     "Invalid PROXY protocol header: bad address family."},
    {v2('\x21', '\x01', 0, ""), ProxyHeader::malformed, 14, "", "Invalid PROXY protocol header: bad address family."},
    {v2('\x21', '\x41', 12, V4_BLOCK), ProxyHeader::malformed, 14, "",
     "Invalid PROXY protocol header: bad address family."},
    {v2('\x21', '\x11', 537, V4_BLOCK), ProxyHeader::malformed, 16, "",
     "Invalid PROXY protocol header: longer than 552 bytes."},
    {v2('\x20', '\x00', 65535, ""), ProxyHeader::malformed, 16, "",
     "Invalid PROXY protocol header: longer than 552 bytes."},
    {v2('\x21', '\x11', 11, V4_BLOCK), ProxyHeader::malformed, 16, "",
     "Invalid PROXY protocol header: addresses longer than the header."},
    {v2('\x21', '\x21', 35, V6_BLOCK), ProxyHeader::malformed, 16, "",
     "Invalid PROXY protocol header: addresses longer than the header."},
    {v2('\x21', '\x31', 215, ""), ProxyHeader::malformed, 16, "",
     "Invalid PROXY protocol header: addresses longer than the header."},
};

// Fewer bytes than a row needs are incomplete, and from then on the result
// holds, with a request after the header or without.
TEST(ProxyHeader, EveryPrefixIsIncompleteUntilTheResult) {
    std::string const request = "GET / HTTP/1.0\r\n\r\n";
    for (Row const& row : ROWS) {
        std::string const input = row.input + (row.result == ProxyHeader::parsed ? request : "");
        for (std::size_t size = 0; size <= input.size(); ++size) {
            SCOPED_TRACE(testing::PrintToString(row.input) + " with " + std::to_string(size) + " bytes");
            ProxyHeader const header = parse_proxy_header(input.data(), size);
            if (size < row.decided) {
                ASSERT_EQ(ProxyHeader::incomplete, header.result);
                continue;
            }
            ASSERT_EQ(row.result, header.result);
            EXPECT_EQ(row.result == ProxyHeader::parsed ? row.decided : 0, header.consumed);
            EXPECT_EQ(row.result == ProxyHeader::parsed && row.client.empty(), header.local);
            EXPECT_EQ(row.client.empty() ? "" : row.client, header.client.name);
            EXPECT_STREQ(row.problem, header.problem);
        }
    }
}

TEST(ProxyHeader, NamesTheClientsAddressAndPort) {
    std::string const input = v2('\x21', '\x21', 36, V6_BLOCK);
    ProxyHeader const header = parse_proxy_header(input.data(), input.size());
    EXPECT_EQ(Peer::ipv6, header.client.family);
    EXPECT_EQ("2001:db8::1", header.client.address);
    EXPECT_EQ(443, header.client.port);
    EXPECT_EQ(0, V6_BLOCK.compare(0, 16, reinterpret_cast<char const*>(header.client.bytes.data()), 16));
}

// Replays the seed corpus and the inputs the fuzzer crashed on.
TEST(FuzzRegression, ProxyInputsStaySound) {
    EXPECT_GT(orv::test::replay_fuzz_inputs(ORV_FUZZ_DIR, "proxy_header", orv::fuzz::fuzz_proxy), 5u);
}

}  // namespace
}  // namespace http
}  // namespace net
}  // namespace orv
