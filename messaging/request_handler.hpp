#ifndef ORV_MESSAGING_REQUEST_HANDLER_HPP
#define ORV_MESSAGING_REQUEST_HANDLER_HPP

#include <string>

#include <mongo/bson/bson.h>

#include "messaging/async_request_handler.hpp"

namespace orv {
namespace net {
namespace messaging {

// Base for services that answer at once. Parses the JSON envelope, requires a
// string "request_id", answers "ping" itself and passes every other operation
// to handle_sync, wrapping its result as {"result": ...}. Every outcome,
// failures included, goes out through on_reply; on_error is never called.
class RequestHandler : public AsyncRequestHandler {
public:
    void handle_async(std::string const& service, std::string const& group,
                      http::Peer const& client, std::string const& path,
                      std::string const& body, ReplyCallback const& on_reply, ErrorCallback const& on_error,
                      http::ClientWatch const& watch_client) override;

    // Runs on the event-loop thread and blocks it. An EC2Exception reaches the
    // client with its code; any other exception as an internal error.
    virtual mongo::BSONObj handle_sync(http::Peer const& client,
                                       std::string const& path, mongo::BSONObj const& request) = 0;
};

}  // namespace messaging
}  // namespace net
}  // namespace orv

#endif
