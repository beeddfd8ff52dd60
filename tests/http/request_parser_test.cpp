#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/request_error.hpp"
#include "http/request_parser.hpp"
#include "http/response.hpp"

namespace {

using orv::net::http::Request;
using orv::net::http::RequestError;
using orv::net::http::RequestParser;
using orv::net::http::compose_response;
using orv::net::http::parse_content_length;

struct Refusal {
    char const* name;
    std::vector<std::string> lines;
    char const* status;
    char const* message;
};

std::string header(char const* name, std::size_t value_size) {
    return std::string(name) + ": " + std::string(value_size, 'v');
}

std::vector<std::string> many_headers(std::size_t n, std::string const& last) {
    std::vector<std::string> lines{"GET / HTTP/1.0"};
    for (std::size_t i = 0; i < n; ++i)
        lines.push_back("h" + std::to_string(i) + ": x");
    lines.push_back(last);
    return lines;
}

char const BAD[] = "400 Bad Request";
char const LARGE[] = "413 Request Entity Too Large";

// The rows the loopback tests do not reach; every row of the refusal table is
// also checked on the wire there.
TEST(RequestParser, RefusesEdgeCases) {
    std::vector<Refusal> const rows = {
        {"blank after target only", {"GET /x \t"}, BAD, "Invalid request line."},
        {"no target", {"GET   "}, BAD, "Invalid request line."},
        {"method before target check", {"PUT /x"}, BAD, "Unsupported HTTP method."},
        {"version empty", {"GET /x HTTP/"}, BAD, "Unsupported protocol version."},
        {"version 1.10", {"GET /x HTTP/1.10"}, BAD, "Unsupported protocol version."},
        {"repeated name past 100", many_headers(100, "h0: y"), BAD, "Too many headers."},
        {"long by continuation", {"GET / HTTP/1.0", header("Foo", 10000), "\t" + std::string(240, 'w')}, LARGE,
         "A header is too big."},
        {"length overflows", {"POST / HTTP/1.0", "Content-Length: 99999999999999999999", ""}, BAD,
         "Invalid Content-Length."},
        {"length empty after sign", {"POST / HTTP/1.0", "Content-Length: +", ""}, BAD, "Invalid Content-Length."},
    };
    for (Refusal const& row : rows) {
        RequestParser parser;
        try {
            for (std::string const& line : row.lines)
                parser.handle_line(line);
            ADD_FAILURE() << row.name << ": accepted";
        } catch (RequestError const& e) {
            EXPECT_EQ(row.status, e.status) << row.name;
            EXPECT_STREQ(row.message, e.what()) << row.name;
        }
    }
}

TEST(RequestParser, AcceptsAtTheLimits) {
    RequestParser parser;
    EXPECT_EQ(RequestParser::header_lines, parser.handle_line("GET /" + std::string(10239, 'a') + " HTTP/1.1foo"));
    EXPECT_EQ("1.1", parser.version());
    for (int i = 0; i < 99; ++i)
        parser.handle_line("h" + std::to_string(i) + ": x");
    parser.handle_line(header("Big", 10240));
    EXPECT_EQ(RequestParser::complete, parser.handle_line(""));
    EXPECT_EQ(100u, parser.headers().size());
    EXPECT_EQ(0u, parser.content_length());
}

TEST(RequestParser, StoresLowerCaseNamesTrimmedValuesAndContinuations) {
    RequestParser parser;
    parser.handle_line("POST\t /p?q=1  HTTP/1.0");
    EXPECT_EQ(Request::POST, parser.method());
    EXPECT_EQ("/p?q=1", parser.target());
    parser.handle_line("Content-Type:  application/json  ");
    parser.handle_line("X-Long: first");
    parser.handle_line("\t more ");
    parser.handle_line("X-Long2:x");
    parser.handle_line("x-long2: replaced");
    parser.handle_line("Content-LENGTH: +7");
    EXPECT_EQ(RequestParser::body, parser.handle_line(""));
    EXPECT_EQ(7u, parser.content_length());
    EXPECT_EQ("application/json", parser.headers().at("content-type"));
    EXPECT_EQ("first more", parser.headers().at("x-long"));
    EXPECT_EQ("replaced", parser.headers().at("x-long2"));
}

TEST(RequestParser, GetIgnoresContentLengthAndZeroLengthPostHasBodyState) {
    RequestParser get;
    get.handle_line("GET / HTTP/1.0");
    get.handle_line("Content-Length: 12");
    EXPECT_EQ(RequestParser::complete, get.handle_line(""));
    EXPECT_EQ(0u, get.content_length());

    RequestParser post;
    post.handle_line("POST / HTTP/1.0");
    post.handle_line("Content-Length: 0");
    EXPECT_EQ(RequestParser::body, post.handle_line(""));
    EXPECT_EQ(0u, post.content_length());
}

TEST(ContentLength, ParsesSignedDecimalStrictly) {
    long long value = 0;
    EXPECT_TRUE(parse_content_length("0", value));
    EXPECT_EQ(0, value);
    EXPECT_TRUE(parse_content_length("-0", value));
    EXPECT_EQ(0, value);
    EXPECT_TRUE(parse_content_length("+1048576", value));
    EXPECT_EQ(1048576, value);
    EXPECT_TRUE(parse_content_length("9223372036854775807", value));
    EXPECT_EQ(9223372036854775807LL, value);
    EXPECT_TRUE(parse_content_length("-9223372036854775808", value));
    EXPECT_LT(value, 0);
    for (char const* bad : {"", "+", "-", "9223372036854775808", "1 ", " 1", "0x10", "1e3", "--1"})
        EXPECT_FALSE(parse_content_length(bad, value)) << bad;
}

TEST(Response, ComposesStatusHeadersAndBody) {
    EXPECT_EQ("HTTP/1.0 411 Length Required\r\nContent-Type: text/plain\r\nContent-Length: 26\r\n\r\n"
              "Content-Length is missing.",
              compose_response("411 Length Required", {}, "Content-Length is missing."));
    EXPECT_EQ("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}",
              compose_response("200 OK", {{"Content-Type", "application/json"}}, "{}"));
    // An empty body gets no length field; the client reads to the close.
    EXPECT_EQ("HTTP/1.0 503 Service Unavailable\r\n\r\n", compose_response("503 Service Unavailable", {}, ""));
    // Given fields win whatever their case, and come in map order.
    EXPECT_EQ("HTTP/1.0 200 OK\r\nCONTENT-LENGTH: 9\r\nX-A: 1\r\ncontent-type: a/b\r\n\r\nabc",
              compose_response("200 OK", {{"content-type", "a/b"}, {"X-A", "1"}, {"CONTENT-LENGTH", "9"}}, "abc"));
}

}  // namespace
