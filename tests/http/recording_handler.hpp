#ifndef ORV_TESTS_RECORDING_HANDLER_HPP
#define ORV_TESTS_RECORDING_HANDLER_HPP

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "http/request_handler.hpp"
#include "recorder.hpp"

namespace orv {
namespace test {

// What the handler was given of a request.
struct SeenRequest {
    net::http::Peer peer;
    net::http::Request::Method method;
    std::string path;
    net::http::Request::QueryParams query;
    net::http::Request::Headers headers;
    std::string body;
};

// A RequestHandler that records every request and behaves as the test
// chooses (by default it answers "200 OK" with "ok"). It can keep Responders
// for the test to answer later.
class RecordingHandler : public net::http::RequestHandler, public Recorder<SeenRequest, net::http::Request> {
public:
    RecordingHandler() {
        set_behaviour([](net::http::Request const& request) {
            request.responder("200 OK", std::map<std::string, std::string>(), "ok");
        });
    }

    void handle(net::http::Request const& r) override {
        run(SeenRequest{r.peer, r.method, r.path, r.query_params, r.headers, r.body}, r);
    }

    void stop() override { ++stops; }

    // Keeps the request's Responder, filed under its path.
    void keep(net::http::Request const& request) {
        std::lock_guard<std::mutex> lock(mutex_);
        kept_.emplace_back(request.path, request.responder);
    }

    // Takes out the oldest kept Responder (of this path, when one is given);
    // empty when there is none.
    net::http::Responder take(std::string const& path = std::string()) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto kept = kept_.begin(); kept != kept_.end(); ++kept) {
            if (path.empty() || kept->first == path) {
                net::http::Responder const responder = kept->second;
                kept_.erase(kept);
                return responder;
            }
        }
        return net::http::Responder();
    }

    // Also drops the kept Responders, outside the lock, as that may close
    // connections.
    void clear() {
        Recorder::clear();
        std::vector<std::pair<std::string, net::http::Responder>> dropped;
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(kept_);
    }

    std::atomic<int> stops{0};

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, net::http::Responder>> kept_;
};

}  // namespace test
}  // namespace orv

#endif
