#include "messaging/request_handler.hpp"

#include <glog/logging.h>
#include <mongo/db/json.h>

#include "common/exception.hpp"
#include "common/log_text.hpp"
#include "messaging/json_guard.hpp"
#include "messaging/reply.hpp"

namespace orv {
namespace net {
namespace messaging {

namespace {

// How much of the parser's message (which quotes the whole input) is kept.
std::size_t const PARSER_MESSAGE_LIMIT = 200;

mongo::BSONObj parse_request(std::string const& body) {
    if (detail::nested_deeper_than(body, detail::MAX_JSON_DEPTH))
        throw Exception("Invalid request JSON: %1%", "objects and arrays nested deeper than 200 levels.");
    try {
        return mongo::fromjson(body);
    } catch (std::exception const& e) {
        throw Exception("Invalid request JSON: %1%", detail::cut_text(e.what(), PARSER_MESSAGE_LIMIT));
    }
}

mongo::BSONObj ping_answer(std::string const& service, std::string const& group) {
    mongo::BSONObjBuilder builder(512);
    builder.append("answer", "pong");
    builder.append("service", service);
    if (!group.empty())
        builder.append("group", group);
    return builder.obj();
}

}  // namespace

void RequestHandler::handle_async(std::string const& service, std::string const& group,
                                  http::Peer const& client, std::string const& path,
                                  std::string const& body, ReplyCallback const& on_reply, ErrorCallback const&,
                                  http::ClientWatch const&) {
    std::string request_id = "unknown";
    std::string result;
    try {
        mongo::BSONObj const request = parse_request(body);
        mongo::BSONElement const id = request.getField("request_id");
        if (id.eoo() || id.type() != mongo::String)
            throw Exception("Missing request id.");
        LOG(INFO) << "Processing request to " << logging::client_text(path) << ": " << logging::client_text(body)
                  << "...";
        request_id = id.String();

        mongo::BSONObj const answer =
            path == "ping" ? ping_answer(service, group) : handle_sync(client, path, request);
        mongo::BSONObjBuilder envelope(64);
        envelope.append("result", answer);
        result = envelope.obj().jsonString(mongo::Strict, 0, false);
    } catch (std::exception const& e) {
        LOG(ERROR) << "Error while processing request " << logging::client_text(request_id) << ": "
                   << logging::client_text(e.what());
        result = detail::get_error_reply(e);
    }
    LOG(INFO) << "Sending reply to request " << logging::client_text(request_id) << ": " << result;
    on_reply(result);
}

}  // namespace messaging
}  // namespace net
}  // namespace orv
