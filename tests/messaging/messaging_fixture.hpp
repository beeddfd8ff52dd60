#ifndef ORV_TESTS_MESSAGING_FIXTURE_HPP
#define ORV_TESTS_MESSAGING_FIXTURE_HPP

#include <string>

#include "fake_async_handler.hpp"
#include "http_fixture.hpp"
#include "messaging/server.hpp"

namespace orv {
namespace test {

// A messaging server on 127.0.0.1 with an ephemeral port in front of a
// handler the test chooses (by default the FakeAsyncHandler handler_).
class MessagingTest : public LoopbackServerTest<net::messaging::Server, FakeAsyncHandler> {
protected:
    void start(std::string const& service, std::string const& group) { start(handler_, service, group); }

    void start(net::messaging::AsyncRequestHandler& handler, std::string const& service, std::string const& group) {
        server_.reset(new net::messaging::Server(loop_.io(), "127.0.0.1", 0, handler, service, group));
        port_ = server_->port();
        server_->start();
    }

    std::string post(std::string const& path, std::string const& body) {
        return round_trip(port_, http_request("POST", path, body));
    }
};

}  // namespace test
}  // namespace orv

#endif
