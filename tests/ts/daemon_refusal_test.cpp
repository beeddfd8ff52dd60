// Clients that hit the connection limits of the real daemon: the log says
// so in a few lines however many they are, and the status listener's few
// connections cannot be held for long.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.hpp"
#include "raw_client.hpp"
#include "tests/ts/daemon_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using orv::test::Daemon;
using orv::test::RawClient;

class DaemonRefusals : public ::testing::Test {
protected:
    void start(std::vector<std::string> options) {
        status_port_ = static_cast<unsigned short>(orv::test::free_port());
        options.push_back("--status-listen");
        options.push_back("127.0.0.1:" + std::to_string(status_port_));
        daemon_.start(orv::test::worker({"one-write"}), options);
    }
    std::string metrics() const { return orv::test::round_trip(status_port_, "GET /metrics HTTP/1.0\r\n\r\n"); }

    Daemon daemon_;
    unsigned short status_port_ = 0;
};

// 3000 connections refused within about a second: the first one is logged
// as it always was, the rest in a summary a second; every one is counted.
TEST_F(DaemonRefusals, AFloodOfRefusalsWritesAFewLines) {
    start({"--max-connections", "1"});
    RawClient holder(static_cast<unsigned short>(daemon_.port()));
    ASSERT_TRUE(orv::test::eventually(
        [&] { return metrics().find("orv_connections_open{state=\"reading\"} 1\n") != std::string::npos; }));
    // The holder sends a header line now and then, so that however slow the
    // build, its connection outlives the flood.
    holder.send("POST /svc/x HTTP/1.0\r\n");
    for (int i = 0; i < 3000; ++i) {
        RawClient refused(static_cast<unsigned short>(daemon_.port()));
        if (i % 100 == 99) holder.send("X-Hold: a\r\n");
    }
    EXPECT_TRUE(orv::test::eventually(
        [&] { return metrics().find("orv_connection_refusals_total 3000\n") != std::string::npos; }));

    // Once the flood is over, its lines add up to every refusal.
    int lines = 0;
    EXPECT_TRUE(orv::test::eventually([&] {
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
    start({});
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
