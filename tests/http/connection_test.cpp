#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http_fixture.hpp"

namespace {

using orv::net::http::Request;
using orv::net::http::Responder;
using orv::test::HttpServerTest;
using orv::test::RawClient;
using orv::test::round_trip;

typedef std::map<std::string, std::string> Headers;

class ConnectionTest : public HttpServerTest {
protected:
    // Short enough to keep the deadline tests quick, long enough for a loaded
    // machine to move a megabyte well within it.
    void SetUp() override {
        orv::net::http::Deadlines deadlines;
        deadlines.wait = std::chrono::seconds(1);
        start_server(0, deadlines);
    }

    std::string peer(RawClient const& client) const {
        return "127.0.0.1:" + std::to_string(client.local_port());
    }
};

struct Row {
    char const* name;
    std::string request;
    bool close_write;
    char const* status;
    char const* body;
};

std::string headers_request(int n, std::string const& extra) {
    std::string request = "GET / HTTP/1.0\r\n";
    for (int i = 0; i < n; ++i)
        request += "h" + std::to_string(i) + ": x\r\n";
    return request + extra;
}

// Every refusal the connection makes, with the exact bytes on the wire; the
// server closes the connection after each.
TEST_F(ConnectionTest, FailureTableExactBytes) {
    char const* const BAD = "400 Bad Request";
    char const* const LARGE = "413 Request Entity Too Large";
    std::vector<Row> const rows = {
        {"closed before a line", "GET /x HTTP/1.0", true, BAD, "Malformed HTTP request"},
        {"closed in headers", "GET /x HTTP/1.0\r\nA: b\r\n", true, BAD, "Malformed HTTP request"},
        {"buffer full without line end", std::string(1048577, 'a'), false, LARGE, "Request is too big."},
        {"no version", "GET /x\r\n", false, BAD, "Invalid request line."},
        {"no blank", "GET\r\n", false, BAD, "Invalid request line."},
        {"lower-case method", "get /x HTTP/1.0\r\n", false, BAD, "Unsupported HTTP method."},
        {"PUT", "PUT /x HTTP/1.0\r\n", false, BAD, "Unsupported HTTP method."},
        {"long target", "GET /" + std::string(10240, 't') + " HTTP/1.0\r\n", false, LARGE,
         "Request URI is too big."},
        {"not HTTP", "GET /x FTP/1.0\r\n", false, BAD, "Invalid version specification."},
        {"HTTP/2.0", "GET /x HTTP/2.0\r\n", false, BAD, "Unsupported protocol version."},
        {"101 headers", headers_request(101, ""), false, BAD, "Too many headers."},
        {"no colon", "GET / HTTP/1.0\r\nFoo bar\r\n", false, BAD, "Invalid header line."},
        {"continuation first", "GET / HTTP/1.0\r\n\tmore\r\n", false, BAD, "Invalid header line."},
        {"empty value", "GET / HTTP/1.0\r\nFoo:  \r\n", false, BAD, "Invalid request line."},
        {"blank continuation", "GET / HTTP/1.0\r\nFoo: a\r\n \t\r\n", false, BAD, "Invalid request line."},
        {"long value", "GET / HTTP/1.0\r\nFoo: " + std::string(10241, 'v') + "\r\n", false, LARGE,
         "A header is too big."},
        {"POST without length", "POST / HTTP/1.0\r\n\r\n", false, "411 Length Required",
         "Content-Length is missing."},
        {"length not a number", "POST / HTTP/1.0\r\nContent-Length: 1x\r\n\r\n", false, BAD,
         "Invalid Content-Length."},
        {"negative length", "POST / HTTP/1.0\r\nContent-Length: -1\r\n\r\n", false, BAD, "Invalid Content-Length."},
        {"length too big", "POST / HTTP/1.0\r\nContent-Length: 1048577\r\n\r\n", false, LARGE,
         "Request is too big."},
        {"short body then close", "POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\nshort", true, BAD,
         "Invalid Content-Length."},
    };
    for (Row const& row : rows) {
        RawClient client(port_);
        client.send(row.request);
        if (row.close_write)
            client.shutdown_write();
        RawClient::Received const received = client.receive();
        EXPECT_EQ(plain(row.status, row.body), received.data) << row.name;
        EXPECT_TRUE(received.closed) << row.name;
    }
    EXPECT_EQ(0u, handler_.seen_count());
    // Every refusal but the short body is logged before it is answered.
    EXPECT_EQ(rows.size() - 1, log_.count_prefix(google::GLOG_ERROR, "Failed to process a request from 127.0.0.1:"));
}

TEST_F(ConnectionTest, LengthRequiredLiteralBytes) {
    EXPECT_EQ("HTTP/1.0 411 Length Required\r\nContent-Type: text/plain\r\nContent-Length: 26\r\n\r\n"
              "Content-Length is missing.",
              round_trip(port_, "POST /x HTTP/1.0\r\nContent-Type: application/json\r\n\r\n"));
}

TEST_F(ConnectionTest, RefusalIsLoggedWithPeerAndText) {
    RawClient client(port_);
    client.send("PUT /x HTTP/1.0\r\n");
    client.receive();
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR,
                              "Failed to process a request from " + peer(client) + ": Unsupported HTTP method."));
}

TEST_F(ConnectionTest, Version11IsAnsweredAsHttp10AndSocketShutDown) {
    handler_.set_behaviour([](Request const& request) {
        request.responder("200 OK", Headers{{"Content-Type", "application/json"}}, "{}");
    });
    RawClient client(port_);
    client.send("GET /x HTTP/1.1\r\n\r\n");
    RawClient::Received const received = client.receive();
    EXPECT_EQ("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}", received.data);
    EXPECT_TRUE(received.closed);
    EXPECT_EQ("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}",
              round_trip(port_, "GET /x HTTP/1.1foo\r\n\r\n"));
}

TEST_F(ConnectionTest, EmptyBodyResponseHasNoLengthField) {
    handler_.set_behaviour([](Request const& request) { request.responder("204 No Content", Headers(), ""); });
    EXPECT_EQ("HTTP/1.0 204 No Content\r\n\r\n", round_trip(port_, "GET / HTTP/1.0\r\n\r\n"));
}

TEST_F(ConnectionTest, HeadersAreLowerCasedTrimmedAndContinued) {
    round_trip(port_,
             "POST /p?x=1&x=2 HTTP/1.0\r\nContent-Type:  application/json  \r\nX-Long: first\r\n\t more\r\n"
             "Content-Length: 3\r\n\r\nabcdef");
    ASSERT_EQ(1u, handler_.seen_count());
    auto const seen = handler_.seen().front();
    EXPECT_EQ(Request::POST, seen.method);
    EXPECT_EQ("/p", seen.path);
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), seen.query.at("x"));
    EXPECT_EQ("application/json", seen.headers.at("content-type"));
    EXPECT_EQ("first more", seen.headers.at("x-long"));
    // Bytes beyond the declared length are ignored.
    EXPECT_EQ("abc", seen.body);
}

TEST_F(ConnectionTest, ZeroLengthPostAndGetBodyIgnored) {
    round_trip(port_, "POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
    round_trip(port_, "GET / HTTP/1.0\r\nContent-Length: 4\r\n\r\nbody");
    ASSERT_EQ(2u, handler_.seen_count());
    EXPECT_EQ("", handler_.seen()[0].body);
    EXPECT_EQ("", handler_.seen()[1].body);
}

// A body of the largest allowed size, sent in uneven pieces, arrives whole.
TEST_F(ConnectionTest, LargeBodyInSeveralPieces) {
    std::string body(1048576, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7 + i / 251);
    RawClient client(port_);
    client.send("POST /big HTTP/1.0\r\nContent-Length: 1048576\r\n\r\n" + body.substr(0, 1000));
    std::size_t offset = 1000;
    for (std::size_t step : {7u, 60000u, 1u, 300000u}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        client.send(body.substr(offset, step));
        offset += step;
    }
    client.send(body.substr(offset));
    EXPECT_EQ(plain("200 OK", "ok"), client.receive().data);
    ASSERT_EQ(1u, handler_.seen_count());
    EXPECT_TRUE(handler_.seen()[0].body == body);
}

// The request split at every byte offset, the halves sent apart, must parse
// the same as when sent at once.
TEST_F(ConnectionTest, RequestSplitAtEveryOffset) {
    std::string const request =
        "POST /p?a=%41&b HTTP/1.0\r\nX-A:  1 \r\n\tmore\r\nCookie: c=d\r\nContent-Length: 5\r\n\r\nhello";
    for (std::size_t cut = 1; cut < request.size(); ++cut) {
        RawClient client(port_);
        client.send(request.substr(0, cut));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        client.send(request.substr(cut));
        ASSERT_EQ(plain("200 OK", "ok"), client.receive().data) << "cut at " << cut;
    }
    auto const seen = handler_.seen();
    ASSERT_EQ(request.size() - 1, seen.size());
    for (auto const& s : seen) {
        EXPECT_EQ("/p", s.path);
        EXPECT_EQ("A", s.query.at("a").at(0));
        EXPECT_EQ("1 more", s.headers.at("x-a"));
        EXPECT_EQ("c=d", s.headers.at("cookie"));
        EXPECT_EQ("hello", s.body);
    }
}

TEST_F(ConnectionTest, SilentClientIsDroppedAfterDeadline) {
    RawClient idle(port_);
    RawClient::Received const received = idle.receive(10000);
    EXPECT_TRUE(received.closed);
    EXPECT_EQ("", received.data);
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR, "Connection with " + peer(idle) + " is broken. Closing it."));

    // The deadline guards the body as well.
    RawClient stalled(port_);
    stalled.send("POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc");
    RawClient::Received const partial = stalled.receive(10000);
    EXPECT_TRUE(partial.closed);
    EXPECT_EQ("", partial.data);
    EXPECT_EQ(0u, handler_.seen_count());
}

// Lines that arrived in one piece are taken together, but a line still
// incomplete after them waits for the network under the deadline.
TEST_F(ConnectionTest, DeadlineGuardsTheLineAfterBufferedLines) {
    RawClient client(port_);
    client.send("POST / HTTP/1.0\r\nA: 1\r\nB: 2\r\nContent-Le");
    RawClient::Received const received = client.receive(10000);
    EXPECT_TRUE(received.closed);
    EXPECT_EQ("", received.data);
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR, "Connection with " + peer(client) + " is broken. Closing it."));
    EXPECT_EQ(0u, handler_.seen_count());
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
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the server fills the socket meanwhile
    RawClient::Received const received = client.receive();
    EXPECT_TRUE(received.closed);
    EXPECT_TRUE(received.data == plain("200 OK", body)) << received.data.size() << " bytes";
}

// A reset while the connection waits for the rest of the headers or of the
// body is logged with the peer and the system's text; nothing is answered.
TEST_F(ConnectionTest, ResetWhileWaitingIsLoggedAndNotAnswered) {
    {
        RawClient client(port_);
        std::string const name = peer(client);
        client.send("GET / HTTP/1.0\r\nA: 1\r\nB: 2\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        client.reset();
        EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR,
                                  "Failed to receive data from " + name + ": Connection reset by peer"));
    }
    {
        RawClient client(port_);
        std::string const name = peer(client);
        client.send("POST / HTTP/1.0\r\nContent-Length: 100000\r\n\r\n" + std::string(70000, 'b'));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        client.reset();
        EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR,
                                  "Failed to receive a request body from " + name + ": Connection reset by peer"));
    }
    EXPECT_EQ(0u, handler_.seen_count());
}

// The request carries the client's own address and port.
TEST_F(ConnectionTest, RequestCarriesThePeerEndpoint) {
    unsigned short seen_port = 0;
    std::string seen_address;
    std::mutex mutex;
    handler_.set_behaviour([&](Request const& request) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen_port = request.endpoint.port();
            seen_address = request.endpoint.address().to_string();
        }
        request.responder("200 OK", Headers(), "ok");
    });
    RawClient client(port_);
    client.send("GET / HTTP/1.0\r\nA: 1\r\n\r\n");
    EXPECT_EQ(plain("200 OK", "ok"), client.receive().data);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(client.local_port(), seen_port);
    EXPECT_EQ("127.0.0.1", seen_address);
}

TEST_F(ConnectionTest, ResponderCalledTwiceSendsOneResponse) {
    handler_.set_behaviour([](Request const& request) {
        request.responder("200 OK", Headers(), "first");
        request.responder("500 Internal Server Error", Headers(), "second");
    });
    EXPECT_EQ(plain("200 OK", "first"), round_trip(port_, "GET /twice HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR,
                              "Attempt to response on request to /twice on which response already has been sent to."));
    EXPECT_EQ(1u, log_.count_prefix(google::GLOG_ERROR, "Attempt to response"));
}

TEST_F(ConnectionTest, ResponderCalledLaterFromAnotherThread) {
    handler_.set_behaviour([this](Request const& request) { handler_.keep(request.responder); });
    RawClient client(port_);
    client.send("GET /later HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(handler_.wait_for_requests(1));
    std::thread answer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        handler_.take()("200 OK", Headers{{"X-Late", "yes"}}, "late");
    });
    RawClient::Received const received = client.receive();
    answer.join();
    EXPECT_EQ("HTTP/1.0 200 OK\r\nX-Late: yes\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\nlate",
              received.data);
    EXPECT_TRUE(received.closed);
}

// Two threads racing on copies of one Responder: exactly one response.
TEST_F(ConnectionTest, ConcurrentRespondersProduceOneResponse) {
    handler_.set_behaviour([this](Request const& request) { handler_.keep(request.responder); });
    for (int round = 0; round < 20; ++round) {
        RawClient client(port_);
        client.send("GET /race HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(handler_.wait_for_requests(round + 1));
        Responder const responder = handler_.take();
        std::thread a([responder] { responder("200 OK", Headers(), "a"); });
        std::thread b([responder] { responder("200 OK", Headers(), "b"); });
        a.join();
        b.join();
        std::string const data = client.receive().data;
        EXPECT_TRUE(data == plain("200 OK", "a") || data == plain("200 OK", "b")) << data;
    }
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR,
                              "Attempt to response on request to /race on which response already has been sent to."));
}

TEST_F(ConnectionTest, DroppedResponderClosesWithoutAnswer) {
    handler_.set_behaviour([](Request const&) {});
    RawClient client(port_);
    client.send("GET / HTTP/1.0\r\n\r\n");
    RawClient::Received const received = client.receive();
    EXPECT_TRUE(received.closed);
    EXPECT_EQ("", received.data);
}

TEST_F(ConnectionTest, HandlerExceptionIsLoggedAndNotAnswered) {
    handler_.set_behaviour([](Request const&) { throw std::runtime_error("boom"); });
    RawClient client(port_);
    client.send("GET /crash HTTP/1.0\r\n\r\n");
    RawClient::Received const received = client.receive();
    EXPECT_TRUE(received.closed);
    EXPECT_EQ("", received.data);
    EXPECT_TRUE(
        log_.wait_for(google::GLOG_ERROR, "Request handler crashed during processing the request to /crash: boom"));
}

TEST_F(ConnectionTest, MalformedQueryEscapeIsABadRequest) {
    EXPECT_EQ(plain("400 Bad Request", "failed to URL decode a string"),
              round_trip(port_, "GET /p?a=%zz HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(0u, handler_.seen_count());
}

// The product's deadline, at its real size.
class RealDeadlineTest : public HttpServerTest {};

TEST_F(RealDeadlineTest, SilentClientIsDroppedAfterFiveSeconds) {
    start_server();
    auto const begin = std::chrono::steady_clock::now();
    RawClient idle(port_);
    RawClient::Received const first = idle.receive(3000);
    EXPECT_FALSE(first.closed);
    RawClient::Received const second = idle.receive(12000);
    EXPECT_TRUE(second.closed);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(15));
}

}  // namespace
