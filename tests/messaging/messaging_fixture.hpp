#ifndef ORV_TESTS_MESSAGING_FIXTURE_HPP
#define ORV_TESTS_MESSAGING_FIXTURE_HPP

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fake_async_handler.hpp"
#include "messaging/server.hpp"
#include "documents.hpp"
#include "event_loop.hpp"
#include "log_capture.hpp"
#include "raw_client.hpp"

namespace orv {
namespace test {

// A messaging server on 127.0.0.1 with an ephemeral port in front of a
// handler the test chooses (by default a FakeAsyncHandler).
class MessagingTest : public ::testing::Test {
protected:
    void start(std::string const& service, std::string const& group) { start(fake_, service, group); }

    void start(net::messaging::AsyncRequestHandler& handler, std::string const& service, std::string const& group) {
        server_.reset(new net::messaging::Server(loop_.io(), "127.0.0.1", 0, handler, service, group));
        port_ = server_->port();
        server_->start();
    }

    void TearDown() override {
        loop_.stop();
        fake_.clear();
        server_.reset();
    }

    static std::string request(std::string const& method, std::string const& path, std::string const& body,
                               std::string const& content_type = "application/json") {
        std::string text = method + " " + path + " HTTP/1.0\r\n";
        if (!content_type.empty())
            text += "Content-Type: " + content_type + "\r\n";
        if (method == "POST")
            text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        return text + "\r\n" + body;
    }

    std::string post(std::string const& path, std::string const& body) {
        return round_trip(port_, request("POST", path, body));
    }

    static std::string plain(std::string const& status, std::string const& body) {
        return plain_response(status, body);
    }

    static std::string json(std::string const& body) { return json_response(body); }

    LogCapture log_;
    FakeAsyncHandler fake_;
    EventLoop loop_;
    std::unique_ptr<net::messaging::Server> server_;
    unsigned short port_ = 0;
};

}  // namespace test
}  // namespace orv

#endif
