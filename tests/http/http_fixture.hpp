#ifndef ORV_TESTS_HTTP_HTTP_FIXTURE_HPP
#define ORV_TESTS_HTTP_HTTP_FIXTURE_HPP

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "documents.hpp"
#include "event_loop.hpp"
#include "http/server.hpp"
#include "log_capture.hpp"
#include "raw_client.hpp"
#include "recording_handler.hpp"

namespace orv {
namespace test {

// A real server of type S on 127.0.0.1 with an ephemeral port, served by a
// small thread pool, in front of a handler of type H that the test programs.
// The event loop stops before the handler drops what it holds, and both
// before the server goes.
template <typename S, typename H>
class LoopbackServerTest : public ::testing::Test {
protected:
    void TearDown() override {
        loop_.stop();
        handler_.clear();
        server_.reset();
    }

    LogCapture log_;
    H handler_;
    EventLoop loop_;
    std::unique_ptr<S> server_;
    unsigned short port_ = 0;
};

class HttpServerTest : public LoopbackServerTest<net::http::Server, RecordingHandler> {
protected:
    void start_server(std::size_t limit = 0, net::http::ConnectionSettings const& settings = {}) {
        server_.reset(new net::http::Server(loop_.io(), "127.0.0.1", 0, handler_, limit, settings));
        port_ = server_->port();
        server_->start();
    }

    void start_server(std::size_t limit, net::http::Deadlines const& deadlines) {
        net::http::ConnectionSettings settings;
        settings.deadlines = deadlines;
        start_server(limit, settings);
    }

    // Requests reach the handler and stay unanswered, holding their
    // connection, until the test takes their Responder.
    void hold_requests() {
        handler_.set_behaviour([this](net::http::Request const& request) { handler_.keep(request); });
    }
};

// "127.0.0.1:PORT", the name the server gives the client in its log lines.
inline std::string peer_name(RawClient const& client) {
    return "127.0.0.1:" + std::to_string(client.local_port());
}

}  // namespace test
}  // namespace orv

#endif
