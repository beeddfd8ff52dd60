// The task service in this process, with its periods cut to milliseconds,
// so that balancing and whole stop sequences run in well under a second.
// The handled signals reach only the service's own thread: every other
// thread of the test blocks them. A process holds one signal pipe, so each
// test needs a process of its own, which ctest gives it.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "documents.hpp"
#include "eventually.hpp"
#include "log_capture.hpp"
#include "raw_client.hpp"
#include "ts/service_events.hpp"
#include "ts/ts.hpp"

namespace {

using namespace std::chrono_literals;
using orv::test::eventually;
using orv::test::json_response;

bool service_ran = false;

class ServiceTest : public ::testing::Test, private orv::ts::ServiceEvents {
protected:
    ServiceTest() {
        sigset_t handled;
        sigemptyset(&handled);
        for (int signal : {SIGCHLD, SIGINT, SIGTERM, SIGQUIT}) sigaddset(&handled, signal);
        pthread_sigmask(SIG_BLOCK, &handled, nullptr);
        config_.address = "127.0.0.1";
        config_.worker_program = ORV_TEST_WORKER;
        config_.service_name = "svc";
        config_.min_workers = 0;
        config_.max_workers = 10;
        config_.threads = 3;
        config_.timing.heartbeat = 5ms;
        config_.timing.kill_escalation = 100ms;
        config_.events = this;
    }

    // Before the fixture is torn down: the service calls back into it.
    void TearDown() override {
        if (service_.valid() && !stop(SIGQUIT)) ADD_FAILURE() << "the service did not stop";
    }

    void start(std::vector<std::string> const& behaviour) {
        ASSERT_FALSE(service_ran) << "one service per process: run the tests through ctest";
        service_ran = true;
        config_.worker_args = behaviour;
        service_ = std::async(std::launch::async, [this] {
            orv::ts::TaskService service(config_);
            return true;
        });
        ASSERT_TRUE(eventually([this] { return port_ != 0; }));
    }

    // Sends the signal (0: none) to this process, where only the service's
    // thread takes it, and waits for the service to return.
    bool stop(int signal) {
        if (signal != 0) ::kill(::getpid(), signal);
        if (service_.wait_for(10s) != std::future_status::ready) return false;
        service_.get();
        return true;
    }

    std::string post(std::string const& action, std::string const& body = "{}") const {
        return orv::test::round_trip(port_, orv::test::http_request("POST", "/svc/" + action, body));
    }

    std::size_t logged(std::string const& prefix) const { return log_.count_prefix(google::GLOG_INFO, prefix); }

    // Sends the requests at once, each from its own thread, and collects
    // the answers in order.
    std::vector<std::string> post_all(std::vector<std::string> const& actions) {
        std::vector<std::future<std::string>> replies;
        for (auto const& action : actions) {
            replies.push_back(std::async(std::launch::async, [this, action] { return post(action); }));
            // In this order: each is in the service before the next is sent.
            EXPECT_TRUE(log_.wait_for(google::GLOG_INFO, "Processing request to " + action + "..."));
        }
        std::vector<std::string> answers;
        for (auto& reply : replies) answers.push_back(reply.get());
        return answers;
    }

    orv::test::LogCapture log_;
    orv::ts::ServiceConfig config_;
    std::atomic<unsigned short> port_{0};

private:
    void listening(unsigned short port) override { port_ = port; }

    std::future<bool> service_;
};

// A worker that ignores SIGTERM gets it every tick until the escalation
// has passed, then SIGKILL; the service stops once it is reaped.
TEST_F(ServiceTest, GracefulStopEscalatesToSigkillForAStubbornWorker) {
    start({"ignore-term", "one-write"});
    EXPECT_EQ(json_response("{\"a\":1}"), post("x", "{\"a\":1}"));
    ASSERT_TRUE(stop(SIGTERM));
    EXPECT_GE(logged("Killing worker #0 ["), 2u);
    EXPECT_GE(log_.count_prefix(google::GLOG_ERROR, "Forcing killing of worker #0 ["), 1u);
    for (char const* line : {"Termination signal (15) received. Stopping the service...", "Stopping the HTTP server...",
                             "Worker #0 terminated.", "All workers are stopped. Stopping the main loop.",
                             "Exiting..."}) {
        EXPECT_EQ(1u, log_.count(google::GLOG_INFO, line)) << line;
    }
}

// A burst makes the pool grow; as the burst leaves the 300-tick window, the
// pool is brought down to the minimum, killing idle workers from the top.
TEST_F(ServiceTest, BalancingShrinksTheIdlePoolOnceTheBurstLeavesTheWindow) {
    config_.min_workers = 2;
    start({"delay:300", "one-write"});
    std::vector<std::future<std::string>> burst;
    for (int i = 0; i < 6; ++i) burst.push_back(std::async(std::launch::async, [this] { return post("x"); }));
    for (auto& reply : burst) EXPECT_EQ(json_response("{}"), reply.get());
    std::size_t const started = logged("Starting a new worker #");
    ASSERT_GE(started, 3u);

    for (std::size_t number = 2; number < started; ++number) {
        std::string const line = "Worker #" + std::to_string(number) + " terminated.";
        EXPECT_TRUE(log_.wait_for(google::GLOG_INFO, line, 10000)) << line;
    }
    EXPECT_GE(logged("Balance workers by killing "), 1u);
    EXPECT_EQ(json_response("{}"), post("x"));  // workers #0 and #1 are still there
    EXPECT_EQ(started, logged("Starting a new worker #"));
    EXPECT_EQ(0u, logged("Worker #0 terminated."));
}

// A worker that dies inside a request fails it with 503 and is removed (by
// the reaper or by the next tick's sweep); its number is the first free one
// again.
TEST_F(ServiceTest, BrokenWorkerIsRemovedAndItsNumberReused) {
    start({"crash"});
    EXPECT_EQ(orv::test::UNAVAILABLE, post("x"));
    // The quiet census, every 60 ticks, tells when the table is empty.
    ASSERT_TRUE(eventually([this] { return logged("We have 0 workers: ") > 0; }));
    EXPECT_EQ(orv::test::UNAVAILABLE, post("x"));
    EXPECT_EQ(2u, logged("Starting a new worker #0..."));
    EXPECT_EQ(0u, logged("Starting a new worker #1..."));
}

// Each request comes on a connection of its own, which the kernel gives to
// any of the three loops: the one worker moves to each in turn and serves
// every request, with a body that fits the socket at once and with one
// that has to wait for the worker to read.
TEST_F(ServiceTest, LowestIdleWorkerServesEveryLoop) {
    config_.max_workers = 3;
    start({"served", "one-write"});
    for (std::size_t const size : {std::size_t(2), std::size_t(1) << 20}) {
        std::string const body = "\"" + std::string(size - 2, 'x') + "\"";
        for (int i = 0; i < 12; ++i) {
            std::string const reply = post("x", body);
            EXPECT_NE(std::string::npos, reply.find("\"n\":" + std::to_string(logged("Processing request to ")) + "}"))
                << reply;
        }
    }
    EXPECT_EQ(1u, logged("Starting a new worker #"));
}

// A client that hangs up while its worker is busy costs nothing: the one
// worker allowed finishes, is idle again and serves the next client.
TEST_F(ServiceTest, ClientGoneWhileItsWorkerIsBusy) {
    config_.max_workers = 1;
    start({"delay:100", "one-write"});
    {
        orv::test::RawClient gone(port_);
        gone.send(orv::test::http_request("POST", "/svc/x", "{\"n\":1}"));
        ASSERT_TRUE(log_.wait_for(google::GLOG_INFO, "Starting a new worker #0..."));
    }
    EXPECT_TRUE(eventually([this] { return post("x", "{\"n\":2}") == json_response("{\"n\":2}"); }));
    EXPECT_EQ(1u, logged("Starting a new worker #"));
}

// Once a stop begins, the port is closed at once: a new client is refused
// instead of waiting in a backlog nobody reads. A client that sends its
// headers a line at a time is cut off by the head budget, so it cannot keep
// the service from stopping.
TEST_F(ServiceTest, StopClosesTheDoorAndOutlastsASlowClient) {
    config_.timing.network.head = 1s;
    start({"one-write"});
    orv::test::RawClient slow(port_);
    slow.send("POST /svc/x HTTP/1.0\r\n");
    std::atomic<bool> sending(true);
    std::thread trickle([&] {
        for (int i = 0; i < 200 && sending; ++i) {
            if (!slow.send("X-Slow: a\r\n")) break;
            std::this_thread::sleep_for(20ms);  // pacing the attack, not waiting for anything
        }
    });
    // Connections are accepted in the order they were made: once a later
    // client has its answer, the slow one is the service's to finish.
    ASSERT_EQ(json_response("{}"), post("x"));
    ::kill(::getpid(), SIGTERM);
    ASSERT_TRUE(log_.wait_for(google::GLOG_INFO, "Stopping the HTTP server..."));
    // The line is written just before the socket closes, so a connect can
    // still slip in; the door must be shut while the slow client still
    // holds the service open (no connection has been cut yet).
    auto const refused = [this] {
        try {
            orv::test::RawClient client(port_);
            return false;
        } catch (std::runtime_error const& e) {
            return std::string("connect: Connection refused") == e.what();
        }
    };
    EXPECT_TRUE(eventually(refused));
    EXPECT_EQ(0u, log_.count_prefix(google::GLOG_ERROR, "Connection with 127.0.0.1:"));
    auto const begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(stop(0));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_EQ(1u, log_.count_prefix(google::GLOG_ERROR, "Connection with 127.0.0.1:"));
    sending = false;
    trickle.join();
}

// With one worker busy, a queued client that leaves is dropped and never
// dispatched: the worker's next request is the one queued after it.
TEST_F(ServiceTest, QueuedClientThatLeavesIsNeverServed) {
    config_.max_workers = 1;
    config_.queue = 2;
    config_.queue_timeout = 10s;
    start({"served", "delay:300"});
    auto first = std::async(std::launch::async, [this] { return post("first"); });
    ASSERT_TRUE(log_.wait_for(google::GLOG_INFO, "Starting a new worker #0..."));
    {
        orv::test::RawClient leaving(port_);
        leaving.send(orv::test::http_request("POST", "/svc/gone", "{}"));
        ASSERT_TRUE(log_.wait_for(google::GLOG_INFO, "Processing request to gone..."));
    }
    EXPECT_TRUE(log_.wait_for(google::GLOG_INFO, "A waiting request to gone has been dropped: its client has gone."));
    std::string const next = post("next");
    EXPECT_NE(std::string::npos, next.find(",\"n\":2}")) << next;
    EXPECT_NE(std::string::npos, first.get().find(",\"n\":1}"));
}

// A request that waits longer than the queue's timeout gets the designed
// 503 for the reason, after about that long.
TEST_F(ServiceTest, QueueTimeoutAnswers503) {
    config_.max_workers = 1;
    config_.queue = 1;
    config_.queue_timeout = 300ms;
    start({"hang"});
    auto hanging = std::async(std::launch::async, [this] { return post("hang"); });
    ASSERT_TRUE(log_.wait_for(google::GLOG_INFO, "Starting a new worker #0..."));
    auto const begin = std::chrono::steady_clock::now();
    EXPECT_EQ(orv::test::UNAVAILABLE, post("late"));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 250ms);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_EQ(1u, log_.count(google::GLOG_ERROR, "Failed to process a request to late: Worker limit has exceeded."));
    ASSERT_TRUE(stop(SIGQUIT));
    EXPECT_EQ(orv::test::UNAVAILABLE, hanging.get());
}

// A stop with requests waiting: a graceful one lets the pool serve them
// all, a forced one answers them 503 at once.
struct StopRow {
    char const* name;
    int signal;
    char const* behaviour;
    std::string answer;
};

void PrintTo(StopRow const& row, std::ostream* out) { *out << row.name; }

class QueueStopTest : public ServiceTest, public ::testing::WithParamInterface<StopRow> {};

TEST_P(QueueStopTest, AnswersEveryWaitingRequest) {
    config_.max_workers = 1;
    config_.queue = 3;
    config_.queue_timeout = 10s;
    start({GetParam().behaviour, "one-write"});
    auto replies = std::async(std::launch::async, [this] { return post_all({"a", "b", "c", "d"}); });
    ASSERT_TRUE(log_.wait_for(google::GLOG_INFO, "Processing request to d..."));
    ::kill(::getpid(), GetParam().signal);
    for (std::string const& reply : replies.get()) EXPECT_EQ(GetParam().answer, reply);
    EXPECT_TRUE(stop(0));
    EXPECT_EQ(1u, logged("Starting a new worker #"));
}

INSTANTIATE_TEST_SUITE_P(Stops, QueueStopTest,
                         ::testing::Values(StopRow{"Graceful", SIGTERM, "delay:200", json_response("{}")},
                                           StopRow{"Forced", SIGQUIT, "hang", orv::test::UNAVAILABLE}),
                         [](::testing::TestParamInfo<StopRow> const& row) { return row.param.name; });

// Many clients on a pool of two: every request is answered 200, whether
// workers stay (one becomes idle while another request is being queued) or
// keep retiring (the queue then waits for room, not for an idle worker).
// The heartbeat, which also serves the queue, is kept out of the way: the
// events alone must move every request along.
class QueueLoadTest : public ServiceTest, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(QueueLoadTest, NoRequestIsLeftWaiting) {
    config_.max_workers = 2;
    config_.queue = 64;
    config_.queue_timeout = 5s;
    config_.timing.heartbeat = 1h;
    config_.max_requests = GetParam();
    config_.max_requests_jitter = GetParam() / 2;
    start({"one-write"});
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([&] {
            for (int n = 0; n < 60; ++n) answered += post("x") == json_response("{}");
        });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(480, answered.load());
    if (GetParam() != 0) {
        EXPECT_GE(logged("Starting a new worker #"), 480 / (GetParam() * 3 / 2));
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, QueueLoadTest, ::testing::Values(0, 3));

}  // namespace
