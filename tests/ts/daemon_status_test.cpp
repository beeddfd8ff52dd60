// The status listener of the real daemon: what it counts, what it says
// during a stop, that it cannot be turned against the service port, and
// how few lines a flood of refused connections costs the log.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "documents.hpp"
#include "eventually.hpp"
#include "raw_client.hpp"
#include "tests/ts/daemon_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using orv::test::Daemon;
using orv::test::eventually;
using orv::test::json_response;
using orv::test::plain_response;
using orv::test::post;
using orv::test::RawClient;
using orv::test::round_trip;

class DaemonStatus : public ::testing::Test {
protected:
    void start(std::vector<std::string> behaviour, std::vector<std::string> options = {}) {
        status_port_ = static_cast<unsigned short>(orv::test::free_port());
        options.push_back("--status-listen");
        options.push_back("127.0.0.1:" + std::to_string(status_port_));
        daemon_.start(orv::test::worker(behaviour), options);
    }

    std::string get(std::string const& path) const {
        return round_trip(status_port_, "GET " + path + " HTTP/1.0\r\n\r\n");
    }

    // The text as the Prometheus tools read it, with these lines in it.
    void expect_metrics(std::string const& metrics, std::vector<std::string> const& lines) const {
        ASSERT_EQ(0u, metrics.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\n", 0)) << metrics;
        for (std::string const& line : lines) EXPECT_NE(std::string::npos, metrics.find(line)) << line;
        std::string const file = daemon_.log_dir() + "/metrics.txt";
        FILE* out = std::fopen(file.c_str(), "w");
        std::fputs(orv::test::body_of(metrics).c_str(), out);
        std::fclose(out);
        orv::test::ProgramRun const check =
            orv::test::run_program({"/bin/sh", "-c", "promtool check metrics < " + file});
        EXPECT_EQ(0, check.exit_code()) << check.out << check.err;
    }

    Daemon daemon_;
    unsigned short status_port_ = 0;
};

// Five answered requests, two that crash their worker, one GET on the
// service port: the counters say exactly that, in a form the Prometheus
// tools accept, and /status lists the live workers with their pids. The
// listener answers GET on its three paths only.
TEST_F(DaemonStatus, CountsWhatHappenedAndListsTheWorkers) {
    start({"crash-on:boom", "one-write"});
    for (int i = 0; i < 2; ++i) EXPECT_EQ(orv::test::UNAVAILABLE, post(daemon_.port(), "/svc/boom", "{}"));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(json_response("{}"), post(daemon_.port(), "/svc/x", "{}"));
    EXPECT_EQ(plain_response("405 Method Not Allowed", "Unsupported HTTP method."),
              round_trip(static_cast<unsigned short>(daemon_.port()), "GET /svc/x HTTP/1.0\r\n\r\n"));

    // The crashed workers are counted once they are reaped.
    std::string metrics;
    EXPECT_TRUE(eventually([&] {
        metrics = get("/metrics");
        return metrics.find("orv_worker_exits_total{how=\"signal\"} 2\n") != std::string::npos;
    }));
    expect_metrics(metrics, {"orv_requests_total{outcome=\"ok\"} 5\n", "orv_requests_total{outcome=\"worker_failed\"} 2\n",
                             "orv_http_errors_total{status=\"405\"} 1\n", "orv_http_errors_total{status=\"400\"} 0\n",
                             "orv_worker_starts_total 3\n", "orv_worker_exits_total{how=\"signal\"} 2\n",
                             "orv_workers{state=\"idle\"} 1\n", "orv_workers_max 100\n",
                             "orv_request_duration_seconds_count 8\n"});
    EXPECT_EQ(std::string::npos, metrics.find("orv_queue"));

    std::string const status = orv::test::body_of(get("/status"));
    std::string const pid = std::to_string(daemon_.workers().at(0));
    orv::test::ProgramRun const parsed = orv::test::run_program(
        {"/usr/bin/python3", "-c",
         "import json, sys; s = json.loads(sys.argv[1]); "
         "print(s['service'], s['requests']['ok'], [w['pid'] for w in s['worker_list'] if w['state'] == 'idle'])",
         status});
    EXPECT_EQ("svc 5 [" + pid + "]\n", parsed.out) << status << parsed.err;

    // GET only, three paths only.
    EXPECT_EQ(plain_response("200 OK", "ok"), get("/health"));
    EXPECT_EQ(plain_response("404 Not Found", "Not found."), get("/svc/x"));
    EXPECT_EQ(plain_response("405 Method Not Allowed", "Unsupported HTTP method."),
              round_trip(status_port_, orv::test::http_request("POST", "/metrics", "{}")));
}

// A graceful stop: /health says so at once, so that a load balancer drains
// the daemon, while the request in flight is still answered; the daemon
// exits 0 once every worker is gone.
TEST_F(DaemonStatus, GracefulStopFinishesTheRequestInFlightAndTurnsHealthToStopping) {
    start({"delay:1000", "one-write"});
    auto in_flight = std::async(std::launch::async, [&] { return post(daemon_.port(), "/svc/slow", "{\"k\":1}"); });
    // Once the worker is started, it is busy with this request.
    ASSERT_TRUE(daemon_.wait_for_log("Starting a new worker #0..."));
    ::kill(daemon_.pid(), SIGTERM);
    EXPECT_TRUE(eventually([&] { return get("/health") == plain_response("503 Service Unavailable", "stopping"); }));
    EXPECT_EQ(json_response("{\"k\":1}"), in_flight.get());
    EXPECT_TRUE(orv::test::exited_with(daemon_.wait_exit(20000), 0));
    for (char const* line : {"Termination signal (15) received. Stopping the service...", "Stopping the HTTP server...",
                             "All workers are stopped. Stopping the main loop.", "Exiting..."}) {
        EXPECT_TRUE(daemon_.wait_for_log(line, 0)) << line;
    }
}

// Two slow workers and four clients: two wait and all are answered; a
// fifth that finds the queue full gets 503 at once. The status port says
// so.
TEST_F(DaemonStatus, QueueWaitsForTheWorkersAndOverflows) {
    start({"delay:500", "one-write"}, {"--max-workers", "2", "--queue", "2", "--queue-timeout", "10000"});
    std::vector<std::future<std::string>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::async(std::launch::async, [&] { return post(daemon_.port(), "/svc/slow", "{}"); }));
    }
    EXPECT_TRUE(eventually([&] { return get("/metrics").find("orv_queue_length 2\n") != std::string::npos; }));
    EXPECT_EQ(orv::test::UNAVAILABLE, post(daemon_.port(), "/svc/fifth", "{}"));
    for (auto& client : clients) EXPECT_EQ(json_response("{}"), client.get());
    EXPECT_TRUE(daemon_.wait_for_log("Failed to process a request to fifth: Worker limit has exceeded."));
    expect_metrics(get("/metrics"), {"orv_queue_length 0\n", "orv_queue_overflows_total 1\n",
                                     "orv_queue_timeouts_total 0\n", "orv_queue_wait_seconds_count 2\n",
                                     "orv_requests_total{outcome=\"ok\"} 4\n",
                                     "orv_requests_total{outcome=\"no_worker\"} 1\n", "orv_worker_starts_total 2\n"});
    EXPECT_NE(std::string::npos, get("/status").find("\"queue\":{\"length\":0,\"capacity\":2,\"timeouts\":0,"
                                                     "\"overflows\":1,\"abandoned\":0,\"wait\":{\"count\":2,"));
}

// Clients that fill the status listener's own small limit with slow or
// oversized requests leave the service port alone; from one address they
// get no more than its share of four.
TEST_F(DaemonStatus, HostileStatusClientsDoNotReachTheServicePort) {
    start({"one-write"});
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 20; ++i) {
        slow.emplace_back(new RawClient(status_port_));
        slow.back()->send("GET /metrics HTTP/1.0\r\nX-Big: " + std::string(10000, 'x'));
    }
    for (int i = 0; i < 20; ++i) EXPECT_EQ(json_response("{}"), post(daemon_.port(), "/svc/x", "{}"));
    EXPECT_TRUE(daemon_.wait_for_log("Limit on number of connections from one address (4) has exceeded."));
}

// Clients that hit the connection limits: the log says so in a few lines
// however many they are, and the status listener's few connections cannot
// be held for long.
class DaemonRefusals : public DaemonStatus {};

// 3000 connections refused within about a second: the first one is logged
// as it always was, the rest in a summary a second; every one is counted.
TEST_F(DaemonRefusals, AFloodOfRefusalsWritesAFewLines) {
    start({"one-write"}, {"--max-connections", "1"});
    RawClient holder(static_cast<unsigned short>(daemon_.port()));
    ASSERT_TRUE(eventually(
        [&] { return get("/metrics").find("orv_connections_open{state=\"reading\"} 1\n") != std::string::npos; }));
    // The holder sends a header line now and then, so that however slow the
    // build, its connection outlives the flood.
    holder.send("POST /svc/x HTTP/1.0\r\n");
    for (int i = 0; i < 3000; ++i) {
        RawClient refused(static_cast<unsigned short>(daemon_.port()));
        if (i % 100 == 99) holder.send("X-Hold: a\r\n");
    }
    EXPECT_TRUE(eventually(
        [&] { return get("/metrics").find("orv_connection_refusals_total 3000\n") != std::string::npos; }));

    // Once the flood is over, its lines add up to every refusal.
    int lines = 0;
    EXPECT_TRUE(eventually([&] {
        std::string const log = daemon_.info_log();
        long told = 0;
        lines = 0;
        for (auto at = log.find("] Failed to handle "); at != std::string::npos;
             at = log.find("] Failed to handle ", at + 1), ++lines) {
            told += log.compare(at + 19, 2, "a ") == 0 ? 1 : std::atol(log.c_str() + at + 19);
        }
        return told == 3000;
    }));
    EXPECT_GE(lines, 2);
    EXPECT_LE(lines, 12);
    std::string const log = daemon_.info_log();
    std::string const designed = "] Failed to handle a client connection from 127.0.0.1:";
    EXPECT_EQ(log.find("] Failed to handle "), log.find(designed));
    EXPECT_NE(std::string::npos,
              log.find(": Limit on number of active connections (1) has exceeded.\n", log.find(designed)));
    EXPECT_NE(std::string::npos, log.find(" more client connections in the last second: Limit on number of active "
                                          "connections (1) has exceeded. Most came from 127.0.0.1.\n"));
}

// A client that trickles a header line every half second keeps each wait
// short enough, but the status listener ends its request within a few
// seconds instead of the service port's half minute.
TEST_F(DaemonRefusals, ATricklingStatusClientIsCutOffSoon) {
    start({"one-write"});
    RawClient slow(status_port_);
    auto const begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(slow.send("GET /metrics HTTP/1.0\r\n"));
    bool closed = false;
    for (int i = 0; i < 60 && !closed; ++i) closed = !slow.send("X-Slow: a\r\n") || slow.receive(500).closed;
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    EXPECT_TRUE(daemon_.wait_for_log("Connection with 127.0.0.1:"));
}

}  // namespace
