#include "ts/status_handler.hpp"

#include <map>
#include <string>

namespace orv {
namespace ts {

namespace {

typedef std::map<std::string, std::string> Headers;

}  // namespace

StatusHandler::StatusHandler(Snapshot const& snapshot, Running const& running)
    : snapshot_(snapshot), running_(running) {}

void StatusHandler::handle(net::http::Request const& request) {
    if (request.method != net::http::Request::GET) {
        request.responder("405 Method Not Allowed", Headers(), "Unsupported HTTP method.");
    } else if (request.path == "/metrics") {
        request.responder("200 OK", Headers{{"Content-Type", "text/plain; version=0.0.4"}}, metrics_text(snapshot_()));
    } else if (request.path == "/status") {
        request.responder("200 OK", Headers{{"Content-Type", "application/json"}}, status_json(snapshot_()));
    } else if (request.path == "/health") {
        bool const running = running_();
        request.responder(running ? "200 OK" : "503 Service Unavailable", Headers(), running ? "ok" : "stopping");
    } else {
        request.responder("404 Not Found", Headers(), "Not found.");
    }
}

}  // namespace ts
}  // namespace orv
