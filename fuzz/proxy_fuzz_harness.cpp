#include "proxy_fuzz_harness.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "http/ip_text.hpp"
#include "http/proxy_header.hpp"
#include "http/trusted_proxies.hpp"

namespace orv {
namespace fuzz {

namespace {

using net::http::Peer;
using net::http::ProxyHeader;
using net::http::TrustedProxies;

void check(bool condition) {
    if (!condition) std::abort();
}

bool same(ProxyHeader const& a, ProxyHeader const& b) {
    return a.result == b.result && a.consumed == b.consumed && a.local == b.local && a.client.name == b.client.name &&
           a.client.address == b.client.address && std::strcmp(a.problem, b.problem) == 0;
}

ProxyHeader parse(std::string const& bytes, std::size_t size) {
    return net::http::parse_proxy_header(bytes.data(), size);
}

// The client written back as a header of either version reads the same.
void check_round_trip(Peer const& client, std::string const& rest) {
    bool const v4 = client.family == Peer::ipv4;
    std::string const v1 = std::string("PROXY ") + (v4 ? "TCP4 " : "TCP6 ") + client.address + (v4 ? " 1.2.3.4 " : " ::1 ") +
                           std::to_string(client.port) + " 80\r\n";
    std::string v2("\r\n\r\n\0\r\nQUIT\n\x21", 13);
    v2 += v4 ? '\x11' : '\x21';
    v2 += '\0';
    v2 += static_cast<char>(v4 ? 12 : 36);
    v2.append(reinterpret_cast<char const*>(client.bytes.data()), v4 ? 4 : 16);
    v2.append(v4 ? 4 : 16, '\0');
    v2 += static_cast<char>(client.port >> 8);
    v2 += static_cast<char>(client.port & 0xff);
    v2.append(2, '\0');
    for (std::string const& header : {v1, v2}) {
        ProxyHeader const again = parse(header + rest, header.size() + rest.size());
        check(again.result == ProxyHeader::parsed && again.consumed == header.size() && !again.local);
        check(again.client.name == client.name);
    }
}

// A verdict never changes as more bytes come, and a parsed header is whole
// at exactly `consumed` bytes and not before.
void check_header(std::string const& input) {
    ProxyHeader const header = parse(input, input.size());
    check(header.consumed <= input.size());
    check(header.result != ProxyHeader::incomplete || input.size() < ProxyHeader::max_size);
    if (header.result == ProxyHeader::malformed) {
        check(std::strncmp(header.problem, "Invalid PROXY protocol header: ", 31) == 0);
        check(header.problem[std::strlen(header.problem) - 1] == '.');
    }
    for (std::size_t size = 0; size <= std::min(input.size(), ProxyHeader::max_size); ++size) {
        ProxyHeader const part = parse(input, size);
        check(part.result == ProxyHeader::incomplete || same(part, header));
    }
    if (header.result != ProxyHeader::parsed) return;
    check(header.consumed >= 15 && header.consumed <= ProxyHeader::max_size);
    check(parse(input, header.consumed - 1).result == ProxyHeader::incomplete);
    check(header.local == !header.client.known());
    if (header.local) return;
    check(header.client.is_ip() && header.client.name.find(header.client.address) != std::string::npos);
    check_round_trip(header.client, input.substr(header.consumed));
}

std::string trimmed(std::string const& text) {
    std::string::size_type const start = text.find_first_not_of(" \t");
    if (start == std::string::npos) return "";
    return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

std::vector<std::string> split(std::string const& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

// The reading of X-Forwarded-For the plain way, to hold the real one to.
Peer expected_client(TrustedProxies const& proxies, std::string const& value, Peer const& proxy) {
    Peer hop = proxy;
    std::vector<std::string> const entries = split(value, ',');
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        std::string const text = trimmed(*entry);
        if (text.empty()) continue;
        unsigned char bytes[16];
        if (net::http::parse_ip_text(text.data(), text.size(), bytes) == Peer::unknown) return hop;
        Peer const client = Peer::of_text(text);
        if (!proxies.trusts(client)) return client;
        hop = client;
    }
    return hop;
}

void check_forwarded(std::string const& input) {
    std::string::size_type const end = std::min(input.find('\n'), input.size());
    std::vector<std::string> values = split(input.substr(0, end), ',');
    values.push_back("unix");
    TrustedProxies proxies;
    try {
        proxies = TrustedProxies::parse(values);
        for (std::string const& value : values) {
            if (value != "unix") check(proxies.trusts(Peer::of_text(value.substr(0, value.find('/')))));
        }
    } catch (std::invalid_argument const& e) {
        check(std::strncmp(e.what(), "Invalid value '", 15) == 0);
        proxies = TrustedProxies::parse({"unix"});
    }
    Peer proxy;
    proxy.family = Peer::local;
    proxy.name = "unix";
    std::string const value = end < input.size() ? input.substr(end + 1) : "";
    Peer const client = proxies.forwarded_client(value, proxy);
    Peer const expected = expected_client(proxies, value, proxy);
    check(client.family == expected.family && client.bytes == expected.bytes && client.name == expected.name);
    check(client.family == Peer::local || (client.port == 0 && client.name == client.address));
}

}  // namespace

void fuzz_proxy(std::uint8_t const* data, std::size_t size) {
    std::string const input(reinterpret_cast<char const*>(data), size);
    check_header(input);
    check_forwarded(input);
}

}  // namespace fuzz
}  // namespace orv
