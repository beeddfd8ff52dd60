// The daemon as an operator runs it: the real binary with the test worker
// (or a careless or hostile one) behind it, its logs in a private directory.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "documents.hpp"
#include "eventually.hpp"
#include "raw_client.hpp"
#include "tests/ts/daemon_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using orv::test::Daemon;
using orv::test::eventually;
using orv::test::exited_with;
using orv::test::json_response;
using orv::test::post;
using orv::test::reachable;
using orv::test::read_file;
using orv::test::ProgramRun;
using orv::test::UNAVAILABLE;
using orv::test::worker;

std::string const BIN = ORV_TASK_SERVICE_BIN;

// The designed command line, with no option at all: detached, listening on
// every IPv4 address, logging under /var/log/orv. That directory is a
// private one here: the program runs in a mount namespace of its own in
// which the test's directory is bound over /var/log/orv.
TEST(Daemon, DesignedCommandLineWithoutOptions) {
    Daemon daemon;
    int const port = orv::test::free_port();
    std::string const script = "mount -t tmpfs tmpfs /var/log && mkdir /var/log/orv && "
                               "mount --bind \"$1\" /var/log/orv && shift && exec \"$@\"";
    ProgramRun const launcher = orv::test::run_program({"/usr/bin/unshare", "--mount", "--propagation", "private",
                                                 "/bin/sh", "-c", script, "sh", daemon.log_dir(), BIN, "svc/grp",
                                                 std::to_string(port), TEST_WORKER_BIN, "one-write"});
    ASSERT_EQ(0, launcher.exit_code()) << launcher.err;
    EXPECT_EQ("", launcher.out + launcher.err);
    EXPECT_EQ(json_response("{\"a\":1}"), post(port, "/svc/grp/act", "{\"a\":1}"));
    // An action longer than a frame allows gets the error document, and the
    // worker serves the next request as before.
    EXPECT_EQ(json_response(orv::test::INTERNAL_ERROR), post(port, "/svc/grp/" + std::string(256, 'a'), "{}"));
    EXPECT_EQ(json_response("{}"), post(port, "/svc/grp/" + std::string(255, 'a'), "{}"));
    EXPECT_EQ(1, daemon.count_in_log("Starting a new worker #"));
    EXPECT_TRUE(daemon.wait_for_log("Starting task service for svc in group grp..."));
    EXPECT_TRUE(daemon.wait_for_log("Listening for client HTTP connections on 0.0.0.0:" + std::to_string(port)));

    // The capture link names the daemon's pid last.
    std::string const target = orv::test::capture_target(daemon.log_dir());
    pid_t const pid = static_cast<pid_t>(std::atoi(target.c_str() + target.rfind('.') + 1));
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGTERM);
    EXPECT_TRUE(daemon.wait_for_log("Exiting..."));
    int status = 0;
    EXPECT_TRUE(eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }));
    EXPECT_TRUE(exited_with(status, 0));
}

// Everything the launcher refuses before it forks (status 2), and a start
// that fails in the daemon after the fork (status 1, with the daemon's text).
TEST(Daemon, LauncherReportsEveryFailedStart) {
    Daemon daemon;
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor blocker(io, {boost::asio::ip::address_v4::any(), 0}, false);
    std::string const busy = std::to_string(blocker.local_endpoint().port());
    std::string const dir = daemon.log_dir();
    // A port another process of the same user shares among its own
    // sockets is taken all the same: the daemon's loops share theirs only
    // with each other.
    boost::asio::ip::tcp::acceptor sharing(io, boost::asio::ip::tcp::v4());
    sharing.set_option(boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>(true));
    sharing.bind({boost::asio::ip::address_v4::any(), 0});
    sharing.listen();
    std::string const shared = std::to_string(sharing.local_endpoint().port());

    // The refused command lines name the taken port too: a daemon started by
    // mistake could not bind, nor meet one the machine runs (say on 8080).
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string err;
    } const cases[] = {
        {{"--log-dir", dir, "svc", busy, TEST_WORKER_BIN}, 1, "The daemon crashed: bind: Address already in use\n"},
        {{"--log-dir", dir, "--threads", "3", "svc", shared, TEST_WORKER_BIN}, 1,
         "The daemon crashed: bind: Address already in use\n"},
        {{"--log-dir", dir, "svc", "0", TEST_WORKER_BIN}, 2, "Invalid port 0: expected a number from 1 to 65535.\n"},
        {{"--log-dir", dir, "svc", "65536", TEST_WORKER_BIN}, 2,
         "Invalid port 65536: expected a number from 1 to 65535.\n"},
        {{"svc", "99999", TEST_WORKER_BIN}, 2, "Invalid port 99999: expected a number from 1 to 65535.\n"},
        {{"svc", "80x", TEST_WORKER_BIN}, 2, "bad lexical cast: source type value could not be interpreted as target\n"},
        {{"svc", busy}, 2, "Invalid command line arguments.\n"},
        {{"--log-dir", dir, "svc", busy, "/nonexistent/worker"}, 2,
         "Worker program /nonexistent/worker: No such file or directory.\n"},
        {{"--log-dir", dir, "svc", busy, "/etc/passwd"}, 2, "Worker program /etc/passwd is not executable.\n"},
        {{"--log-dir", "/nonexistent", "svc", busy, TEST_WORKER_BIN}, 2,
         "Log directory /nonexistent: No such file or directory.\n"},
        {{"--max-workers", "1001", "svc", busy, TEST_WORKER_BIN}, 2,
         "Invalid value '1001' for --max-workers: expected a whole number from 1 to 1000.\n"},
        {{"--log-to-stderr", "svc", busy, TEST_WORKER_BIN}, 2, "--log-to-stderr needs --foreground.\n"},
        {{"--no-such-option", "svc", busy, TEST_WORKER_BIN}, 2, "unrecognised option '--no-such-option'\n"},
        {{"--log-dir", dir, "--listen", "unix:/tmp/orv.sock", "svc", busy, TEST_WORKER_BIN}, 2,
         "Socket directory /tmp is writable by others.\n"},
        {{"--queue", "0", "svc", busy, TEST_WORKER_BIN}, 2,
         "Invalid value '0' for --queue: expected a whole number from 1 to 100000.\n"},
        {{"--queue-timeout", "500", "svc", busy, TEST_WORKER_BIN}, 2, "--queue-timeout needs --queue.\n"},
        {{"--max-requests-jitter", "5", "svc", busy, TEST_WORKER_BIN}, 2,
         "--max-requests-jitter needs --max-requests.\n"},
        {{"--max-worker-memory", "1g", "svc", busy, TEST_WORKER_BIN}, 2,
         "Invalid value '1g' for --max-worker-memory: expected a whole number from 1 to 1048576.\n"},
        {{"--log-dir", dir, "--user", "orv-no-such-user", "svc", busy, TEST_WORKER_BIN}, 2,
         "Invalid value 'orv-no-such-user' for --user: no such user.\n"},
        {{"--log-dir", dir, "--group", "orv-no-such-group", "svc", busy, TEST_WORKER_BIN}, 2,
         "Invalid value 'orv-no-such-group' for --group: no such group.\n"},
        {{"--log-dir", dir, "--user", "3999999999", "svc", busy, TEST_WORKER_BIN}, 2,
         "User 3999999999 has no entry in the user database: give --group as well.\n"},
    };
    for (auto const& c : cases) {
        ProgramRun const run = orv::test::launch(c.args);
        EXPECT_EQ(c.code, run.exit_code()) << c.err;
        EXPECT_EQ(c.err, run.err);
    }
    blocker.close();
    // Nothing was forked for a refused command line: only the one daemon
    // that failed to bind left log files.
    EXPECT_EQ(2, daemon.count_in_log("Starting task service for svc..."));

    ProgramRun const help = orv::test::launch({"--help"});
    EXPECT_EQ(0, help.exit_code());
    for (char const* option : {"--foreground", "--listen", "--log-dir", "--log-to-stderr", "--min-workers",
                               "--max-workers", "--max-connections", "--threads", "--pid-file", "--max-requests",
                               "--max-requests-jitter", "--max-worker-memory", "--queue", "--queue-timeout"}) {
        EXPECT_NE(std::string::npos, help.out.find(option)) << option;
    }
    EXPECT_EQ(0, orv::test::launch({"--version"}).out.rfind("orv-task-service ", 0));
}

// A relative worker path is taken from the starting directory, before the
// daemon moves to "/".
TEST(Daemon, RelativeWorkerPathIsResolvedBeforeDetaching) {
    Daemon daemon;
    std::string const program = TEST_WORKER_BIN;
    std::string const directory = program.substr(0, program.rfind('/'));
    int const port = orv::test::free_port();
    ProgramRun const launcher = orv::test::run_program({BIN, "--log-dir", daemon.log_dir(), "--pid-file",
                                                 daemon.log_dir() + "/pid", "svc", std::to_string(port),
                                                 "./" + program.substr(directory.size() + 1), "one-write"},
                                                {}, directory);
    ASSERT_EQ(0, launcher.exit_code()) << launcher.err;
    EXPECT_EQ(json_response("{}"), post(port, "/svc/x", "{}"));
    pid_t const pid = std::atoi(read_file(daemon.log_dir() + "/pid").c_str());
    ::kill(pid, SIGTERM);
    int status = 0;
    EXPECT_TRUE(eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }));
}

// In the foreground the service manager hears READY=1 once the daemon
// listens, the worker counts, RELOADING=1 and READY=1 around a recycle, and
// STOPPING=1; the exit status is the daemon's. With --log-to-stderr every
// record goes to standard error and not one file to the log directory.
TEST(Daemon, ForegroundNotifiesTheServiceManagerAndLogsToStderr) {
    Daemon daemon;
    std::string const socket_path = daemon.log_dir() + "/notify";
    int const listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    std::string received;
    auto receive_until = [&](std::string const& what) {
        return eventually([&] {
            char datagram[4096];
            ssize_t const got = ::recv(listener, datagram, sizeof(datagram), MSG_DONTWAIT);
            if (got > 0) received.append(datagram, static_cast<std::size_t>(got)).append("|");
            return received.find(what) != std::string::npos;
        });
    };

    daemon.start(worker({"one-write"}), {"--foreground", "--log-to-stderr"}, "svc", {"NOTIFY_SOCKET=" + socket_path});
    EXPECT_TRUE(receive_until("READY=1\nMAINPID=" + std::to_string(daemon.pid()) + "|"));
    EXPECT_EQ(json_response("{}"), post(daemon.port(), "/svc/x", "{}"));
    EXPECT_TRUE(receive_until("STATUS=1 workers: 0 busy, 1 idle|"));
    ::kill(daemon.pid(), SIGUSR2);
    EXPECT_TRUE(receive_until("RELOADING=1|"));
    EXPECT_TRUE(eventually([&] {
        receive_until("");
        return received.find("READY=1|", received.find("RELOADING=1|")) != std::string::npos;
    }));
    EXPECT_TRUE(exited_with(daemon.stop(SIGTERM), 0));
    EXPECT_TRUE(receive_until("STOPPING=1|"));
    ::close(listener);
    // No pid file is left behind.
    EXPECT_NE(0, ::access((daemon.log_dir() + "/pid").c_str(), F_OK));
    std::string const err = daemon.foreground_err();
    EXPECT_NE(std::string::npos, err.find("Starting task service for svc..."));
    EXPECT_NE(std::string::npos, err.find("Exiting..."));
    EXPECT_EQ("", daemon.info_log());
}

TEST(Daemon, ListenAddressChoosesFamilyAndInterface) {
    {
        Daemon daemon(worker(), {"--listen", "127.0.0.1"});
        EXPECT_TRUE(reachable("127.0.0.1", daemon.port()));
        EXPECT_FALSE(reachable("127.0.0.2", daemon.port()));
    }
    if (read_file("/proc/net/if_inet6").find("00000000000000000000000000000001") == std::string::npos) {
        GTEST_SKIP() << "no IPv6 loopback address";
    }
    Daemon daemon(worker({"one-write"}), {"--listen", "::1"});
    EXPECT_TRUE(reachable("::1", daemon.port()));
    EXPECT_FALSE(reachable("127.0.0.1", daemon.port()));
    EXPECT_TRUE(daemon.wait_for_log("Listening for client HTTP connections on ::1:"));
}

// The limit is an option now: three busy workers are the most, and SIGQUIT
// then ends them all, busy or not, and every waiting client learns that the
// service is unavailable.
TEST(Daemon, WorkerLimitAndForcedStop) {
    Daemon daemon(worker({"hang"}), {"--max-workers", "3", "--min-workers", "1"});
    std::vector<std::future<std::string>> hanging;
    for (int i = 0; i < 3; ++i) {
        hanging.push_back(std::async(std::launch::async, [&] { return post(daemon.port(), "/svc/h", "{}"); }));
    }
    ASSERT_TRUE(eventually([&] { return daemon.workers().size() == 3; }));
    EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/over", "{}"));
    EXPECT_TRUE(daemon.wait_for_log("Failed to process a request to over: Worker limit has exceeded."));
    EXPECT_TRUE(exited_with(daemon.stop(SIGQUIT), 0));
    for (auto& reply : hanging) EXPECT_EQ(UNAVAILABLE, reply.get());
    EXPECT_TRUE(daemon.workers().empty());
}

// SIGUSR2 under load: no request fails, and every worker is replaced by a
// fresh process while the port stays open.
TEST(Daemon, RecycleUnderLoadLosesNothing) {
    Daemon daemon(worker({"pid", "one-write"}));
    enum Phase { old_workers, replacing, new_workers };
    std::atomic<int> phase(old_workers);
    std::atomic<int> failures(0);
    std::set<std::string> seen[3];
    std::mutex mutex;
    // Each client goes on until 50 requests after the last old worker is
    // gone, within a bound. A reply counts for the phase in which it came
    // back: one that came back before the signal was an old worker's, and
    // one after the last old worker was gone, a new worker's.
    auto client = [&] {
        for (int i = 0, late = 0; i < 20000 && late < 50; ++i) {
            std::string const reply = post(daemon.port(), "/svc/x", "{}");
            int const now = phase;
            if (reply.rfind("HTTP/1.0 200 OK\r\n", 0) != 0) ++failures;
            late += now == new_workers;
            std::lock_guard<std::mutex> lock(mutex);
            seen[now].insert(orv::test::body_of(reply));
        }
    };
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) clients.emplace_back(client);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen[old_workers].size() >= 2;
    }));
    phase = replacing;
    ::kill(daemon.pid(), SIGUSR2);
    EXPECT_TRUE(daemon.wait_for_log("Every worker has been replaced."));
    phase = new_workers;
    for (auto& thread : clients) thread.join();
    EXPECT_EQ(0, failures.load());
    ASSERT_FALSE(seen[new_workers].empty());
    for (auto const& pid : seen[new_workers]) EXPECT_EQ(0u, seen[old_workers].count(pid)) << pid;
}

// SIGUSR1 starts new capture files, moves the links and replaces the
// workers, which write into the files they inherited: the old files stop
// growing. Workers start with umask 022, not the daemon's cleared one.
TEST(Daemon, ReopenedCapturesAndWorkerUmask) {
    Daemon daemon(worker({"chatty", "pid", "one-write"}));
    std::string const reply = post(daemon.port(), "/svc/x", "{}");
    std::string const body = orv::test::body_of(reply);
    std::string const worker_pid = body.substr(body.find(':') + 1, body.find('}') - body.find(':') - 1);
    EXPECT_NE(std::string::npos, read_file("/proc/" + worker_pid + "/status").find("Umask:\t0022\n"));

    std::string const link = daemon.log_dir() + "/svc.stderr.log";
    char* first = ::realpath(link.c_str(), nullptr);
    std::string const old_file = first;
    std::free(first);
    // Capture files are named to the second: a new one needs a new second.
    std::time_t const started = std::time(nullptr);
    ASSERT_TRUE(eventually([&] { return std::time(nullptr) > started; }));
    ::kill(daemon.pid(), SIGUSR1);
    ASSERT_TRUE(eventually([&] {
        char* now = ::realpath(link.c_str(), nullptr);
        bool const moved = now != nullptr && old_file != now;
        std::free(now);
        return moved;
    }));
    ASSERT_TRUE(daemon.wait_for_log("Every worker has been replaced."));
    std::string const old_text = read_file(old_file);
    EXPECT_EQ(0u, post(daemon.port(), "/svc/x", "{}").rfind("HTTP/1.0 200 OK\r\n", 0));
    EXPECT_EQ(old_text, read_file(old_file));
    EXPECT_EQ("request 1\n", read_file(link));
}

// Two hundred clients that trickle header lines and eight that flood them
// hold connections, but no thread: ordinary requests are answered in time.
TEST(Daemon, SlowAndFloodingClientsDoNotLockOthersOut) {
    Daemon daemon(worker({"one-write"}));
    std::vector<std::unique_ptr<orv::test::RawClient>> slow;
    for (int i = 0; i < 200; ++i) {
        slow.emplace_back(new orv::test::RawClient(static_cast<unsigned short>(daemon.port())));
        slow.back()->send("POST /svc/x HTTP/1.0\r\n");
    }
    std::atomic<bool> done(false);
    std::string flood = "POST /svc/x HTTP/1.0\r\n";
    for (int i = 0; i < 300; ++i) flood += "X-Flood: " + std::to_string(i) + "\r\n";
    std::vector<std::thread> attackers;
    for (int i = 0; i < 8; ++i) {
        attackers.emplace_back([&] {
            for (int round = 0; round < 2000 && !done; ++round) {
                orv::test::RawClient client(static_cast<unsigned short>(daemon.port()));
                client.send(flood);
                client.receive(1000);
            }
        });
    }
    std::thread trickle([&] {
        for (int round = 0; round < 100 && !done; ++round) {
            for (auto& client : slow) client->send("X-Slow: a\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the attack's pace
        }
    });
    for (int i = 0; i < 100; ++i) {
        auto const begin = std::chrono::steady_clock::now();
        EXPECT_EQ(json_response("{}"), post(daemon.port(), "/svc/x", "{}"));
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    }
    done = true;
    trickle.join();
    for (auto& thread : attackers) thread.join();
    EXPECT_TRUE(daemon.wait_for_log("Failed to process a request from 127.0.0.1:"));
}

// What a client puts into its path reaches the log escaped, one record per
// request, and cut when it is long; the request itself is unchanged.
TEST(Daemon, ClientTextCannotForgeOrFloodTheLog) {
    Daemon daemon(worker({"frame", "one-write"}));
    std::string const forged = orv::test::round_trip(
        static_cast<unsigned short>(daemon.port()),
        "POST /svc/x\nE1206_forged HTTP/1.0\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}");
    EXPECT_EQ(0u, forged.rfind("HTTP/1.0 200 OK\r\n", 0));
    EXPECT_NE(std::string::npos, forged.find("x\nE1206_forged"));  // the worker got the raw action
    EXPECT_TRUE(daemon.wait_for_log("Processing request to x\\x0aE1206_forged..."));
    EXPECT_EQ(std::string::npos, daemon.info_log().find("\nE1206_forged"));

    std::string const action(10000, 'a');
    EXPECT_EQ(json_response(orv::test::INTERNAL_ERROR), post(daemon.port(), "/svc/" + action, "{}"));
    EXPECT_TRUE(daemon.wait_for_log("Processing request to " + std::string(256, 'a') + "... (10000 bytes)..."));
}

// What careless or hostile worker programs can do to the real daemon: none
// of it may wedge a client, the stop, the memory or the log files.

bool alive(pid_t pid) {
    std::string const stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    return !stat.empty() && stat.find(") Z ") == std::string::npos;
}

// A worker that leaves a child holding the channel and exits: the request
// fails at once instead of waiting for the child, whether the child stayed
// in the worker's group (killed with it) or left for a session of its own
// (the channel is shut). A forced stop then ends within its escalation.
TEST(DaemonWorkers, ChildrenHoldingTheChannelDoNotHoldTheClient) {
    for (char const* fault : {"orphan", "orphan-session"}) {
        SCOPED_TRACE(fault);
        Daemon daemon(worker({fault}));
        auto const begin = std::chrono::steady_clock::now();
        EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/x", "{}"));
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
        EXPECT_TRUE(exited_with(daemon.stop(SIGQUIT, 5000), 0));
    }
}

// Killed outright, the daemon takes its workers with it, busy or idle.
TEST(DaemonWorkers, WorkersDieWithTheDaemon) {
    Daemon daemon(worker({"delay:60000"}), {"--min-workers", "1"});
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
    Daemon daemon(worker({"size:100000", "one-write"}), {"--max-reply-size", "99999"});
    EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/x", "{}"));
    EXPECT_TRUE(daemon.wait_for_log("Worker #0 announced a reply of 100000 bytes, more than the limit of 99999 bytes."));
    EXPECT_TRUE(exited_with(daemon.stop(SIGTERM), 0));

    Daemon large(worker({"size:67108864", "one-write"}));
    std::string const pid = std::to_string(large.pid());
    long const before = orv::test::peak_rss_kib(pid);
    // The first byte comes once the whole reply is in: patience beyond the
    // usual five seconds for sanitizer builds, where that takes longer.
    orv::test::RawClient client(static_cast<unsigned short>(large.port()));
    client.send(orv::test::http_request("POST", "/svc/x", "{}"));
    std::string const reply = client.receive(60000).data;
    EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200 OK\r\n", 0));
    std::string const body = orv::test::body_of(reply);
    EXPECT_EQ(std::string::npos, body.find_first_not_of("abcdefghijklmnopqrstuvwxyz"));
    EXPECT_EQ(67108864u, body.size());
#ifndef ORV_SANITIZED
    EXPECT_LT(orv::test::peak_rss_kib(pid) - before, 80 * 1024);
#else
    (void)before;
#endif
}

// A program that dies at once is not restarted for every request: after
// five early deaths starts pause, and the pause is said once.
TEST(DaemonWorkers, CrashLoopPausesStarts) {
    Daemon daemon(worker({"exit:1"}));
    for (int i = 0; i < 40; ++i) EXPECT_EQ(UNAVAILABLE, post(daemon.port(), "/svc/x", "{}"));
    EXPECT_TRUE(daemon.wait_for_log("keeps dying before it answers: starts are paused for 1 s."));
    EXPECT_LE(daemon.count_in_log("Starting a new worker #"), 10);
    EXPECT_GE(daemon.count_in_log("has been rejected: Worker starts are paused: the worker program keeps dying."), 1);
}

// With a request timeout, a hanging worker costs its client that long: the
// client gets 504 and the worker's whole group is killed.
TEST(DaemonWorkers, RequestTimeoutAnswers504AndKillsTheWorker) {
    Daemon daemon(worker({"hang"}), {"--request-timeout", "1"});
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
    Daemon daemon(worker({"one-write"}));
    std::string const target = orv::test::capture_target(daemon.log_dir());
    ASSERT_NE("", target);
    ProgramRun const second =
        orv::test::launch({"--log-dir", daemon.log_dir(), "svc", std::to_string(orv::test::free_port()), TEST_WORKER_BIN});
    EXPECT_EQ(1, second.exit_code());
    EXPECT_EQ("The service svc is already running as PID " + std::to_string(daemon.pid()) + ".\n", second.err);
    EXPECT_EQ(target, orv::test::capture_target(daemon.log_dir()));
    EXPECT_EQ(orv::test::json_response("{}"), post(daemon.port(), "/svc/x", "{}"));
}

}  // namespace
