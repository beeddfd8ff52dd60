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

// A real HTTP server on 127.0.0.1 with an ephemeral port, served by a small
// thread pool, with a handler the test programs.
class HttpServerTest : public ::testing::Test {
protected:
    void start_server(std::size_t limit = 0, net::http::Deadlines const& deadlines = net::http::Deadlines()) {
        server_.reset(new net::http::Server(loop_.io(), "127.0.0.1", 0, handler_, limit, deadlines));
        port_ = server_->local_endpoint().port();
        server_->start();
    }

    void TearDown() override {
        loop_.stop();
        handler_.clear();
        server_.reset();
    }

    static std::string plain(std::string const& status, std::string const& body) {
        return plain_response(status, body);
    }

    LogCapture log_;
    RecordingHandler handler_;
    EventLoop loop_;
    std::unique_ptr<net::http::Server> server_;
    unsigned short port_ = 0;
};

}  // namespace test
}  // namespace orv

#endif
