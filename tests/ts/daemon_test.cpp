// The daemon as an operator runs it: the real binary, detached, with the
// test worker behind it and its logs in a private directory.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ts/daemon_fixture.hpp"

namespace {

using orv::test::Daemon;
using orv::test::http_exchange;
using orv::test::post;
using orv::test::post_request;

std::vector<std::string> worker(std::vector<std::string> behaviour = {}) {
    behaviour.insert(behaviour.begin(), TEST_WORKER_BIN);
    return behaviour;
}

std::string ok_reply(std::string const& body) {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string const UNAVAILABLE = "HTTP/1.0 503 Service Unavailable\r\n\r\n";
std::string const INTERNAL_ERROR =
    "{ \"error_code\" : \"InternalError\", \"error_status\" : \"500 Internal Server Error\", "
    "\"error_message\" : \"We encountered an internal error. Please try again.\" }";

// Sends `count` requests at once and returns their replies.
std::vector<std::string> concurrent_posts(int port, int count, std::string const& path) {
    std::vector<std::future<std::string>> replies;
    for (int i = 0; i < count; ++i) {
        replies.push_back(std::async(std::launch::async, [=] { return post(port, path, "{\"n\":" + std::to_string(i) + "}"); }));
    }
    std::vector<std::string> result;
    for (auto& reply : replies) result.push_back(reply.get());
    return result;
}

TEST(Daemon, AnswersThroughAWorkerInItsGroup) {
    Daemon daemon;
    // One write per answer: the completion byte arrives with the reply, so the
    // worker is idle again before the client can send its next request.
    daemon.start("svc/grp", worker({"one-write"}));
    EXPECT_EQ(ok_reply("{\"a\":1}"), post(daemon.port(), "/svc/grp/act", "{\"a\":1}"));
    EXPECT_TRUE(daemon.wait_for_log("Starting task service for svc in group grp..."));
    EXPECT_TRUE(daemon.wait_for_log("Processing request to act..."));

    // An action longer than a frame allows is refused with the error document.
    std::string const long_action(256, 'a');
    EXPECT_EQ(ok_reply(INTERNAL_ERROR), post(daemon.port(), "/svc/grp/" + long_action, "{}"));
    // ... and the worker serves the next request as before.
    EXPECT_EQ(ok_reply("{}"), post(daemon.port(), "/svc/grp/" + std::string(255, 'a'), "{}"));
    EXPECT_EQ(1, daemon.count_in_log("Starting a new worker #"));

    EXPECT_TRUE(WIFEXITED(daemon.stop(SIGTERM)));
}

TEST(Daemon, ReusesWorkersAndTakesTheSmallestFreeNumber) {
    Daemon daemon;
    daemon.start("svc", worker({"delay:400", "one-write"}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ok_reply("{}"), post(daemon.port(), "/svc/x", "{}"));
        }
    EXPECT_EQ(1, daemon.count_in_log("Starting a new worker #0..."));

    for (auto const& reply : concurrent_posts(daemon.port(), 3, "/svc/x")) {
        EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200 OK\r\n", 0)) << reply;
    }
    EXPECT_EQ(1, daemon.count_in_log("Starting a new worker #1..."));
    EXPECT_EQ(1, daemon.count_in_log("Starting a new worker #2..."));

    int const status = daemon.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Daemon, BrokenWorkersGetServiceUnavailable) {
    Daemon daemon;
    daemon.start("svc", worker({"crash"}));
    EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/x", "{}"));
    EXPECT_TRUE(daemon.wait_for_log("Worker #0 unexpectedly terminated."));
    EXPECT_TRUE(daemon.wait_for_log("Failed to receive a reply from worker #0"));
    // A broken worker is never given another request: every request finds
    // a fresh worker, which crashes in turn.
    EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/x", "{}"));
    EXPECT_EQ(2, daemon.count_in_log("Starting a new worker #"));
    EXPECT_TRUE(WIFEXITED(daemon.stop(SIGTERM)));
}

TEST(Daemon, MissingWorkerProgramIsReportedInTheCapture) {
    Daemon daemon;
    daemon.start("svc", {"/nonexistent/worker"});
    EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/x", "{}"));
    EXPECT_TRUE(daemon.wait_for_log("Worker #0 unexpectedly terminated."));
    std::string const capture = daemon.capture("svc", "stderr");
    EXPECT_NE(std::string::npos, capture.find("Failed to start worker #0 /nonexistent/worker: No such file or directory.\n"))
        << capture;
    EXPECT_TRUE(WIFEXITED(daemon.stop(SIGTERM)));
}

// A graceful stop: the request in flight is answered, a request that needs a
// new worker is refused, and the daemon exits 0 once every worker is gone.
TEST(Daemon, GracefulStopFinishesTheRequestInFlight) {
    Daemon daemon;
    daemon.start("svc", worker({"delay:1500"}));
    auto in_flight = std::async(std::launch::async, [&] { return post(daemon.port(), "/svc/slow", "{\"k\":1}"); });
    // Once the worker is started, it is busy with this request.
    ASSERT_TRUE(daemon.wait_for_log("Starting a new worker #0..."));
    ::kill(daemon.pid(), SIGTERM);
    EXPECT_TRUE(daemon.wait_for_log("Termination signal (15) received. Stopping the service..."));

    EXPECT_EQ(ok_reply("{\"k\":1}"), in_flight.get());
    int const status = daemon.wait_exit(20000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string const log = daemon.info_log();
    EXPECT_NE(std::string::npos, log.find("Stopping the HTTP server..."));
    EXPECT_NE(std::string::npos, log.find("All workers are stopped. Stopping the main loop."));
    EXPECT_NE(std::string::npos, log.find("Exiting..."));
}

TEST(Daemon, RequestOnAnOpenConnectionDuringStopIsRefused) {
    Daemon daemon;
    daemon.start("svc", worker({"delay:2000"}));
    auto in_flight = std::async(std::launch::async, [&] { return post(daemon.port(), "/svc/slow", "{}"); });
    ASSERT_TRUE(daemon.wait_for_log("Starting a new worker #0..."));

    // Connect and send the head only; the body follows after the signal.
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(daemon.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    std::string const head = "POST /svc/late HTTP/1.0\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n";
    ASSERT_EQ(static_cast<ssize_t>(head.size()), ::send(fd, head.data(), head.size(), 0));
    ::usleep(200 * 1000);
    ::kill(daemon.pid(), SIGTERM);
    ASSERT_TRUE(daemon.wait_for_log("Stopping the HTTP server..."));
    ASSERT_EQ(2, ::send(fd, "{}", 2, 0));
    std::string reply;
    char chunk[512];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof(chunk))) > 0;) reply.append(chunk, n);
    ::close(fd);
    EXPECT_EQ(UNAVAILABLE, reply);
    EXPECT_TRUE(daemon.wait_for_log("A request to late has been rejected: The service is stopping."));
    EXPECT_EQ(0u, in_flight.get().rfind("HTTP/1.0 200 OK", 0));
    int const status = daemon.wait_exit(20000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The hundredth busy worker is the last; SIGQUIT then kills them all, busy
// or not, and every waiting client learns that the service is unavailable.
TEST(Daemon, WorkerLimitAndForcedStop) {
    Daemon daemon;
    daemon.start("svc", worker({"hang"}));
    std::vector<std::future<std::string>> hanging;
    for (int i = 0; i < 100; ++i) {
        hanging.push_back(std::async(std::launch::async, [&] { return post(daemon.port(), "/svc/h", "{}"); }));
    }
    ASSERT_TRUE(daemon.wait_for_log("Starting a new worker #99...", 30000));
    // Give the last ones time to be handed their requests.
    ASSERT_TRUE(daemon.wait_for_log("Starting a new worker #99...", 1000));
    EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/over", "{}"));
    EXPECT_TRUE(daemon.wait_for_log("Failed to process a request to over: Worker limit has exceeded."));

    int const status = daemon.stop(SIGQUIT, 30000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (auto& reply : hanging) EXPECT_EQ(UNAVAILABLE, reply.get());
    EXPECT_TRUE(daemon.workers().empty());
}

TEST(Daemon, CommandLineFailuresComeBeforeAnyFork) {
    std::string const bin = ORV_TASK_SERVICE_BIN;
    auto run = [&](std::string const& args) {
        std::string const command = bin + " " + args + " 2>&1; echo \"status $?\"";
        FILE* out = ::popen(command.c_str(), "r");
        std::string text;
        char chunk[256];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof(chunk), out)) > 0;) text.append(chunk, n);
        ::pclose(out);
        return text;
    };
    EXPECT_EQ("Invalid command line arguments.\nstatus 2\n", run("svc 8080"));
    EXPECT_NE(std::string::npos, run("svc 80x /bin/true").find("status 2"));
    EXPECT_NE(std::string::npos, run("svc ' 80' /bin/true").find("status 2"));
}

// Four starts against a busy port: each launcher returns 0, each daemon logs
// why it died and exits 1, and three capture files per stream remain.
TEST(Daemon, PortInUseCrashesTheDaemonAfterTheLauncherReturned) {
    Daemon daemon;
    int const blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    int const yes = 1;
    ::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(daemon.port()));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(0, ::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, ::listen(blocker, 1));

    std::set<pid_t> daemons;
    for (int start = 0; start < 4; ++start) {
        int const launcher = daemon.launch("svc", worker());
        EXPECT_TRUE(WIFEXITED(launcher) && WEXITSTATUS(launcher) == 0);
        pid_t pid = 0;
        for (int i = 0; i < 500 && (pid == 0 || daemons.count(pid)); ++i) {
            pid = daemon.find_pid();
            ::usleep(10 * 1000);
        }
        ASSERT_NE(0, pid);
        daemons.insert(pid);
        int status = 0;
        ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        ::sleep(1);  // a new time stamp for the next start
    }
    ::close(blocker);
    EXPECT_EQ(4, daemon.count_in_log("The daemon crashed: bind: Address already in use"));
    int stderr_captures = 0, stdout_captures = 0;
    FILE* ls = ::popen(("ls " + daemon.log_dir()).c_str(), "r");
    char name[512];
    while (std::fgets(name, sizeof(name), ls) != nullptr) {
        stderr_captures += std::string(name).rfind("svc.stderr.log.", 0) == 0;
        stdout_captures += std::string(name).rfind("svc.stdout.log.", 0) == 0;
    }
    ::pclose(ls);
    EXPECT_EQ(3, stderr_captures);
    EXPECT_EQ(3, stdout_captures);
}

}  // namespace
