// Pool policies of the real daemon: workers replaced after a number of
// requests or above a memory limit, while clients notice nothing.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "documents.hpp"
#include "tests/ts/daemon_fixture.hpp"

namespace {

using orv::test::Daemon;
using orv::test::post;
using orv::test::worker;

// The pid and count of a "served" worker's reply: {"pid":P,"n":K}.
bool served_by(std::string const& reply, int& pid, int& n) {
    return reply.rfind("HTTP/1.0 200 OK\r\n", 0) == 0 &&
           std::sscanf(orv::test::body_of(reply).c_str(), "{\"pid\":%d,\"n\":%d}", &pid, &n) == 2;
}

// Four clients, 240 requests, --max-requests 5: nothing fails, each
// replaced worker answered exactly what its line says, within 5 + jitter,
// and with a jitter the workers do not all go after the same count.
TEST(DaemonPool, MaxRequestsReplacesWorkersWithoutAFailure) {
    struct Row {
        std::vector<std::string> options;
        int jitter;
    } const rows[] = {{{"--max-requests", "5"}, 0}, {{"--max-requests", "5", "--max-requests-jitter", "10"}, 10}};
    for (Row const& row : rows) {
        SCOPED_TRACE(row.jitter);
        Daemon daemon(worker({"served", "one-write"}), row.options);
        std::atomic<int> failures{0};
        std::mutex mutex;
        std::map<int, int> answered;  // by pid: the highest count seen
        std::vector<std::thread> clients;
        for (int c = 0; c < 4; ++c) {
            clients.emplace_back([&] {
                for (int i = 0; i < 60; ++i) {
                    int pid = 0, n = 0;
                    if (!served_by(post(daemon.port(), "/svc/x", "{}"), pid, n)) {
                        ++failures;
                        continue;
                    }
                    std::lock_guard<std::mutex> lock(mutex);
                    answered[pid] = std::max(answered[pid], n);
                }
            });
        }
        for (auto& client : clients) client.join();
        EXPECT_EQ(0, failures.load());

        std::string const log = daemon.info_log();
        std::set<int> counts;
        int replaced = 0;
        for (auto at = log.find(" has answered "); at != std::string::npos; at = log.find(" has answered ", at + 1)) {
            int pid = 0, count = 0;
            ASSERT_EQ(2, std::sscanf(log.c_str() + log.rfind('[', at), "[%d] has answered %d requests. Replacing it...",
                                     &pid, &count));
            ++replaced;
            EXPECT_EQ(answered[pid], count);
            EXPECT_GE(count, 5);
            EXPECT_LE(count, 5 + row.jitter);
            counts.insert(count);
        }
        EXPECT_GE(replaced, 240 / (5 + row.jitter) - 5);
        EXPECT_EQ(row.jitter == 0 ? 1u : 3u, std::min<std::size_t>(counts.size(), 3));
    }
}

// A worker that keeps memory, or whose helper holds it, is replaced once
// its group is above the limit: one line with the size, and the next
// request is another process's.
TEST(DaemonPool, MaxWorkerMemoryReplacesTheWholeGroup) {
    for (char const* behaviour : {"grow:24", "helper:100"}) {
        SCOPED_TRACE(behaviour);
        Daemon daemon(worker({"served", behaviour}), {"--max-worker-memory", "64"});
        int first = 0, pid = 0, n = 0;
        for (int i = 0; i < 8 && !daemon.wait_for_log(" MiB, more than the limit of 64 MiB. Replacing it...", 0); ++i) {
            ASSERT_TRUE(served_by(post(daemon.port(), "/svc/x", "{}"), pid, n));
            if (first == 0) first = pid;
            daemon.wait_for_log(" MiB, more than the limit of 64 MiB. Replacing it...", 1500);
        }
        std::string const log = daemon.info_log();
        std::string const line = "Worker #0 [" + std::to_string(first) + "] uses ";
        ASSERT_NE(std::string::npos, log.find(line));
        EXPECT_GT(std::atoi(log.c_str() + log.find(line) + line.size()), 64);
        ASSERT_TRUE(daemon.wait_for_log("Worker #0 terminated."));
        ASSERT_TRUE(served_by(post(daemon.port(), "/svc/x", "{}"), pid, n));
        EXPECT_NE(first, pid);
        EXPECT_EQ(1, n);
    }
}

}  // namespace
