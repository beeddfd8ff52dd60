#include "recording_handler.hpp"

#include <chrono>
#include <map>

#include "eventually.hpp"

namespace orv {
namespace test {

RecordingHandler::RecordingHandler() : stops(0) {
    behaviour_ = [](net::http::Request const& request) {
        request.responder("200 OK", std::map<std::string, std::string>(), "ok");
    };
}

void RecordingHandler::set_behaviour(Behaviour const& behaviour) {
    std::lock_guard<std::mutex> lock(mutex_);
    behaviour_ = behaviour;
}

void RecordingHandler::handle(net::http::Request const& request) {
    Behaviour behaviour;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(Seen{request.method, request.path, request.query_params, request.headers, request.body});
        behaviour = behaviour_;
    }
    behaviour(request);
}

std::vector<RecordingHandler::Seen> RecordingHandler::seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

std::size_t RecordingHandler::seen_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_.size();
}

bool RecordingHandler::wait_for_requests(std::size_t n, int timeout_ms) const {
    return eventually([&] { return seen_count() >= n; }, std::chrono::milliseconds(timeout_ms));
}

void RecordingHandler::keep(net::http::Responder const& responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    kept_.push_back(responder);
}

net::http::Responder RecordingHandler::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.empty())
        return net::http::Responder();
    net::http::Responder responder = kept_.front();
    kept_.erase(kept_.begin());
    return responder;
}

void RecordingHandler::clear() {
    std::vector<net::http::Responder> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(kept_);
        behaviour_ = Behaviour();
    }
}

}  // namespace test
}  // namespace orv
