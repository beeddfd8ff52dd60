#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "http/trusted_proxies.hpp"

namespace orv {
namespace net {
namespace http {
namespace {

typedef std::vector<std::string> Values;

// A peer from its text: an address, "unix" for a UNIX-socket peer, or
// "gone" for one whose address could not be had.
Peer peer(std::string const& text) {
    if (text != "unix" && text != "gone") return Peer::of_text(text);
    Peer peer;
    peer.family = text == "unix" ? Peer::local : Peer::unknown;
    peer.name = text;
    return peer;
}

TEST(TrustedProxies, RefusesValuesWithTheUsageLine) {
    std::string const usage = "' for --trust-proxy: expected an address, ADDRESS/PREFIX or unix.";
    for (std::string const value : {"x", "", "UNIX", "1.2.3.4/", "1.2.3.4/33", "1.2.3.4/08", "1.2.3.4/-1", "::/129",
                                    "::/1/1", " 1.2.3.4", "1.2.3.4 ", "[::1]", "fe80::1%eth0", "1.2.3.4:80",
                                    "01.2.3.4", "1.2.3.4/+8", "/8"}) {
        try {
            TrustedProxies::parse({"unix", value});
            ADD_FAILURE() << value;
        } catch (std::invalid_argument const& e) {
            EXPECT_EQ("Invalid value '" + value + usage, e.what());
        }
    }
    struct Row {
        char const* value;
        char const* network;
    } const host_bits[] = {{"10.0.0.1/8", "10.0.0.0/8"}, {"2001:db8::1/64", "2001:db8::/64"}, {"::1/0", "::/0"}};
    for (Row const& row : host_bits) {
        try {
            TrustedProxies::parse({row.value});
            ADD_FAILURE() << row.value;
        } catch (std::invalid_argument const& e) {
            EXPECT_EQ(std::string("Invalid value '") + row.value +
                          "' for --trust-proxy: bits are set beyond the prefix; the network is " + row.network + ".",
                      e.what());
        }
    }
}

TEST(TrustedProxies, TrustsThePeersOfItsNetworks) {
    struct Row {
        Values networks;
        Values trusted;
        Values untrusted;
    };
    std::vector<Row> const rows = {
        {{"10.0.0.0/8"}, {"10.0.0.0", "10.255.255.255", "::ffff:10.1.2.3"}, {"11.0.0.0", "::ffff:11.0.0.1", "::a01:203"}},
        {{"1.2.3.4"}, {"1.2.3.4", "::ffff:1.2.3.4"}, {"1.2.3.5", "unix", "gone"}},
        {{"1.2.3.4/31"}, {"1.2.3.5"}, {"1.2.3.6", "1.2.3.3"}},
        {{"0.0.0.0/0"}, {"0.0.0.0", "255.255.255.255"}, {"::1", "::fffe:1.2.3.4"}},
        {{"::ffff:10.0.0.0/104"}, {"10.9.9.9", "::ffff:10.9.9.9"}, {"11.0.0.0"}},
        {{"::/0"}, {"2001:db8::1", "::", "1.2.3.4", "::ffff:1.2.3.4"}, {"unix", "gone"}},
        {{"::/1"}, {"::1", "7fff:ffff::", "1.2.3.4"}, {"8000::"}},
        {{"8000::/1"}, {"8000::", "ffff::1"}, {"7fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "1.2.3.4"}},
        {{"2001:db8::/63"}, {"2001:db8:0:1:ffff::5"}, {"2001:db8:0:2::", "2001:db7:ffff:ffff::"}},
        {{"2001:db8::/64"}, {"2001:db8::ffff:ffff:ffff:ffff"}, {"2001:db8:0:1::"}},
        {{"2001:db8::/127"}, {"2001:db8::", "2001:db8::1"}, {"2001:db8::2"}},
        {{"2001:db8::1"}, {"2001:db8::1", "2001:db8::1%1"}, {"2001:db8::", "2001:db8::3"}},
        {{"unix"}, {"unix"}, {"127.0.0.1", "::1", "gone"}},
        {{"192.168.0.0/16", "fd00::/8", "unix"}, {"192.168.7.7", "fd12::1", "unix"}, {"192.169.0.0", "fe00::"}},
        {{}, {}, {"1.2.3.4", "::1", "unix"}},
    };
    for (Row const& row : rows) {
        TrustedProxies const proxies = TrustedProxies::parse(row.networks);
        EXPECT_EQ(row.networks.empty(), proxies.empty());
        for (std::string const& text : row.trusted)
            EXPECT_TRUE(proxies.trusts(peer(text))) << testing::PrintToString(row.networks) << " " << text;
        for (std::string const& text : row.untrusted)
            EXPECT_FALSE(proxies.trusts(peer(text))) << testing::PrintToString(row.networks) << " " << text;
    }
}

TEST(TrustedProxies, ForwardedClientIsTheFirstUntrustedEntryFromTheRight) {
    TrustedProxies const proxies = TrustedProxies::parse({"10.0.0.0/8", "2001:db8::/32", "unix"});
    std::string const proxy_name = "10.0.0.1:5000";
    unsigned char const proxy_bytes[] = {10, 0, 0, 1};
    Peer const proxy = Peer::of_ip(Peer::ipv4, proxy_bytes, 5000);
    struct Row {
        std::string header;
        std::string client;  // its name
    };
    std::string const many_hops = [] {
        std::string header = "1.2.3.4";
        for (int i = 0; i < 2000; ++i)
            header += ", 10.0.0.2";
        return header;
    }();
    std::vector<Row> const rows = {
        {"", proxy_name},
        {"1.2.3.4", "1.2.3.4"},
        {"1.2.3.4, 10.0.0.2", "1.2.3.4"},
        // Whatever the client wrote itself, left of what our proxies saw.
        {"6.6.6.6, garbage, 1.2.3.4, 10.0.0.2", "1.2.3.4"},
        {"10.0.0.3, 2001:db8::7, 10.0.0.2", "10.0.0.3"},
        {"2001:db8::5, ::ffff:10.0.0.9", "2001:db8::5"},
        {"::ffff:1.2.3.4", "::ffff:1.2.3.4"},
        {"2001:db9::1, 2001:db8::1", "2001:db9::1"},
        // An entry that is no address ends the reading at the hop before it.
        {"1.2.3.4, unknown, 10.0.0.2", "10.0.0.2"},
        {"unknown", proxy_name},
        {"_hidden, 1.2.3.4", "1.2.3.4"},
        {"1.2.3.4:80", proxy_name},
        {"[2001:db9::1]", proxy_name},
        {"[2001:db9::1]:443, 10.0.0.2", "10.0.0.2"},
        {"fe80::1%eth0", proxy_name},
        {"1.2.3.4 5.6.7.8", proxy_name},
        {"01.2.3.4", proxy_name},
        {"1.2.3.4;10.0.0.2", proxy_name},
        // Blanks around entries and empty entries are passed over.
        {" \t1.2.3.4\t , ,, 10.0.0.2 ", "1.2.3.4"},
        {",,,,", proxy_name},
        {std::string(10000, ',') + "1.2.3.4" + std::string(10000, ' '), "1.2.3.4"},
        {std::string(5000, '\t') + "," + std::string(5000, ' '), proxy_name},
        {many_hops, "1.2.3.4"},
        {std::string(10000, '1'), proxy_name},
    };
    for (Row const& row : rows) {
        Peer const client = proxies.forwarded_client(row.header, proxy);
        std::string const how = row.header.substr(0, 80);
        EXPECT_EQ(row.client, client.name) << how;
        EXPECT_EQ(row.client == proxy_name ? "10.0.0.1" : row.client, client.address) << how;
        EXPECT_EQ(row.client == proxy_name ? 5000 : 0, client.port) << how;
    }
    // An untrusted peer's word is never taken; a local proxy's is.
    unsigned char const stranger_bytes[] = {6, 6, 6, 6};
    EXPECT_EQ("6.6.6.6:7", proxies.forwarded_client("1.2.3.4", Peer::of_ip(Peer::ipv4, stranger_bytes, 7)).name);
    EXPECT_EQ("1.2.3.4", proxies.forwarded_client("1.2.3.4", peer("unix")).name);
    EXPECT_EQ("unix", proxies.forwarded_client("", peer("unix")).name);
}

}  // namespace
}  // namespace http
}  // namespace net
}  // namespace orv
