#ifndef ORV_TESTS_FAKE_ASYNC_HANDLER_HPP
#define ORV_TESTS_FAKE_ASYNC_HANDLER_HPP

#include <string>

#include "messaging/async_request_handler.hpp"
#include "recorder.hpp"

namespace orv {
namespace test {

struct AsyncCall {
    std::string service;
    std::string group;
    net::http::Peer peer;
    std::string path;
    std::string body;
    net::messaging::ReplyCallback on_reply;
    net::messaging::ErrorCallback on_error;
};

// Records every call with its callbacks, and answers as the test's behaviour
// says; without one, the call waits for the test to answer it.
class FakeAsyncHandler : public net::messaging::AsyncRequestHandler, public Recorder<AsyncCall, AsyncCall> {
public:
    void handle_async(std::string const& service, std::string const& group,
                      net::http::Peer const& peer, std::string const& path,
                      std::string const& body, net::messaging::ReplyCallback const& on_reply,
                      net::messaging::ErrorCallback const& on_error, net::http::ClientWatch const&) override {
        AsyncCall const call{service, group, peer, path, body, on_reply, on_error};
        run(call, call);
    }
};

}  // namespace test
}  // namespace orv

#endif
