// The daemon's front door as the proxies and clients in front of it use it:
// persistent connections from real client libraries.
#include <string>

#include <gtest/gtest.h>

#include "run_program.hpp"
#include "tests/ts/daemon_fixture.hpp"

namespace {

using orv::test::Daemon;
using orv::test::ProgramRun;
using orv::test::worker;

// curl with several URLs on one command line reuses its connection; Python's
// http.client sends many requests over one HTTPConnection.
TEST(DaemonFrontDoor, RealClientsReuseTheirConnection) {
    Daemon daemon;
    daemon.start(worker(), {"--listen", "127.0.0.1", "--keep-alive", "5"});
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

}  // namespace
