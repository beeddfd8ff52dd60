#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/system/system_error.hpp>

#include "http_fixture.hpp"

namespace {

using orv::net::http::Request;
using orv::net::http::Server;
using orv::test::HttpServerTest;
using orv::test::RawClient;
using orv::test::round_trip;

typedef std::map<std::string, std::string> Headers;

class ServerTest : public HttpServerTest {
protected:
    // Requests reach the handler and stay unanswered, holding their slot.
    void hold_requests() {
        handler_.set_behaviour([this](Request const& request) { handler_.keep(request.responder); });
    }

    std::vector<std::unique_ptr<RawClient>> open_held(std::size_t n) {
        std::vector<std::unique_ptr<RawClient>> clients;
        for (std::size_t i = 0; i < n; ++i) {
            clients.emplace_back(new RawClient(port_));
            clients.back()->send("GET /held HTTP/1.0\r\n\r\n");
        }
        return clients;
    }

    // Polls (bounded) until a fresh request is served again.
    bool served_again() {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (round_trip(port_, "GET /again HTTP/1.0\r\n\r\n") == plain("200 OK", "ok"))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void check_limit(std::size_t limit) {
        start_server(limit);
        // Held per path, so the test knows which client an answer goes to.
        std::mutex mutex;
        std::map<std::string, orv::net::http::Responder> held_by_path;
        handler_.set_behaviour([&](Request const& request) {
            std::lock_guard<std::mutex> lock(mutex);
            held_by_path[request.path] = request.responder;
        });
        std::vector<std::unique_ptr<RawClient>> held;
        for (std::size_t i = 0; i < limit; ++i) {
            held.emplace_back(new RawClient(port_));
            held.back()->send("GET /held" + std::to_string(i) + " HTTP/1.0\r\n\r\n");
        }
        ASSERT_TRUE(handler_.wait_for_requests(limit, 20000));

        RawClient refused(port_);
        RawClient::Received const received = refused.receive();
        EXPECT_TRUE(received.closed);
        EXPECT_EQ("", received.data);
        std::string const line = "Failed to handle a client connection from 127.0.0.1:" +
                                 std::to_string(refused.local_port()) + ": Limit on number of active connections (" +
                                 std::to_string(limit) + ") has exceeded.";
        EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR, line));

        handler_.set_behaviour([](Request const& request) { request.responder("200 OK", Headers(), "ok"); });
        orv::net::http::Responder first;
        {
            std::lock_guard<std::mutex> lock(mutex);
            first.swap(held_by_path.at("/held0"));
        }
        first("200 OK", Headers(), "ok");
        first.clear();
        EXPECT_EQ(plain("200 OK", "ok"), held.front()->receive().data);
        EXPECT_TRUE(served_again());
        std::lock_guard<std::mutex> lock(mutex);
        held_by_path.clear();
    }
};

TEST_F(ServerTest, ConnectionLimitRefusesAndRecovers) {
    check_limit(3);
}

TEST_F(ServerTest, ConnectionLimitAtRealSize) {
    check_limit(1000);
}

// A refused peer that is already gone has no name to log.
TEST_F(ServerTest, RefusedPeerAlreadyGoneIsUnknown) {
    start_server(1);
    hold_requests();
    RawClient held(port_);
    held.send("GET /held HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(handler_.wait_for_requests(1));
    server_->stop();
    RawClient gone(port_);
    gone.reset();
    server_->start();
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR,
                              "Failed to handle a client connection from unknown: Limit on number of active "
                              "connections (1) has exceeded."));
}

TEST_F(ServerTest, LimitZeroMeansUnlimited) {
    start_server(0);
    hold_requests();
    auto held = open_held(50);
    EXPECT_TRUE(handler_.wait_for_requests(50));
    while (auto responder = handler_.take())
        responder("200 OK", Headers(), "ok");
    for (auto& client : held)
        EXPECT_EQ(plain("200 OK", "ok"), client->receive().data);
}

TEST_F(ServerTest, StopTwiceThenStartServesTheBacklog) {
    start_server();
    server_->stop();
    server_->stop();
    EXPECT_EQ(2u, log_.count(google::GLOG_INFO, "Stopping the HTTP server..."));
    EXPECT_EQ(2, handler_.stops.load());
    EXPECT_EQ(0u, log_.count_prefix(google::GLOG_ERROR, ""));

    // Bound, so the connection completes in the kernel, but never served.
    RawClient waiting(port_);
    waiting.send("GET /late HTTP/1.0\r\n\r\n");
    RawClient::Received const nothing = waiting.receive(300);
    EXPECT_FALSE(nothing.closed);
    EXPECT_EQ("", nothing.data);
    EXPECT_EQ(0u, handler_.seen_count());

    server_->start();
    server_->start();
    EXPECT_EQ(plain("200 OK", "ok"), waiting.receive().data);
    EXPECT_EQ(plain("200 OK", "ok"), round_trip(port_, "GET / HTTP/1.0\r\n\r\n"));
}

TEST_F(ServerTest, BindFailureNamesTheStep) {
    start_server();
    try {
        Server second(loop_.io(), "127.0.0.1", port_, handler_, 0);
        FAIL() << "second server bound the same port";
    } catch (boost::system::system_error const& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("bind: ")) << e.what();
    }
    EXPECT_EQ(1u, log_.count(google::GLOG_INFO,
                             "Listening for client HTTP connections on 127.0.0.1:" + std::to_string(port_) + "..."));
}

TEST_F(ServerTest, RaisesSoftDescriptorLimit) {
    rlimit limit;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    if (limit.rlim_max <= 64)
        GTEST_SKIP() << "hard limit too low to lower";
    limit.rlim_cur = 64;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    start_server();
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    EXPECT_EQ(limit.rlim_max, limit.rlim_cur);
}

// Out of descriptors, accepting pauses instead of spinning, and resumes once
// descriptors are free again.
TEST_F(ServerTest, AcceptPausesWhenOutOfDescriptors) {
#ifdef __SANITIZE_ADDRESS__
    // UndefinedBehaviorSanitizer probes memory through a pipe when it checks
    // a dynamic type; with no descriptor left every such check fails.
    GTEST_SKIP() << "needs descriptors to run out, which the sanitizer runtime cannot bear";
#endif
    start_server();
    hold_requests();
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));

    RawClient first(port_);
    first.send("GET /first HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(handler_.wait_for_requests(1));
    // The second client waits in the backlog while accepting is stopped, so
    // the accept can only happen once the limit has dropped.
    server_->stop();
    RawClient second(port_);
    second.send("GET /second HTTP/1.0\r\n\r\n");
    rlimit tight = saved;
    tight.rlim_cur = 0;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
    server_->start();
    std::string const failure = "Failed to accept a client connection: Too many open files";
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR, failure));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::size_t const failures = log_.count(google::GLOG_ERROR, failure);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    // About five pauses fit in the half second; a spinning loop logs thousands.
    EXPECT_LE(failures, 20u);

    EXPECT_TRUE(handler_.wait_for_requests(2));
    while (auto responder = handler_.take())
        responder("200 OK", Headers(), "ok");
    EXPECT_EQ(plain("200 OK", "ok"), first.receive().data);
    EXPECT_EQ(plain("200 OK", "ok"), second.receive().data);
}

}  // namespace
