#include "messaging/http_handler.hpp"

#include <map>
#include <utility>

#include "messaging/reply.hpp"

namespace orv {
namespace net {
namespace messaging {
namespace aux {

namespace {

std::string make_prefix(std::string const& service, std::string const& group) {
    std::string prefix = "/" + service + "/";
    if (!group.empty())
        prefix += group + "/";
    return prefix;
}

void refuse(http::Request const& request, char const* status, char const* body) {
    request.responder(status, std::map<std::string, std::string>(), body);
}

}  // namespace

HttpHandler::HttpHandler(std::string const& service, std::string const& group, AsyncRequestHandler& handler)
    : service_(service), group_(group), prefix_(make_prefix(service, group)), handler_(handler) {}

void HttpHandler::handle(http::Request const& request) {
    std::string const& path = request.path;
    if (path.size() <= prefix_.size() || path.compare(0, prefix_.size(), prefix_) != 0) {
        refuse(request, "404 Not Found", "API service not found.");
        return;
    }
    if (request.method != http::Request::POST) {
        refuse(request, "405 Method Not Allowed", "Unsupported HTTP method.");
        return;
    }
    if (request.get_header("content-type") != "application/json") {
        refuse(request, "406 Not Acceptable", "Invalid content type.");
        return;
    }

    http::Responder reply_responder = request.responder;
    http::Responder error_responder = request.responder;
    ReplyCallback const on_reply = [reply_responder](std::string reply) mutable {
        detail::send_reply(reply_responder, std::move(reply));
    };
    ErrorCallback const on_error = [error_responder](std::exception const& e) mutable {
        detail::send_error(error_responder, e);
    };
    handler_.handle_async(service_, group_, request.peer, path.substr(prefix_.size()), request.body, on_reply,
                          on_error, request.watch_client);
}

}  // namespace aux
}  // namespace messaging
}  // namespace net
}  // namespace orv
