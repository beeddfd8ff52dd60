#ifndef ORV_HTTP_REQUEST_ERROR_HPP
#define ORV_HTTP_REQUEST_ERROR_HPP

#include <string>

#include "common/exception.hpp"

namespace orv {
namespace net {
namespace http {

// A request the connection refuses: the status goes on the status line and
// the message becomes the plain-text body.
class RequestError : public Exception {
public:
    RequestError(char const* status, char const* message) : Exception(message), status(status) {}

    std::string status;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
