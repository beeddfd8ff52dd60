#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "eventually.hpp"
#include "http_fixture.hpp"
#include "tcp_queues.hpp"

namespace orv {
namespace test {
namespace {

using net::http::Request;
typedef std::map<std::string, std::string> Headers;

class ConnectionTest : public HttpServerTest {
protected:
    // Short enough to keep the deadline tests quick, long enough for a loaded
    // machine to move a megabyte well within it.
    void SetUp() override {
        net::http::Deadlines deadlines;
        deadlines.wait = std::chrono::seconds(1);
        start_server(0, deadlines);
    }
};

// n header lines, each of a name of its own or (repeated) all of one name.
std::string many_headers(int n, std::string const& last = "", bool repeated = false) {
    std::string request = "GET / HTTP/1.0\r\n";
    for (int i = 0; i < n; ++i)
        request += repeated ? "X: a\r\n" : "h" + std::to_string(i) + ": x\r\n";
    return request + last;
}

// Every refusal, with the exact bytes on the wire and the line logged before
// the answer; the connection is closed after each, the handler never called.
TEST_F(ConnectionTest, RefusalsOnTheWireAndInTheLog) {
    char const* const BAD = "400 Bad Request";
    char const* const LARGE = "413 Request Entity Too Large";
    struct Row {
        std::string request;
        bool close_write;
        char const* status;
        char const* body;
        bool logged = true;
    };
    std::string const big_value = "GET / HTTP/1.0\r\nFoo: " + std::string(10000, 'v') + "\r\n";
    std::vector<Row> const rows = {
        {"GET /x HTTP/1.0", true, BAD, "Malformed HTTP request"},
        {"GET /x HTTP/1.0\r\nA: b\r\n", true, BAD, "Malformed HTTP request"},
        {std::string(1048577, 'a'), false, LARGE, "Request is too big."},
        {"GET /x\r\n", false, BAD, "Invalid request line."},
        {"GET\r\n", false, BAD, "Invalid request line."},
        {"GET /x \t\r\n", false, BAD, "Invalid request line."},
        {"GET   \r\n", false, BAD, "Invalid request line."},
        {"get /x HTTP/1.0\r\n", false, BAD, "Unsupported HTTP method."},
        {"PUT /x HTTP/1.0\r\n", false, BAD, "Unsupported HTTP method."},
        {"PUT /x\r\n", false, BAD, "Unsupported HTTP method."},
        {"GET /" + std::string(10240, 't') + " HTTP/1.0\r\n", false, LARGE, "Request URI is too big."},
        {"GET /x FTP/1.0\r\n", false, BAD, "Invalid version specification."},
        {"GET /x HTTP/2.0\r\n", false, BAD, "Unsupported protocol version."},
        {"GET /x HTTP/\r\n", false, BAD, "Unsupported protocol version."},
        {"GET /x HTTP/1.10\r\n", false, BAD, "Unsupported protocol version."},
        {many_headers(101), false, BAD, "Too many headers."},
        {many_headers(100, "h0: y\r\n"), false, BAD, "Too many headers."},
        {many_headers(201, "", true), false, BAD, "Too many headers."},
        {"GET / HTTP/1.0\r\nFoo bar\r\n", false, BAD, "Invalid header line."},
        {"GET / HTTP/1.0\r\n\tmore\r\n", false, BAD, "Invalid header line."},
        {"GET / HTTP/1.0\r\nFoo:  \r\n", false, BAD, "Invalid request line."},
        {"GET / HTTP/1.0\r\nFoo: a\r\n \t\r\n", false, BAD, "Invalid request line."},
        {"GET / HTTP/1.0\r\nFoo: " + std::string(10241, 'v') + "\r\n", false, LARGE, "A header is too big."},
        {big_value + "\t" + std::string(240, 'w') + "\r\n", false, LARGE, "A header is too big."},
        {"POST / HTTP/1.0\r\n\r\n", false, "411 Length Required", "Content-Length is missing."},
        {"POST / HTTP/1.0\r\nContent-Length: 1x\r\n\r\n", false, BAD, "Invalid Content-Length."},
        {"POST / HTTP/1.0\r\nContent-Length: -1\r\n\r\n", false, BAD, "Invalid Content-Length."},
        {"POST / HTTP/1.0\r\nContent-Length: +\r\n\r\n", false, BAD, "Invalid Content-Length."},
        {"POST / HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n", false, BAD, "Invalid Content-Length."},
        {"POST / HTTP/1.0\r\nContent-Length: 1048577\r\n\r\n", false, LARGE, "Request is too big."},
        {"POST / HTTP/1.0\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}1", false, BAD,
         "Invalid Content-Length."},
        {"GET /p?a=%zz HTTP/1.0\r\n\r\n", false, BAD, "failed to URL decode a string"},
        // The one refusal answered without a log line.
        {"POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\nshort", true, BAD, "Invalid Content-Length.", false},
    };
    for (Row const& row : rows) {
        RawClient client(port_);
        client.send(row.request);
        if (row.close_write)
            client.shutdown_write();
        RawClient::Received const received = client.receive();
        std::string const name = row.request.substr(0, 40);
        EXPECT_EQ(plain_response(row.status, row.body), received.data) << name;
        EXPECT_TRUE(received.closed) << name;
        std::string const from = "Failed to process a request from " + peer_name(client) + ": ";
        EXPECT_EQ(row.logged ? 1u : 0u, log_.count(google::GLOG_ERROR, from + row.body)) << name;
        EXPECT_EQ(row.logged ? 1u : 0u, log_.count_prefix(google::GLOG_ERROR, from)) << name;
    }
    EXPECT_EQ(0u, handler_.count());
}

// Answers spelled out to the byte, each given from another thread after the
// handler returned; the socket is shut down after each.
TEST_F(ConnectionTest, AnswersOnTheWire) {
    struct Row {
        std::string request;
        char const* status;  // nullptr: refused before the handler
        Headers headers;
        std::string body;
        std::string wire;
    };
    std::string const json = "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
    std::vector<Row> const rows = {
        {"POST /x HTTP/1.0\r\nContent-Type: application/json\r\n\r\n", nullptr, {}, "",
         "HTTP/1.0 411 Length Required\r\nContent-Type: text/plain\r\nContent-Length: 26\r\n\r\n"
         "Content-Length is missing."},
        {"GET /x HTTP/1.1\r\n\r\n", "200 OK", {{"Content-Type", "application/json"}}, "{}", json},
        {"GET /x HTTP/1.1foo\r\n\r\n", "200 OK", {{"Content-Type", "application/json"}}, "{}", json},
        // No length with an empty body: the client reads to the close.
        {"GET / HTTP/1.0\r\n\r\n", "204 No Content", {}, "", "HTTP/1.0 204 No Content\r\n\r\n"},
        {"GET / HTTP/1.0\r\n\r\n", "200 OK", {{"X-Late", "yes"}}, "late",
         "HTTP/1.0 200 OK\r\nX-Late: yes\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\nlate"},
        // Given fields win whatever their case, and come in map order.
        {"GET / HTTP/1.0\r\n\r\n", "200 OK", {{"content-type", "a/b"}, {"X-A", "1"}, {"CONTENT-LENGTH", "9"}}, "abc",
         "HTTP/1.0 200 OK\r\nCONTENT-LENGTH: 9\r\nX-A: 1\r\ncontent-type: a/b\r\n\r\nabc"},
    };
    hold_requests();
    std::size_t handled = 0;
    for (Row const& row : rows) {
        RawClient client(port_);
        client.send(row.request);
        if (row.status) {
            ASSERT_TRUE(handler_.wait_for(++handled));
            std::thread([&] { handler_.take()(row.status, row.headers, row.body); }).join();
        }
        RawClient::Received const received = client.receive();
        EXPECT_EQ(row.wire, received.data) << row.request;
        EXPECT_TRUE(received.closed) << row.request;
    }
}

// The handler gets the client's address, lower-case trimmed names with
// continuations joined, decoded repeated query values, and a body of exactly
// Content-Length bytes.
TEST_F(ConnectionTest, HandlerSeesTheParsedRequest) {
    RawClient client(port_);
    client.send("POST /p?x=1&x=%32 HTTP/1.0\r\nContent-Type:  application/json  \r\nX-Long: first\r\n\t more\r\n"
                "Content-Length: 3\r\n\r\nabcdef");
    ASSERT_EQ(plain_response("200 OK", "ok"), client.receive().data);
    ASSERT_EQ(1u, handler_.count());
    SeenRequest const seen = handler_.records().front();
    EXPECT_EQ("127.0.0.1", seen.peer.address);
    EXPECT_EQ(peer_name(client), seen.peer.name);
    EXPECT_EQ(Request::POST, seen.method);
    EXPECT_EQ("/p", seen.path);
    EXPECT_EQ((Request::QueryParams{{"x", {"1", "2"}}}), seen.query);
    EXPECT_EQ((Headers{{"content-type", "application/json"}, {"x-long", "first more"}, {"content-length", "3"}}),
              seen.headers);
    EXPECT_EQ("abc", seen.body);
}

// A body of the largest allowed size, sent in uneven pieces, arrives whole.
// How pieces are joined is covered byte by byte in the reader's own test.
TEST_F(ConnectionTest, LargeBodyInSeveralPieces) {
    std::string body(1048576, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7 + i / 251);
    RawClient client(port_);
    client.send("POST /big HTTP/1.0\r\nContent-Length: 1048576\r\n\r\n" + body.substr(0, 1000));
    std::size_t offset = 1000;
    for (std::size_t step : {7u, 60000u, 1u, 300000u}) {
        client.send(body.substr(offset, step));
        offset += step;
    }
    client.send(body.substr(offset));
    EXPECT_EQ(plain_response("200 OK", "ok"), client.receive().data);
    ASSERT_EQ(1u, handler_.count());
    EXPECT_TRUE(handler_.records()[0].body == body);
}

// Clients that stop sending, wherever they stopped (before the first byte,
// in the body, in a line after lines that arrived whole), and clients that
// keep the connection busy without finishing: each is cut by its own rule,
// with the deadline's log line and no answer. A wait must see a
// whole line, or a body step of min(rest, 51200) bytes, within 300 ms; the
// head must be complete 600 ms after the accept, the whole request 900 ms
// after. Paced sends stand for the slow clients; nothing waits on them.
class BudgetTest : public HttpServerTest {
protected:
    void SetUp() override {
        net::http::Deadlines deadlines;
        deadlines.wait = std::chrono::milliseconds(300);
        deadlines.head = std::chrono::milliseconds(600);
        deadlines.request = std::chrono::milliseconds(900);
        start_server(0, deadlines);
    }

    // Sends `start`, then `piece` every `pace` until the server closes; how
    // long the connection lasted.
    std::chrono::milliseconds trickle(std::string const& start, std::string const& piece,
                                      std::chrono::milliseconds pace) {
        RawClient client(port_);
        auto const begin = std::chrono::steady_clock::now();
        client.send(start);
        for (int i = 0; i < 100 && client.send(piece); ++i) {
            RawClient::Received const received = client.receive(static_cast<int>(pace.count()));
            EXPECT_EQ("", received.data) << start;
            if (received.closed) break;
        }
        EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR, "Connection with " + peer_name(client) +
                                                          " is broken. Closing it."));
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    }
};

TEST_F(BudgetTest, SlowClientsAreCutByTheirRule) {
    using std::chrono::milliseconds;
    struct Row {
        char const* name;
        std::string start;
        std::string piece;
        milliseconds pace;
        milliseconds at_least;
        milliseconds below;
    } const rows[] = {
        {"silent", "", "", milliseconds(100), milliseconds(250), milliseconds(550)},
        {"stopped in the body", "POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc", "", milliseconds(100),
         milliseconds(250), milliseconds(550)},
        {"stopped in a line", "POST / HTTP/1.0\r\nA: 1\r\nB: 2\r\nContent-Le", "", milliseconds(100),
         milliseconds(250), milliseconds(550)},
        {"a line a byte at a time", "GET / HTTP/1.0\r\nX-Slow: ", "a", milliseconds(50), milliseconds(250),
         milliseconds(550)},
        {"header lines forever", "GET / HTTP/1.0\r\n", "X-Slow: a\r\n", milliseconds(100), milliseconds(550),
         milliseconds(850)},
        {"a body a few bytes at a time", "POST / HTTP/1.0\r\nContent-Length: 1000000\r\n\r\n", "0123456789",
         milliseconds(50), milliseconds(250), milliseconds(550)},
        {"a body in steps, too slowly in all", "POST / HTTP/1.0\r\nContent-Length: 1000000\r\n\r\n",
         std::string(51200, 'b'), milliseconds(100), milliseconds(850), milliseconds(1150)},
    };
    for (Row const& row : rows) {
        milliseconds const lasted = trickle(row.start, row.piece, row.pace);
        EXPECT_GE(lasted, row.at_least) << row.name;
        EXPECT_LT(lasted, row.below) << row.name;
    }
    EXPECT_EQ(0u, handler_.count());
}

// A reader slower than the whole deadline still gets all of a large reply,
// as long as it keeps taking bytes; one that stops is cut off.
TEST_F(BudgetTest, SlowReaderGetsTheWholeReplyAndAStoppedOneIsCut) {
    // More than any socket buffers hold for the reader that stops.
    std::string const body(4 << 20, 'r');
    std::string const huge(64 << 20, 'h');
    handler_.set_behaviour([&](Request const& request) {
        request.responder("200 OK", Headers(), request.path == "/huge" ? huge : body);
    });
    RawClient reader(port_);
    reader.send("GET /big HTTP/1.0\r\n\r\n");
    std::string received;
    auto const begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i) {
        std::string const chunk = reader.receive_some(131072, 1000);
        if (chunk.empty()) break;
        received += chunk;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the reader's pace: 2.5 MB/s
    }
    EXPECT_GT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(900));
    EXPECT_TRUE(received == plain_response("200 OK", body)) << received.size() << " bytes";

    RawClient stopped(port_);
    stopped.send("GET /huge HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR, "Connection with " + peer_name(stopped) + " is broken. Closing it."));
}

// The product's deadline, at its real size.
class RealDeadlineTest : public HttpServerTest {};

TEST_F(RealDeadlineTest, SilentClientIsDroppedAfterFiveSeconds) {
    start_server();
    auto const begin = std::chrono::steady_clock::now();
    RawClient idle(port_);
    EXPECT_FALSE(idle.receive(3000).closed);
    EXPECT_TRUE(idle.receive(12000).closed);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(15));
}

// A response too big for the socket at once: what fits goes out at once, the
// rest once the client reads, and the client gets every byte in order.
TEST_F(ConnectionTest, ResponseBiggerThanTheSocketArrivesWhole) {
    std::string body(8 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>('a' + i % 26 + i / 1000 % 3);
    handler_.set_behaviour([&body](Request const& request) { request.responder("200 OK", Headers(), body); });
    RawClient client(port_);
    client.send("GET /big HTTP/1.0\r\n\r\n");
    // Before reading, see the server hold bytes the client has not taken.
    EXPECT_TRUE(eventually([&] {
        TcpQueues const server = tcp_queues(port_, client.local_port());
        return server.found && server.unacknowledged > 0;
    }));
    RawClient::Received const received = client.receive();
    EXPECT_TRUE(received.closed);
    EXPECT_TRUE(received.data == plain_response("200 OK", body)) << received.data.size() << " bytes";
}

// A reset while the connection waits for the rest of the headers or of the
// body is logged with the peer and the system's text; nothing is answered.
TEST_F(ConnectionTest, ResetWhileWaitingIsLoggedAndNotAnswered) {
    std::map<std::string, std::string> const rows = {
        {"GET / HTTP/1.0\r\nA: 1\r\nB: 2\r\n", "Failed to receive data from "},
        {"POST / HTTP/1.0\r\nContent-Length: 100000\r\n\r\n" + std::string(70000, 'b'),
         "Failed to receive a request body from "},
    };
    for (auto const& row : rows) {
        RawClient client(port_);
        std::string const name = peer_name(client);
        client.send(row.first);
        // The reset must find the server waiting, with every byte read.
        ASSERT_TRUE(server_has_read(port_, client.local_port())) << row.second;
        client.reset();
        EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR, row.second + name + ": Connection reset by peer"));
    }
    EXPECT_EQ(0u, handler_.count());
}

// However often and from however many threads a Responder is called, one
// response goes out; every further call is refused with an ERROR line.
TEST_F(ConnectionTest, ResponderAnswersOnce) {
    handler_.set_behaviour([](Request const& request) {
        request.responder("200 OK", Headers(), "first");
        request.responder("500 Internal Server Error", Headers(), "second");
    });
    EXPECT_EQ(plain_response("200 OK", "first"), round_trip(port_, "GET /twice HTTP/1.0\r\n\r\n"));
    std::string const refused = " on which response already has been sent to.";
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR, "Attempt to response on request to /twice" + refused));

    hold_requests();
    std::size_t const rounds = 20;
    for (std::size_t round = 0; round < rounds; ++round) {
        RawClient client(port_);
        client.send("GET /race HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(handler_.wait_for(round + 2));
        net::http::Responder const responder = handler_.take();
        std::thread a([responder] { responder("200 OK", Headers(), "a"); });
        std::thread b([responder] { responder("200 OK", Headers(), "b"); });
        a.join();
        b.join();
        std::string const data = client.receive().data;
        EXPECT_TRUE(data == plain_response("200 OK", "a") || data == plain_response("200 OK", "b")) << data;
    }
    EXPECT_TRUE(eventually([&] {
        return log_.count(google::GLOG_ERROR, "Attempt to response on request to /race" + refused) == rounds;
    }));
    EXPECT_EQ(rounds + 1, log_.count_prefix(google::GLOG_ERROR, "Attempt to response"));
}

// A handler that drops its Responder or throws leaves the client without an
// answer: the connection closes once nothing holds it.
TEST_F(ConnectionTest, UnansweredRequestsAreClosed) {
    std::vector<std::pair<char const*, RecordingHandler::Behaviour>> const rows = {
        {"/drop", [](Request const&) {}},
        {"/crash", [](Request const&) { throw std::runtime_error("boom"); }},
    };
    for (auto const& row : rows) {
        handler_.set_behaviour(row.second);
        RawClient client(port_);
        client.send(std::string("GET ") + row.first + " HTTP/1.0\r\n\r\n");
        RawClient::Received const received = client.receive();
        EXPECT_TRUE(received.closed) << row.first;
        EXPECT_EQ("", received.data) << row.first;
    }
    EXPECT_TRUE(
        log_.wait_for(google::GLOG_ERROR, "Request handler crashed during processing the request to /crash: boom"));
    EXPECT_EQ(1u, log_.count_prefix(google::GLOG_ERROR, ""));
}

// A handler that waits may ask to hear when its client leaves: a close or a
// reset is told once; a client that sends more (a next request) or is
// answered first is not taken for gone.
TEST_F(ConnectionTest, ClientWatchTellsWhenTheClientLeaves) {
    std::atomic<int> gone{0};
    handler_.set_behaviour([&](Request const& request) {
        handler_.keep(request);
        request.watch_client([&] { ++gone; });
    });
    struct Row {
        char const* name;
        std::function<void(RawClient&)> leave;
        int told;
    } const rows[] = {
        {"close", [](RawClient& c) { c.close(); }, 1},
        {"reset", [](RawClient& c) { c.reset(); }, 1},
        {"more bytes", [](RawClient& c) { c.send("GET / HTTP/1.0\r\n\r\n"); }, 0},
    };
    for (Row const& row : rows) {
        gone = 0;
        RawClient client(port_);
        client.send("GET /wait HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(eventually([&] { return server_->connection_states()[1] == 1u; })) << row.name;
        row.leave(client);
        EXPECT_TRUE(eventually([&] { return gone == row.told; })) << row.name;
        handler_.take("/wait")("200 OK", Headers(), "late");
        EXPECT_TRUE(eventually([&] { return server_->open_connections() == 0u; })) << row.name;
        EXPECT_EQ(row.told, gone.load()) << row.name;
    }
}

}  // namespace
}  // namespace test
}  // namespace orv
