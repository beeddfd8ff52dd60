// The daemon's front door as the proxies and clients in front of it use it:
// persistent connections from real client libraries.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <sys/wait.h>

#include <atomic>
#include <mutex>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include "documents.hpp"
#include "eventually.hpp"
#include "raw_client.hpp"
#include "run_program.hpp"
#include "tests/ts/daemon_fixture.hpp"

namespace {

using orv::test::Daemon;
using orv::test::exited_with;
using orv::test::ProgramRun;
using orv::test::worker;

// curl with several URLs on one command line reuses its connection; Python's
// http.client sends many requests over one HTTPConnection.
TEST(DaemonFrontDoor, RealClientsReuseTheirConnection) {
    Daemon daemon(worker(), {"--listen", "127.0.0.1", "--keep-alive", "5"});
    std::string const url = "http://127.0.0.1:" + std::to_string(daemon.port()) + "/svc/act";
    ProgramRun const curl = orv::test::run_program(
        {"/usr/bin/curl", "-sS", "-H", "Content-Type: application/json", "--data", "{\"n\":1}", "-w",
         " %{http_code} %{num_connects}\\n", url, url, url});
    EXPECT_EQ(0, curl.exit_code()) << curl.err;
    EXPECT_EQ("{\"n\":1} 200 1\n{\"n\":1} 200 0\n{\"n\":1} 200 0\n", curl.out);
    // A client that asks before it sends its body is told to go on.
    std::string const large = "\"" + std::string(2000, 'x') + "\"";
    ProgramRun const asking =
        orv::test::run_program({"/usr/bin/curl", "-sS", "-v", "-H", "Content-Type: application/json", "-H",
                                "Expect: 100-continue", "--data", large, url});
    EXPECT_EQ(large, asking.out);
    EXPECT_NE(std::string::npos, asking.err.find("< HTTP/1.1 100 Continue")) << asking.err;

    std::string const script =
        "import http.client, sys\n"
        "c = http.client.HTTPConnection('127.0.0.1', int(sys.argv[1]), timeout=10)\n"
        "ports = set()\n"
        "for i in range(20):\n"
        "    body = '{\"i\": %d}' % i\n"
        "    c.request('POST', '/svc/act', body, {'Content-Type': 'application/json'})\n"
        "    r = c.getresponse()\n"
        "    assert (r.status, r.read().decode()) == (200, body), i\n"
        "    ports.add(c.sock.getsockname()[1])\n"
        "print(len(ports))\n";
    ProgramRun const python =
        orv::test::run_program({"/usr/bin/python3", "-c", script, std::to_string(daemon.port())});
    EXPECT_EQ(0, python.exit_code()) << python.err;
    EXPECT_EQ("1\n", python.out);
}

// The frame the "frame" worker answers with for POST /svc/act {} from this
// client address ("" over a UNIX socket).
std::string frame(std::string const& address) {
    return std::string("\x03" "act", 4) + static_cast<char>(address.size()) + address + std::string("\x00\x00\x00\x02{}", 6);
}

std::string frame_from(std::string const& address) { return orv::test::json_response(frame(address)); }

ProgramRun curl_unix(std::string const& socket, std::string const& path) {
    return orv::test::run_program({"/usr/bin/curl", "-sS", "--unix-socket", socket, "-H",
                                   "Content-Type: application/json", "--data", "{}", "http://localhost" + path});
}

mode_t mode_of(std::string const& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) ? info.st_mode & 07777 : 0;
}

// A UNIX-socket listener beside the TCP one: the worker gets an empty client
// address, the log names the peer "unix", the file has the mode asked for
// and goes when the daemon does.
TEST(DaemonFrontDoor, UnixSocketListener) {
    struct Row {
        std::vector<std::string> options;
        mode_t mode;
    } const rows[] = {
        {{}, 0660},
        {{"--socket-mode", "0600", "--socket-group", "0"}, 0600},
    };
    for (Row const& row : rows) {
        Daemon daemon;
        std::string const socket = daemon.log_dir() + "/svc.sock";
        std::vector<std::string> options = {"--listen", "unix:" + socket, "--listen", "127.0.0.1"};
        options.insert(options.end(), row.options.begin(), row.options.end());
        daemon.start(worker({"frame"}), options);
        EXPECT_EQ(row.mode, mode_of(socket));
        ProgramRun const over_unix = curl_unix(socket, "/svc/act");
        EXPECT_EQ(frame(""), over_unix.out) << over_unix.err;
        EXPECT_EQ(frame_from("127.0.0.1"), orv::test::post(daemon.port(), "/svc/act", "{}"));
        orv::test::run_program({"/usr/bin/curl", "-sS", "--unix-socket", socket, "-X", "PUT", "http://localhost/"});
        EXPECT_TRUE(daemon.wait_for_log("Failed to process a request from unix: Unsupported HTTP method."));
        EXPECT_TRUE(exited_with(daemon.stop(SIGTERM), 0));
        EXPECT_EQ(0u, mode_of(socket)) << "left behind";
    }
}

// A socket file left by a daemon that is gone is replaced; one that a
// running server answers on is never taken over: the start fails.
TEST(DaemonFrontDoor, StaleAndLiveSocketFiles) {
    Daemon daemon;
    std::string const socket = daemon.log_dir() + "/svc.sock";
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket.c_str());
    int const live = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(0, ::bind(live, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(live, 1));
    ProgramRun const refused =
        orv::test::launch({"--log-dir", daemon.log_dir(), "--listen", "unix:" + socket, "svc", "1", TEST_WORKER_BIN});
    EXPECT_EQ(1, refused.exit_code());
    EXPECT_EQ("The daemon crashed: The socket " + socket + " is in use by another process.\n", refused.err);
    ::close(live);  // the file stays, and nothing answers on it any more
    daemon.start(worker({"frame"}), {"--listen", "unix:" + socket});
    EXPECT_EQ(frame(""), curl_unix(socket, "/svc/act").out);
}

// Socket activation through systemd's own activator, which holds the
// listening socket while a loop restarts the daemon under load: a client
// that connects while no daemon runs waits in the backlog and is answered.
// With a queue, a request that meets a stopping daemon with every worker
// busy waits for one of them: not one request fails.
TEST(DaemonFrontDoor, RestartsUnderSocketActivationRefuseNothing) {
    Daemon scratch;  // a log directory, and the subreaper for what the activator leaves
    std::string const dir = scratch.log_dir();
    int const port = orv::test::free_port();
    // Each round is a child of the loop's shell: LISTEN_PID must name it.
    std::string const loop = "while [ ! -e " + dir + "/stop ]; do /bin/sh -c 'export LISTEN_PID=$$; exec " +
                             ORV_TASK_SERVICE_BIN + " --foreground --log-dir " + dir + " --pid-file " + dir +
                             "/pid --queue 100 --queue-timeout 5000 svc 1 " + TEST_WORKER_BIN + "'; done";
    pid_t const activator = ::fork();
    if (activator == 0) {
        ::execl("/usr/bin/systemd-socket-activate", "systemd-socket-activate", "-l",
                ("127.0.0.1:" + std::to_string(port)).c_str(), "/bin/sh", "-c", loop.c_str(), nullptr);
        ::_exit(127);
    }
    ASSERT_TRUE(orv::test::eventually([&] { return orv::test::reachable("127.0.0.1", port); }));

    std::atomic<int> answered{0}, failed{0}, unavailable{0};
    std::mutex mutex;
    std::vector<std::string> failures;
    std::string const expected = orv::test::json_response("{}");
    auto load = [&] {
        for (int i = 0; i < 1500; ++i) {
            std::string got;
            try {
                got = orv::test::post(port, "/svc/act", "{}");
            } catch (std::exception const& e) {
                got = e.what();  // refused or reset
            }
            if (got == expected) {
                answered++;
            } else if (got.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0) == 0) {
                unavailable++;  // answered by a stopping daemon whose last worker had gone
            } else {
                failed++;
                std::lock_guard<std::mutex> lock(mutex);
                failures.push_back(got);
            }
        }
    };
    std::thread first(load), second(load);
    pid_t previous = 0;
    for (int restart = 0; restart < 3; ++restart) {
        pid_t current = 0;
        ASSERT_TRUE(orv::test::eventually([&] {
            current = std::atoi(orv::test::read_file(dir + "/pid").c_str());
            return current > 0 && current != previous && ::kill(current, 0) == 0 && answered > 300 * restart;
        }));
        ::kill(current, SIGTERM);
        previous = current;
    }
    first.join();
    second.join();
    // Nothing is refused or reset and every request is answered. A request
    // queued in the stopping daemon just as its last worker ends still gets
    // the designed 503 now and then (about one run in eight sees one).
    EXPECT_EQ(0, failed.load()) << (failures.empty() ? "" : failures.front());
    EXPECT_LE(unavailable.load(), 10);
    EXPECT_EQ(3000, answered.load() + unavailable.load());

    orv::test::run_program({"/usr/bin/touch", dir + "/stop"});
    ::kill(std::atoi(orv::test::read_file(dir + "/pid").c_str()), SIGTERM);
    int status = 0;
    EXPECT_TRUE(orv::test::eventually([&] { return ::waitpid(activator, &status, WNOHANG) == activator; }))
        << "the activator did not end";
}

std::string const POST_ACT = orv::test::http_request("POST", "/svc/act", "{}");
std::string const V2_SIGNATURE("\r\n\r\n\x00\r\nQUIT\n", 12);

// The client address a worker is given, and the name the log gives the peer,
// from trusted and untrusted proxies: PROXY protocol v1 and v2, and
// X-Forwarded-For read from the right past trusted hops.
TEST(DaemonFrontDoor, TheRealClientAddress) {
    std::string const v2_ipv6 = V2_SIGNATURE + std::string("\x21\x21\x00\x24", 4) +
                                std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x01" +
                                std::string(16, '\0') + std::string("\xa1\x12\x00\x50", 4);
    std::string const v2_local = V2_SIGNATURE + std::string("\x20\x00\x00\x00", 4);
    std::string const xff = "POST /svc/act HTTP/1.0\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                            "X-Forwarded-For: 198.51.100.1, 10.0.0.2\r\n\r\n{}";
    std::vector<std::string> const trusted = {"--trust-proxy", "127.0.0.1", "--trust-proxy", "10.0.0.0/8"};
    std::vector<std::string> const untrusted = {"--trust-proxy", "10.0.0.0/8"};
    std::vector<std::string> required = trusted;
    required.push_back("--proxy-protocol");
    struct Row {
        char const* name;
        std::vector<std::string> options;
        std::string sent;
        std::string answer;  // "" for a connection closed unanswered
        std::string logged;  // an ERROR line after "Failed to process a request from "
    } const rows[] = {
        {"v1", trusted, "PROXY TCP4 203.0.113.7 127.0.0.1 41234 80\r\n" + POST_ACT, frame_from("203.0.113.7"), ""},
        {"v2 IPv6", trusted, v2_ipv6 + POST_ACT, frame_from("2001:db8::1"), ""},
        {"v2 LOCAL", trusted, v2_local + POST_ACT, frame_from("127.0.0.1"), ""},
        {"forwarded", trusted, xff, frame_from("198.51.100.1"), ""},
        {"forwarded, untrusted", untrusted, xff, frame_from("127.0.0.1"), ""},
        {"v1, untrusted", untrusted, "PROXY TCP4 203.0.113.7 127.0.0.1 41234 80\r\n" + POST_ACT,
         orv::test::plain_response("400 Bad Request", "Unsupported HTTP method."), "Unsupported HTTP method."},
        {"v1, malformed", trusted, "PROXY TCP4 203.0.113.7 127.0.0.1 99999 80\r\n" + POST_ACT, "",
         "Invalid PROXY protocol header: bad source port."},
        {"required, missing", required, POST_ACT, "", "The PROXY protocol header is missing."},
    };
    for (Row const& row : rows) {
        Daemon daemon;
        std::vector<std::string> options = {"--listen", "127.0.0.1"};
        options.insert(options.end(), row.options.begin(), row.options.end());
        daemon.start(worker({"frame"}), options);
        orv::test::RawClient client(static_cast<unsigned short>(daemon.port()));
        client.send(row.sent);
        orv::test::RawClient::Received const received = client.receive();
        EXPECT_EQ(row.answer, received.data) << row.name;
        EXPECT_TRUE(received.closed) << row.name;
        std::string const peer = "127.0.0.1:" + std::to_string(client.local_port());
        if (!row.logged.empty()) {
            EXPECT_TRUE(daemon.wait_for_log("Failed to process a request from " + peer + ": " + row.logged))
                << row.name;
        }
    }
    // Log lines name the client the PROXY header gave.
    Daemon daemon(worker(), {"--listen", "127.0.0.1", "--trust-proxy", "127.0.0.1"});
    orv::test::RawClient client(static_cast<unsigned short>(daemon.port()));
    client.send("PROXY TCP4 203.0.113.7 127.0.0.1 41234 80\r\nPUT / HTTP/1.0\r\n\r\n");
    client.receive();
    EXPECT_TRUE(daemon.wait_for_log("Failed to process a request from 203.0.113.7:41234: Unsupported HTTP method."));
}

// A connection from a local address of the test's choosing, which sends
// nothing and so holds its slot.
boost::asio::ip::tcp::socket hold_from(boost::asio::io_context& io, char const* source, int port) {
    boost::asio::ip::tcp::socket socket(io);
    socket.open(boost::asio::ip::tcp::v4());
    socket.bind({boost::asio::ip::make_address(source), 0});
    socket.connect({boost::asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)});
    return socket;
}

// One address holds at most its share of the connections: the next one is
// closed without a byte and logged; another address is served; a trusted
// proxy, which carries many clients, has no share.
TEST(DaemonFrontDoor, ConnectionsPerAddress) {
    struct Row {
        std::vector<std::string> options;
        bool third_refused;
    } const rows[] = {
        {{"--max-connections-per-address", "2"}, true},
        {{"--max-connections-per-address", "2", "--trust-proxy", "127.0.0.1"}, false},
    };
    for (Row const& row : rows) {
        Daemon daemon(worker(), row.options);
        boost::asio::io_context io;
        std::vector<boost::asio::ip::tcp::socket> held;
        for (int i = 0; i < 3; ++i) held.push_back(hold_from(io, "127.0.0.1", daemon.port()));
        // The connections start in no fixed order: one of the three is closed.
        std::vector<unsigned short> closed;
        if (row.third_refused) orv::test::eventually([&] {
            closed.clear();
            for (auto& socket : held) {
                struct pollfd ready = {socket.native_handle(), POLLIN, 0};
                char byte;
                if (::poll(&ready, 1, 0) == 1 && ::recv(socket.native_handle(), &byte, 1, MSG_PEEK) == 0)
                    closed.push_back(socket.local_endpoint().port());
            }
            return closed.size() == 1u;
        });
        ASSERT_EQ(row.third_refused ? 1u : 0u, closed.size());
        if (row.third_refused) {
            EXPECT_TRUE(daemon.wait_for_log("Failed to handle a client connection from 127.0.0.1:" +
                                            std::to_string(closed.front()) +
                                            ": Limit on number of connections from one address (2) has exceeded."));
        }
        auto other = hold_from(io, "127.0.0.2", daemon.port());
        std::string const request = orv::test::http_request("POST", "/svc/act", "{}");
        boost::asio::write(other, boost::asio::buffer(request));
        boost::system::error_code ec;
        std::string answer;
        boost::asio::read(other, boost::asio::dynamic_buffer(answer), ec);
        EXPECT_EQ(orv::test::json_response("{}"), answer);
        for (auto& socket : held) {
            if (row.third_refused) break;
            boost::asio::write(socket, boost::asio::buffer(request));
            answer.clear();
            boost::asio::read(socket, boost::asio::dynamic_buffer(answer), ec);
            EXPECT_EQ(orv::test::json_response("{}"), answer);
        }
    }
}

}  // namespace
