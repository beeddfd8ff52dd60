#include "messaging/reply.hpp"

#include <map>
#include <utility>

#include <mongo/bson/bson.h>

#include "common/exception.hpp"

namespace orv {
namespace net {
namespace messaging {
namespace detail {

namespace {

std::map<std::string, std::string> json_headers() {
    std::map<std::string, std::string> headers;
    headers["Content-Type"] = "application/json";
    return headers;
}

}  // namespace

void send_reply(http::Responder& responder, std::string reply) {
    responder("200 OK", json_headers(), std::move(reply));
}

void send_error(http::Responder& responder, std::exception const& e) {
    if (dynamic_cast<ServiceUnavailableError const*>(&e) != nullptr) {
        responder("503 Service Unavailable", std::map<std::string, std::string>(), "");
        return;
    }
    if (dynamic_cast<GatewayTimeoutError const*>(&e) != nullptr) {
        responder("504 Gateway Timeout", std::map<std::string, std::string>(), e.what());
        return;
    }
    responder("200 OK", json_headers(), get_error_reply(e));
}

std::string get_error_reply(std::exception const& e) {
    mongo::BSONObjBuilder builder(64);
    if (EC2Exception const* ec2 = dynamic_cast<EC2Exception const*>(&e)) {
        builder.append("error_code", ec2->code_);
        builder.append("error_status", "400 Bad Request");
        builder.append("error_message", ec2->what());
    } else {
        builder.append("error_code", "InternalError");
        builder.append("error_status", "500 Internal Server Error");
        builder.append("error_message", "We encountered an internal error. Please try again.");
    }
    return builder.obj().jsonString(mongo::Strict, 0, false);
}

}  // namespace detail
}  // namespace messaging
}  // namespace net
}  // namespace orv
