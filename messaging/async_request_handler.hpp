#ifndef ORV_MESSAGING_ASYNC_REQUEST_HANDLER_HPP
#define ORV_MESSAGING_ASYNC_REQUEST_HANDLER_HPP

#include <exception>
#include <string>

#include <boost/function.hpp>

#include "http/peer.hpp"
#include "http/request.hpp"

namespace orv {
namespace net {
namespace messaging {

// Called with the JSON reply text; answers "200 OK". The text is taken by
// value so that a large reply can be moved, not copied, to the connection.
typedef boost::function<void(std::string)> ReplyCallback;
// Called with the failure; mapped to an HTTP response.
typedef boost::function<void(std::exception const&)> ErrorCallback;

// The one operation every service implements. The string and peer
// arguments live only for the call; the callbacks are copyable, stay valid
// afterwards, and each keeps the client connection open until it is dropped.
// An implementation calls exactly one of them, once. watch_client (which
// may be empty) tells, for a request that waits, when its client is gone.
class AsyncRequestHandler {
public:
    virtual ~AsyncRequestHandler() = default;

    virtual void handle_async(std::string const& service, std::string const& group,
                              http::Peer const& client,
                              std::string const& path, std::string const& body,
                              ReplyCallback const& on_reply, ErrorCallback const& on_error,
                              http::ClientWatch const& watch_client) = 0;
};

}  // namespace messaging
}  // namespace net
}  // namespace orv

#endif
