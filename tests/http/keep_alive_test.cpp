// Persistent connections over a real server on loopback: what stays open and
// what closes, the exact bytes of each answer, pipelines, and the idle
// connections the limit and the stop take back.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "eventually.hpp"
#include "http_fixture.hpp"

namespace orv {
namespace test {
namespace {

using net::http::Request;
typedef std::map<std::string, std::string> Headers;

// A plain-text answer as a persistent connection frames it.
std::string answer(std::string const& version, std::string const& status, std::string const& body,
                   char const* connection = nullptr) {
    std::string text = "HTTP/" + version + " " + status + "\r\n";
    if (!body.empty()) text += "Content-Type: text/plain\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (connection != nullptr) text += std::string("Connection: ") + connection + "\r\n";
    return text + "\r\n" + body;
}

std::string get(std::string const& path, std::string const& version = "1.1", std::string const& fields = "") {
    return "GET " + path + " HTTP/" + version + "\r\n" + fields + "\r\n";
}

class KeepAliveTest : public HttpServerTest {
protected:
    // Each test starts its one server: a server is destroyed only after the
    // event loop stops.
    void start(std::chrono::steady_clock::duration idle = std::chrono::seconds(5), unsigned max_requests = 1000,
               std::size_t limit = 0) {
        net::http::ConnectionSettings settings;
        settings.deadlines.wait = std::chrono::seconds(2);
        settings.keep_alive.idle = idle;
        settings.keep_alive.max_requests = max_requests;
        start_server(limit, settings);
        // "/empty" answers with no body, "/hold" keeps its Responder, every
        // other path answers with its own path.
        handler_.set_behaviour([this](Request const& request) {
            if (request.path == "/hold")
                handler_.keep(request);
            else
                request.responder("200 OK", Headers(), request.path == "/empty" ? "" : request.path);
        });
    }

    // Sends `request`, expects exactly `expected` back and whether the
    // server then closed.
    void exchange(RawClient& client, std::string const& request, std::string const& expected, bool closes) {
        client.send(request);
        EXPECT_EQ(expected, client.receive_exactly(expected.size())) << request;
        RawClient::Received const after = client.receive(closes ? 5000 : 100);
        EXPECT_EQ("", after.data) << request;
        EXPECT_EQ(closes, after.closed) << request;
    }
};

// Which requests keep the connection, to the byte: HTTP/1.1 unless it says
// close, HTTP/1.0 only when it asks; the last answer says Connection: close
// and every answer carries its length, an empty one included.
TEST_F(KeepAliveTest, WhatStaysOpenAndTheBytesOfEachAnswer) {
    start();
    struct Row {
        char const* name;
        std::vector<std::pair<std::string, std::string>> requests;  // request, answer
        bool closes;
    } const rows[] = {
        {"1.1 twice", {{get("/a"), answer("1.1", "200 OK", "/a")}, {get("/b"), answer("1.1", "200 OK", "/b")}},
         false},
        {"1.1 close", {{get("/a", "1.1", "Connection: close\r\n"), answer("1.1", "200 OK", "/a", "close")}}, true},
        {"1.1 close among options",
         {{get("/a", "1.1", "Connection: TE, Close\r\n"), answer("1.1", "200 OK", "/a", "close")}}, true},
        {"1.0 plain", {{get("/a", "1.0"), answer("1.0", "200 OK", "/a", "close")}}, true},
        {"1.0 keep-alive",
         {{get("/a", "1.0", "Connection: Keep-Alive\r\n"), answer("1.0", "200 OK", "/a", "keep-alive")},
          {get("/b", "1.0", "Connection: keep-alive\r\n"), answer("1.0", "200 OK", "/b", "keep-alive")}},
         false},
        {"empty reply", {{get("/empty"), answer("1.1", "200 OK", "")}, {get("/a"), answer("1.1", "200 OK", "/a")}},
         false},
        {"GET with a body is the last",
         {{get("/a", "1.1", "Content-Length: 2\r\n"), answer("1.1", "200 OK", "/a", "close")}}, true},
        // Refused before its version was read: answered as HTTP/1.0.
        {"refusal after a good request",
         {{get("/a"), answer("1.1", "200 OK", "/a")},
          {"PUT /x HTTP/1.1\r\n\r\n", answer("1.0", "400 Bad Request", "Unsupported HTTP method.", "close")}},
         true},
        {"refused header after a good request",
         {{get("/a"), answer("1.1", "200 OK", "/a")},
          {get("/b", "1.1", "Foo bar\r\n"), answer("1.1", "400 Bad Request", "Invalid header line.", "close")}},
         true},
        {"Transfer-Encoding",
         {{"POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n{}",
           answer("1.1", "411 Length Required", "Content-Length is missing.", "close")}},
         true},
    };
    for (Row const& row : rows) {
        RawClient client(port_);
        for (std::size_t i = 0; i < row.requests.size(); ++i)
            exchange(client, row.requests[i].first, row.requests[i].second, row.closes && i + 1 == row.requests.size());
    }
}

// Requests sent back to back are answered in order, one at a time, whether
// they come in one write or split anywhere, also across an answer.
TEST_F(KeepAliveTest, PipelinedRequestsAreAnsweredInOrder) {
    start();
    for (int count : {2, 10}) {
        std::string requests, answers;
        for (int i = 0; i < count; ++i) {
            std::string const path = "/p" + std::to_string(i);
            requests += i % 2 ? get(path) : "POST " + path + " HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
            answers += answer("1.1", "200 OK", path);
        }
        RawClient client(port_);
        client.send(requests);
        EXPECT_EQ(answers, client.receive_exactly(answers.size())) << count;
    }
    RawClient client(port_);
    client.send(get("/first") + "GET /sec");
    EXPECT_EQ(answer("1.1", "200 OK", "/first"), client.receive_exactly(answer("1.1", "200 OK", "/first").size()));
    exchange(client, "ond HTTP/1.1\r\n\r\n", answer("1.1", "200 OK", "/second"), false);
}

// A client that waits to be told to send its body is told so, once.
TEST_F(KeepAliveTest, ExpectContinue) {
    start();
    RawClient client(port_);
    client.send("POST /p HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
    std::string const go_on = "HTTP/1.1 100 Continue\r\n\r\n";
    EXPECT_EQ(go_on, client.receive_exactly(go_on.size()));
    exchange(client, "body", answer("1.1", "200 OK", "/p"), false);
    // With the body already sent there is nothing to wait for.
    exchange(client, "POST /q HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n{}",
             answer("1.1", "200 OK", "/q"), false);
}

// A Responder called twice answers its own request once; the next request
// on the connection gets its own answer.
TEST_F(KeepAliveTest, AnAnswerNeverReachesTheNextRequest) {
    start();
    handler_.set_behaviour([](Request const& request) {
        request.responder("200 OK", Headers(), "first");
        request.responder("200 OK", Headers(), "second");
    });
    RawClient client(port_);
    exchange(client, get("/a"), answer("1.1", "200 OK", "first"), false);
    exchange(client, get("/b"), answer("1.1", "200 OK", "first"), false);
    EXPECT_TRUE(eventually(
        [&] { return log_.count_prefix(google::GLOG_ERROR, "Attempt to response on request to ") == 2u; }));
}

// The last allowed request is answered with Connection: close.
TEST_F(KeepAliveTest, RequestsPerConnectionAreBounded) {
    start(std::chrono::seconds(5), 3, 0);
    RawClient client(port_);
    exchange(client, get("/1"), answer("1.1", "200 OK", "/1"), false);
    exchange(client, get("/2"), answer("1.1", "200 OK", "/2"), false);
    exchange(client, get("/3"), answer("1.1", "200 OK", "/3", "close"), true);
}

// An idle connection is closed once its time is up, without a byte and
// without an ERROR line; one that stays busy is not.
TEST_F(KeepAliveTest, IdleConnectionsCloseQuietly) {
    start(std::chrono::milliseconds(300), 1000, 0);
    RawClient client(port_);
    exchange(client, get("/a"), answer("1.1", "200 OK", "/a"), false);
    auto const begin = std::chrono::steady_clock::now();
    RawClient::Received const idle = client.receive(3000);
    EXPECT_TRUE(idle.closed);
    EXPECT_EQ("", idle.data);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(150));
    EXPECT_EQ(0u, log_.count_prefix(google::GLOG_ERROR, ""));
}

// At the limit the longest-idle connection gives way to a newcomer; a busy
// one never does, and with none idle the newcomer is refused as always.
TEST_F(KeepAliveTest, TheLimitTakesBackTheLongestIdle) {
    start(std::chrono::seconds(5), 1000, 2);
    RawClient oldest(port_), newer(port_);
    exchange(oldest, get("/a"), answer("1.1", "200 OK", "/a"), false);
    exchange(newer, get("/b"), answer("1.1", "200 OK", "/b"), false);
    RawClient newcomer(port_);
    exchange(newcomer, get("/hold"), "", false);
    EXPECT_TRUE(oldest.receive(2000).closed);
    exchange(newer, get("/c"), answer("1.1", "200 OK", "/c"), false);
    // Now one waits idle and one is busy: the idle one goes.
    RawClient another(port_);
    exchange(another, get("/d"), answer("1.1", "200 OK", "/d"), false);
    EXPECT_TRUE(newer.receive(2000).closed);
    // Reading, with the handler, idle: the held request and the last one.
    EXPECT_TRUE(eventually([&] { return server_->connection_states() == std::array<std::size_t, 3>{{0, 1, 1}}; }));
    handler_.take("/hold")("200 OK", Headers(), "held");
    EXPECT_EQ(answer("1.1", "200 OK", "held"), newcomer.receive_exactly(answer("1.1", "200 OK", "held").size()));
}

// A stop closes the idle connections at once and lets a busy one finish,
// its answer saying Connection: close.
TEST_F(KeepAliveTest, StopClosesIdleAndFinishesBusy) {
    start();
    RawClient idle(port_), busy(port_);
    exchange(idle, get("/a"), answer("1.1", "200 OK", "/a"), false);
    busy.send(get("/hold"));
    ASSERT_TRUE(handler_.wait_for(2));
    server_->stop();
    EXPECT_TRUE(idle.receive(2000).closed);
    handler_.take("/hold")("200 OK", Headers(), "held");
    std::string const last = answer("1.1", "200 OK", "held", "close");
    EXPECT_EQ(last, busy.receive_exactly(last.size()));
    EXPECT_TRUE(busy.receive(2000).closed);
}

}  // namespace
}  // namespace test
}  // namespace orv
