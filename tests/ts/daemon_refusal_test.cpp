// Clients that hit the connection limits of the real daemon: the log says
// so in a few lines however many they are.
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.hpp"
#include "raw_client.hpp"
#include "tests/ts/daemon_fixture.hpp"

namespace {

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
        [&] { return metrics().find("orv_connections_open 1\n") != std::string::npos; }));
    for (int i = 0; i < 3000; ++i) RawClient refused(static_cast<unsigned short>(daemon_.port()));
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

}  // namespace
