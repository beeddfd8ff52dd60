// What careless or hostile worker programs can do to the real daemon: none
// of it may wedge a client, the stop, the memory or the log files.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "documents.hpp"
#include "eventually.hpp"
#include "tests/ts/daemon_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using orv::test::Daemon;
using orv::test::eventually;
using orv::test::post;
using orv::test::read_file;
using orv::test::UNAVAILABLE;

std::vector<std::string> worker(std::vector<std::string> behaviour) {
    behaviour.insert(behaviour.begin(), TEST_WORKER_BIN);
    return behaviour;
}

bool exited_with(int status, int code) { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

bool alive(pid_t pid) {
    std::string const stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    return !stat.empty() && stat.find(") Z ") == std::string::npos;
}

long kib(std::string const& status, char const* field) {
    std::size_t const at = status.find(field);
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::string(field).size());
}

// A worker that leaves a child holding the channel and exits: the request
// fails at once instead of waiting for the child, whether the child stayed
// in the worker's group (killed with it) or left for a session of its own
// (the channel is shut). A forced stop then ends within its escalation.
TEST(DaemonWorkers, ChildrenHoldingTheChannelDoNotHoldTheClient) {
    for (char const* fault : {"orphan", "orphan-session"}) {
        SCOPED_TRACE(fault);
        Daemon daemon;
        daemon.start(worker({fault}));
        auto const begin = std::chrono::steady_clock::now();
        EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/x", "{}"));
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
        EXPECT_TRUE(exited_with(daemon.stop(SIGQUIT, 5000), 0));
    }
}

// Killed outright, the daemon takes its workers with it, busy or idle.
TEST(DaemonWorkers, WorkersDieWithTheDaemon) {
    Daemon daemon;
    daemon.start(worker({"delay:60000"}), {"--min-workers", "1"});
    auto busy = std::async(std::launch::async, [&] { return post(daemon.port(), "/svc/x", "{}"); });
    ASSERT_TRUE(eventually([&] { return daemon.workers().size() == 1; }));
    std::vector<pid_t> const workers = daemon.workers();
    ::kill(daemon.pid(), SIGKILL);
    daemon.wait_exit(5000);
    for (pid_t pid : workers) {
        EXPECT_TRUE(eventually([&] { return !alive(pid); }, 1000ms)) << pid;
        ::waitpid(pid, nullptr, WNOHANG);
    }
    busy.get();
}

// A reply over the limit is a broken worker: 503, one line with the size.
// Within the limit the daemon holds one copy: a 64 MiB reply raises its
// peak by well under 80 MiB.
TEST(DaemonWorkers, RepliesAreBoundedAndHeldOnce) {
    Daemon daemon;
    daemon.start(worker({"size:100000", "one-write"}), {"--max-reply-size", "99999"});
    EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/x", "{}"));
    EXPECT_TRUE(daemon.wait_for_log("Worker #0 announced a reply of 100000 bytes, more than the limit of 99999 bytes."));
    EXPECT_TRUE(exited_with(daemon.stop(SIGTERM), 0));

    Daemon large;
    large.start(worker({"size:67108864", "one-write"}));
    std::string const status = "/proc/" + std::to_string(large.pid()) + "/status";
    long const before = kib(read_file(status), "VmHWM:");
    std::string const reply = post(large.port(), "/svc/x", "{}");
    EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200 OK\r\n", 0));
    EXPECT_EQ(std::string::npos, reply.find_first_not_of("abcdefghijklmnopqrstuvwxyz", reply.find("\r\n\r\n") + 4));
    EXPECT_EQ(67108864u, reply.size() - reply.find("\r\n\r\n") - 4);
#ifndef ORV_SANITIZED
    EXPECT_LT(kib(read_file(status), "VmHWM:") - before, 80 * 1024);
#else
    (void)before;
#endif
}

// A program that dies at once is not restarted for every request: after
// five early deaths starts pause, and the pause is said once.
TEST(DaemonWorkers, CrashLoopPausesStarts) {
    Daemon daemon;
    daemon.start(worker({"exit:1"}));
    for (int i = 0; i < 40; ++i) EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/x", "{}"));
    EXPECT_TRUE(daemon.wait_for_log("keeps dying before it answers: starts are paused for 1 s."));
    EXPECT_LE(daemon.count_in_log("Starting a new worker #"), 10);
    EXPECT_GE(daemon.count_in_log("has been rejected: Worker starts are paused: the worker program keeps dying."), 1);
}

// With a request timeout, a hanging worker costs its client that long: the
// client gets 504 and the worker's whole group is killed.
TEST(DaemonWorkers, RequestTimeoutAnswers504AndKillsTheWorker) {
    Daemon daemon;
    daemon.start(worker({"hang"}), {"--request-timeout", "1"});
    auto const begin = std::chrono::steady_clock::now();
    EXPECT_EQ(orv::test::plain_response("504 Gateway Timeout", "The worker did not reply in time."),
              post(daemon.port(), "/svc/x", "{}"));
    auto const took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(daemon.wait_for_log("Worker #0 ["));
    EXPECT_NE(std::string::npos, daemon.info_log().find("] did not reply within 1 s. Killing it..."));
    EXPECT_TRUE(eventually([&] { return daemon.workers().empty(); }));
}

// A second daemon for the same service refuses to start and leaves the
// first one's links and files alone.
TEST(DaemonWorkers, OneDaemonPerServiceName) {
    Daemon daemon;
    daemon.start(worker({"one-write"}));
    char target[512] = {};
    ASSERT_GT(::readlink((daemon.log_dir() + "/svc.stderr.log").c_str(), target, sizeof(target) - 1), 0);
    orv::test::ProgramRun const second = orv::test::run_program(
        {ORV_TASK_SERVICE_BIN, "--log-dir", daemon.log_dir(), "svc", std::to_string(orv::test::free_port()),
         TEST_WORKER_BIN});
    EXPECT_EQ(1, second.exit_code());
    EXPECT_EQ("The service svc is already running as PID " + std::to_string(daemon.pid()) + ".\n", second.err);
    char after[512] = {};
    ASSERT_GT(::readlink((daemon.log_dir() + "/svc.stderr.log").c_str(), after, sizeof(after) - 1), 0);
    EXPECT_STREQ(target, after);
    EXPECT_EQ(orv::test::json_response("{}"), post(daemon.port(), "/svc/x", "{}"));
}

}  // namespace
