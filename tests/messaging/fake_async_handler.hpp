#ifndef ORV_TESTS_FAKE_ASYNC_HANDLER_HPP
#define ORV_TESTS_FAKE_ASYNC_HANDLER_HPP

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "eventually.hpp"
#include "messaging/async_request_handler.hpp"

namespace orv {
namespace test {

// Records every call and lets the test decide when and how to answer. By
// default it keeps the callbacks for the test to call.
class FakeAsyncHandler : public net::messaging::AsyncRequestHandler {
public:
    struct Call {
        std::string service;
        std::string group;
        boost::asio::ip::tcp::endpoint endpoint;
        std::string path;
        std::string body;
        net::messaging::ReplyCallback on_reply;
        net::messaging::ErrorCallback on_error;
    };
    typedef std::function<void(Call const&)> Behaviour;

    void handle_async(std::string const& service, std::string const& group,
                      boost::asio::ip::tcp::endpoint const& endpoint, std::string const& path,
                      std::string const& body, net::messaging::ReplyCallback const& on_reply,
                      net::messaging::ErrorCallback const& on_error) override {
        Call const call{service, group, endpoint, path, body, on_reply, on_error};
        Behaviour behaviour;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(call);
            behaviour = behaviour_;
        }
        if (behaviour)
            behaviour(call);
    }

    void set_behaviour(Behaviour const& behaviour) {
        std::lock_guard<std::mutex> lock(mutex_);
        behaviour_ = behaviour;
    }

    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    bool wait_for_calls(std::size_t n, int timeout_ms = 5000) const {
        return eventually([&] { return calls().size() >= n; }, std::chrono::milliseconds(timeout_ms));
    }

    // Drops every kept callback (and with them the connections); call before
    // the event loop goes away.
    void clear() {
        std::vector<Call> dropped;
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(calls_);
        behaviour_ = Behaviour();
    }

private:
    mutable std::mutex mutex_;
    Behaviour behaviour_;
    std::vector<Call> calls_;
};

}  // namespace test
}  // namespace orv

#endif
