#ifndef ORV_HTTP_REQUEST_HANDLER_HPP
#define ORV_HTTP_REQUEST_HANDLER_HPP

#include "http/request.hpp"

namespace orv {
namespace net {
namespace http {

// What the server does with each completely received request.
class RequestHandler {
public:
    virtual ~RequestHandler() = default;

    // Runs on an event-loop thread inside the connection's strand. Answers
    // through request.responder, now or later; must not keep a reference to
    // the request, which dies when this returns.
    virtual void handle(Request const& request) = 0;

    // Called by Server::stop once accepting has been cancelled.
    virtual void stop() {}
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
