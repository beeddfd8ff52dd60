#ifndef ORV_MESSAGING_REPLY_HPP
#define ORV_MESSAGING_REPLY_HPP

#include <exception>
#include <string>

#include "http/request.hpp"

namespace orv {
namespace net {
namespace messaging {
namespace detail {

// "200 OK" with Content-Type application/json and the reply text unchanged.
void send_reply(http::Responder& responder, std::string reply);

// ServiceUnavailableError (and subclasses): "503 Service Unavailable" with no
// fields and an empty body. Anything else: "200 OK" with the JSON error
// document of get_error_reply.
void send_error(http::Responder& responder, std::exception const& e);

// The one-line JSON error document: the code and text of an EC2Exception with
// "400 Bad Request", or the fixed internal-error document for anything else,
// whose text never reaches the client.
std::string get_error_reply(std::exception const& e);

}  // namespace detail
}  // namespace messaging
}  // namespace net
}  // namespace orv

#endif
