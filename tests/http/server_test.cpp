#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "eventually.hpp"
#include "http_fixture.hpp"
#include "tcp_queues.hpp"

namespace orv {
namespace test {
namespace {

typedef std::map<std::string, std::string> Headers;

std::string const OK = plain_response("200 OK", "ok");

// Keeps every thread of the event loop busy while it exists, so that the
// server accepts nothing meanwhile: new connections wait in the listening
// socket's queue.
class LoopHeld {
public:
    LoopHeld(boost::asio::io_context& io, int threads) {
        std::shared_future<void> const released = release_.get_future().share();
        std::shared_ptr<std::atomic<int>> const busy = std::make_shared<std::atomic<int>>(0);
        for (int i = 0; i < threads; ++i)
            boost::asio::post(io, [busy, released] {
                ++*busy;
                released.wait();
            });
        held_ = eventually([&] { return *busy == threads; });
    }
    ~LoopHeld() { release_.set_value(); }

    bool held_;

private:
    std::promise<void> release_;
};

class ServerTest : public HttpServerTest {
protected:
    // n clients whose requests, to /held0 ... /heldN-1, are all held. They
    // connect in batches that fit the listening socket's queue, as a longer
    // queue drops connections for the client to retry a second later.
    std::vector<std::unique_ptr<RawClient>> open_held(std::size_t n) {
        hold_requests();
        std::size_t const before = handler_.count();
        std::vector<std::unique_ptr<RawClient>> clients;
        for (std::size_t i = 0; i < n; ++i) {
            if (i % 64 == 0) {
                EXPECT_TRUE(handler_.wait_for(before + i));
            }
            clients.emplace_back(new RawClient(port_));
            clients.back()->send("GET /held" + std::to_string(i) + " HTTP/1.0\r\n\r\n");
        }
        return clients;
    }

    void answer_held() {
        while (auto responder = handler_.take())
            responder("200 OK", Headers(), "ok");
    }

    // With `limit` connections held, the next is closed unanswered and
    // logged; once one held request is answered, new ones are served again.
    void check_limit(std::size_t limit) {
        start_server(limit);
        auto const held = open_held(limit);
        ASSERT_TRUE(handler_.wait_for(limit, std::chrono::seconds(20)));

        RawClient refused(port_);
        RawClient::Received const received = refused.receive();
        EXPECT_TRUE(received.closed);
        EXPECT_EQ("", received.data);
        EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR, "Failed to handle a client connection from " +
                                                          peer_name(refused) +
                                                          ": Limit on number of active connections (" +
                                                          std::to_string(limit) + ") has exceeded."));

        handler_.take("/held0")("200 OK", Headers(), "ok");
        EXPECT_EQ(OK, held.front()->receive().data);
        handler_.set_behaviour([](net::http::Request const& r) { r.responder("200 OK", Headers(), "ok"); });
        EXPECT_TRUE(eventually([this] { return round_trip(port_, "GET /again HTTP/1.0\r\n\r\n") == OK; }));
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
    auto const held = open_held(1);
    ASSERT_TRUE(handler_.wait_for(1));
    {
        LoopHeld const loop(loop_.io(), 3);
        EXPECT_TRUE(loop.held_);
        RawClient gone(port_);
        gone.reset();
    }
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR,
                              "Failed to handle a client connection from unknown: Limit on number of active "
                              "connections (1) has exceeded."));
}

TEST_F(ServerTest, LimitZeroMeansUnlimited) {
    start_server(0);
    auto const held = open_held(50);
    EXPECT_TRUE(handler_.wait_for(50));
    answer_held();
    for (auto& client : held)
        EXPECT_EQ(OK, client->receive().data);
}

// Stopping closes the listening socket: later clients are refused at once
// and a start changes nothing, while connections already accepted run on.
TEST_F(ServerTest, StopClosesTheListenerForGood) {
    start_server();
    auto const held = open_held(1);
    ASSERT_TRUE(handler_.wait_for(1));
    server_->stop();
    server_->stop();
    EXPECT_EQ(2u, log_.count(google::GLOG_INFO, "Stopping the HTTP server..."));
    EXPECT_EQ(2, handler_.stops.load());
    EXPECT_EQ(0u, log_.count_prefix(google::GLOG_ERROR, ""));
    server_->start();
    EXPECT_THROW(RawClient refused(port_), std::runtime_error);
    EXPECT_FALSE(tcp_queues(port_, 0).found);

    handler_.take()("200 OK", Headers(), "ok");
    EXPECT_EQ(OK, held.front()->receive().data);
}

TEST_F(ServerTest, BindFailureNamesTheStep) {
    start_server();
    try {
        net::http::Server second(loop_.io(), "127.0.0.1", port_, handler_, 0);
        FAIL() << "second server bound the same port";
    } catch (boost::system::system_error const& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("bind: ")) << e.what();
    }
    EXPECT_EQ(1u, log_.count(google::GLOG_INFO,
                             "Listening for client HTTP connections on 127.0.0.1:" + std::to_string(port_) + "..."));
}

// Sets the soft descriptor limit, and puts back the limits it found when it
// goes, however the test ends.
class SoftDescriptorLimit {
public:
    explicit SoftDescriptorLimit(rlim_t soft) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = soft;
        set_ = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    ~SoftDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

    rlimit saved_;
    bool set_;
};

TEST_F(ServerTest, RaisesSoftDescriptorLimit) {
    SoftDescriptorLimit const lowered(64);
    if (!lowered.set_)
        GTEST_SKIP() << "hard limit too low to lower";
    start_server();
    rlimit raised;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &raised));
    EXPECT_EQ(raised.rlim_max, raised.rlim_cur);
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
    auto const first = open_held(1);
    ASSERT_TRUE(handler_.wait_for(1));
    // The second client waits in the backlog until no descriptor is left.
    std::unique_ptr<RawClient> second;
    std::unique_ptr<SoftDescriptorLimit> none;
    {
        LoopHeld const loop(loop_.io(), 3);
        ASSERT_TRUE(loop.held_);
        second.reset(new RawClient(port_));
        second->send("GET /second HTTP/1.0\r\n\r\n");
        none.reset(new SoftDescriptorLimit(0));
    }
    ASSERT_TRUE(none->set_);
    std::string const failure = "Failed to accept a client connection: Too many open files";
    ASSERT_TRUE(log_.wait_for(google::GLOG_ERROR, failure));
    auto const begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return log_.count(google::GLOG_ERROR, failure) >= 3; }));
    // Two pauses of 100 ms lie between the first and the third failure; a
    // loop that spins fails thousands of times in a millisecond.
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(100));
    none.reset();

    EXPECT_TRUE(handler_.wait_for(2));
    answer_held();
    EXPECT_EQ(OK, first.front()->receive().data);
    EXPECT_EQ(OK, second->receive().data);
}

}  // namespace
}  // namespace test
}  // namespace orv
