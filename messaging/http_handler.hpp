#ifndef ORV_MESSAGING_HTTP_HANDLER_HPP
#define ORV_MESSAGING_HTTP_HANDLER_HPP

#include <string>

#include "http/request_handler.hpp"
#include "messaging/async_request_handler.hpp"

namespace orv {
namespace net {
namespace messaging {
namespace aux {

// Maps HTTP requests under "/SERVICE/" (or "/SERVICE/GROUP/") onto one
// AsyncRequestHandler. Keeps no mutable state, so it serves any number of
// connections at once.
class HttpHandler : public http::RequestHandler {
public:
    HttpHandler(std::string const& service, std::string const& group, AsyncRequestHandler& handler);

    // Refuses with 404, 405 or 406, checked in that order; otherwise hands
    // the operation below the prefix to the handler with two callbacks, each
    // owning its own copy of the request's Responder.
    void handle(http::Request const& request) override;

private:
    std::string const service_;
    std::string const group_;
    std::string const prefix_;
    AsyncRequestHandler& handler_;
};

}  // namespace aux
}  // namespace messaging
}  // namespace net
}  // namespace orv

#endif
