#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "http/request_error.hpp"
#include "http/request_reader.hpp"
#include "request_fuzz_harness.hpp"
#include "tests/fuzz_inputs.hpp"

// Reading a request without I/O: the reader cuts lines and says what to wait
// for, the parser decides on each line. Refusals are checked on the wire, in
// the connection's test.

namespace orv {
namespace net {
namespace http {
namespace {

typedef std::map<std::string, std::string> Headers;

// Drives a reader as the connection does: bytes arrive in pieces; after each
// arrival the reader takes what it can, as many turns as it asks for, and
// what it consumed is dropped from the front of `held`.
struct Feed {
    RequestReader reader;
    std::string held;
    std::size_t calls = 0;

    RequestReader::Next arrive(std::string const& piece, std::size_t max_lines = 64) {
        held += piece;
        do {
            ++calls;
            held.erase(0, reader.advance(held.data(), held.size(), max_lines));
        } while (reader.next() == RequestReader::take_turn);
        return reader.next();
    }
};

struct Parsed {
    std::string request;
    Request::Method method;
    std::string target;
    Headers headers;
    char const* body;
};

void expect_parsed(Parsed const& row, Feed const& feed, std::string const& how) {
    ASSERT_EQ(RequestReader::handle_request, feed.reader.next()) << how;
    EXPECT_EQ(row.method, feed.reader.parser().method()) << how;
    EXPECT_EQ(row.target, feed.reader.parser().target()) << how;
    EXPECT_EQ(row.headers, feed.reader.parser().headers()) << how;
    EXPECT_EQ(row.body, feed.held.substr(0, feed.reader.parser().content_length())) << how;
    // Only lines are consumed, never the body or what follows it.
    EXPECT_EQ(row.request.substr(row.request.find("\r\n\r\n") + 4), feed.held) << how;
}

// Each request parses the same however it arrives: cut in two at every
// offset (lines and CRLFs split across calls), or one byte at a time.
TEST(RequestReader, EveryWayOfArrivingGivesTheSameRequest) {
    std::vector<Parsed> const rows = {
        {"POST /p?a=%41&b HTTP/1.0\r\nX-A:  1 \r\n\tmore\r\nCookie: c=d\r\nContent-Length: 5\r\n\r\nhello",
         Request::POST, "/p?a=%41&b", {{"x-a", "1 more"}, {"cookie", "c=d"}, {"content-length", "5"}}, "hello"},
        // Names in lower case, values trimmed, a later field replaces an
        // earlier one of the same name, the length may carry a sign.
        {"POST\t /p?q=1  HTTP/1.0\r\nContent-Type:  application/json  \r\nX-Long2:x\r\nx-long2: replaced\r\n"
         "Content-LENGTH: +7\r\n\r\nabcdefg",
         Request::POST, "/p?q=1",
         {{"content-type", "application/json"}, {"x-long2", "replaced"}, {"content-length", "+7"}}, "abcdefg"},
        // Bytes beyond the declared length are left where they are.
        {"POST / HTTP/1.0\r\nContent-Length: 3\r\n\r\nabcdef", Request::POST, "/", {{"content-length", "3"}}, "abc"},
        {"POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n", Request::POST, "/", {{"content-length", "0"}}, ""},
        // A GET has no body, whatever it declares.
        {"GET /g HTTP/1.0\r\nContent-Length: 4\r\n\r\nbody", Request::GET, "/g", {{"content-length", "4"}}, ""},
        {"GET / HTTP/1.1foo\r\n\r\n", Request::GET, "/", {}, ""},
    };
    for (Parsed const& row : rows) {
        std::size_t const head = row.request.find("\r\n\r\n") + 4;
        for (std::size_t cut = 0; cut <= row.request.size(); ++cut) {
            std::string const how = row.request + " cut at " + std::to_string(cut);
            Feed feed;
            bool const early = feed.arrive(row.request.substr(0, cut)) == RequestReader::handle_request;
            EXPECT_EQ(cut >= head + feed.reader.parser().content_length(), early) << how;
            feed.arrive(row.request.substr(cut));
            expect_parsed(row, feed, how);
        }
        Feed feed;
        for (char byte : row.request)
            feed.arrive(std::string(1, byte));
        expect_parsed(row, feed, row.request + " byte by byte");
    }
}

// The largest request line, number of fields and field value pass.
TEST(RequestReader, AcceptsAtTheLimits) {
    std::string request = "GET /" + std::string(10239, 'a') + " HTTP/1.1foo\r\n";
    for (int i = 0; i < 99; ++i)
        request += "h" + std::to_string(i) + ": x\r\n";
    request += "big: " + std::string(10240, 'v') + "\r\n\r\n";
    Feed feed;
    EXPECT_EQ(RequestReader::handle_request, feed.arrive(request));
    EXPECT_EQ("1.1", feed.reader.parser().version());
    EXPECT_EQ(100u, feed.reader.parser().headers().size());
    EXPECT_EQ(0u, feed.reader.parser().content_length());
}

// At most max_lines lines per call: then the reader asks for a turn and goes
// on where it stopped when called again. The first line arrives in two
// parts, so that what was searched of it is not skipped in the lines after.
TEST(RequestReader, TakesATurnAfterMaxLines) {
    std::string const first = "GET /" + std::string(100, 'x') + " HTTP/1.0\r\n";
    std::string const rest = "A: 1\r\nB: 2\r\nC: 3\r\n\r\n";  // with the first, five lines
    struct Row {
        std::size_t max_lines;
        std::size_t calls;
    } const rows[] = {{1, 5}, {2, 3}, {4, 2}, {5, 1}, {64, 1}};
    for (Row const& row : rows) {
        Feed feed;
        feed.arrive(first.substr(0, 100), row.max_lines);
        feed.calls = 0;
        feed.arrive(first.substr(100) + rest, row.max_lines);
        EXPECT_EQ(row.calls, feed.calls) << row.max_lines;
        EXPECT_EQ(RequestReader::handle_request, feed.reader.next()) << row.max_lines;
        EXPECT_EQ((Headers{{"a", "1"}, {"b", "2"}, {"c", "3"}}), feed.reader.parser().headers()) << row.max_lines;
    }
    RequestReader reader;
    std::string const request = first + rest;
    EXPECT_EQ(first.size() + 6, reader.advance(request.data(), request.size(), 2));
    EXPECT_EQ(RequestReader::take_turn, reader.next());
}

// A line must end within the buffer: unconsumed bytes that fill it without a
// CRLF are refused, whether they came at once or in pieces.
TEST(RequestReader, LineNotEndingWithinTheBufferIsTooBig) {
    std::size_t const limit = RequestLimits::buffer;
    struct Row {
        std::vector<std::string> pieces;
        bool refused;
    };
    std::vector<Row> const rows = {
        {{std::string(limit - 1, 'a')}, false},
        {{std::string(limit, 'a')}, true},
        {{std::string(limit - 1, 'a'), "a"}, true},
        {{std::string(limit - 1, 'a') + "\r"}, true},
        {{"GET / HTTP/1.0\r\n" + std::string(limit, 'a')}, true},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Feed feed;
        try {
            for (std::string const& piece : rows[i].pieces)
                EXPECT_EQ(RequestReader::read_line, feed.arrive(piece)) << i;
            EXPECT_FALSE(rows[i].refused) << i;
        } catch (RequestError const& e) {
            EXPECT_TRUE(rows[i].refused) << i;
            EXPECT_EQ("413 Request Entity Too Large", e.status) << i;
            EXPECT_STREQ("Request is too big.", e.what()) << i;
        }
    }
}

// A line that trickles in is not searched from its start again. A 1 MiB
// line in 512-byte pieces, its CR and LF in different pieces, ends exactly
// at the buffer limit and reaches the parser (which refuses it as a target);
// searched from the start each time, this takes many times longer.
TEST(RequestReader, LongLineInSmallPiecesIsFoundOnce) {
    std::size_t const piece = 512;
    std::string const line = "GET /" + std::string(RequestLimits::buffer - 16, 'a') + " HTTP/1.0\r\n";
    ASSERT_EQ(RequestLimits::buffer, line.size());
    ASSERT_EQ(0u, (line.size() - 1) % piece);  // the CR closes a piece, the LF comes alone
    Feed feed;
    std::size_t offset = 0;
    try {
        for (; offset < line.size(); offset += piece)
            ASSERT_EQ(RequestReader::read_line, feed.arrive(line.substr(offset, piece))) << offset;
        ADD_FAILURE() << "the line was never found";
    } catch (RequestError const& e) {
        EXPECT_EQ(line.size() - 1, offset);
        EXPECT_STREQ("Request URI is too big.", e.what());
    }
}

// What the connection waits for: any byte while a line is incomplete; for
// the body, min(remaining, 51200) bytes.
TEST(RequestReader, WantsAByteForALineAndTheBodyInSteps) {
    Feed line;
    line.arrive("POST / HTTP/1.0\r\nContent-Le");
    EXPECT_EQ(1u, line.reader.wanted(line.held.size()));
    struct Row {
        std::size_t length;
        std::size_t held;
        std::size_t wanted;
    } const rows[] = {
        {10, 0, 10},        {10, 3, 7},           {51200, 0, 51200},         {51201, 0, 51200},
        {51201, 1, 51200},  {100000, 70000, 30000}, {1048576, 0, 51200}, {1048576, 1048575, 1},
    };
    for (Row const& row : rows) {
        Feed feed;
        std::string const head = "POST / HTTP/1.0\r\nContent-Length: " + std::to_string(row.length) + "\r\n\r\n";
        EXPECT_EQ(RequestReader::read_body, feed.arrive(head + std::string(row.held, 'b')));
        EXPECT_EQ(row.wanted, feed.reader.wanted(feed.held.size())) << row.length << " " << row.held;
        EXPECT_FALSE(feed.reader.body_complete(feed.held.size()));
    }
}

TEST(ContentLength, ParsesSignedDecimalStrictly) {
    std::map<std::string, long long> const good = {{"0", 0}, {"-0", 0}, {"+1048576", 1048576},
                                                   {"9223372036854775807", 9223372036854775807LL},
                                                   {"-9223372036854775808", -9223372036854775807LL - 1}};
    long long value = 1;
    for (auto const& row : good) {
        EXPECT_TRUE(parse_content_length(row.first, value)) << row.first;
        EXPECT_EQ(row.second, value) << row.first;
    }
    for (char const* bad : {"", "+", "-", "9223372036854775808", "1 ", " 1", "0x10", "1e3", "--1"})
        EXPECT_FALSE(parse_content_length(bad, value)) << bad;
}

// Replays the seed corpus and every input the fuzzer ever crashed on through
// the fuzz harness, which aborts when a parser invariant breaks.
TEST(FuzzRegression, RequestInputsStaySound) {
    EXPECT_GT(orv::test::replay_fuzz_inputs(ORV_FUZZ_DIR, "request", orv::fuzz::fuzz_request), 10u);
}

}  // namespace
}  // namespace http
}  // namespace net
}  // namespace orv
