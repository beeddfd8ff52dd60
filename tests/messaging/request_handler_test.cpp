#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/exception.hpp"
#include "messaging/request_handler.hpp"
#include "messaging_fixture.hpp"

namespace orv {
namespace test {
namespace {

// Answers {"echo": PATH, "n": N} or fails as the path asks, so that each
// reply shows whether the request reached it.
class EchoService : public net::messaging::RequestHandler {
public:
    mongo::BSONObj handle_sync(net::http::Peer const&, std::string const& path,
                               mongo::BSONObj const& request) override {
        if (path == "fail/ec2")
            throw EC2Exception("InvalidInput", "n must be \"small\"");
        if (path == "fail/unavailable")
            throw net::messaging::ServiceUnavailableError("Service unavailable.");
        mongo::BSONObjBuilder builder;
        builder.append("echo", path);
        builder.append("n", request.getField("n").numberInt());
        return builder.obj();
    }
};

class RequestHandlerTest : public MessagingTest {
protected:
    EchoService service_;
};

std::string objects(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "{\"a\":";
    return text;
}

// Each request of service "svc": the reply document, the request id it is
// logged under, and the one other line logged for it (with `whole` false,
// the line's start; empty, the line that announces the processing).
TEST_F(RequestHandlerTest, RepliesAndLogLines) {
    start(service_, "svc", "");
    struct Row {
        char const* path;
        std::string body;
        std::string reply;
        char const* id;
        google::LogSeverity severity;
        std::string logged;
        bool whole;
    };
    std::string const coded = "{ \"error_code\" : \"InvalidInput\", \"error_status\" : \"400 Bad Request\", "
                              "\"error_message\" : \"n must be \\\"small\\\"\" }";
    std::string const failed = "Error while processing request unknown: ";
    std::string const missing_id = failed + "Missing request id.";
    std::string const too_deep = failed + "Invalid request JSON: objects and arrays nested deeper than 200 levels.";
    auto const I = google::GLOG_INFO;
    auto const E = google::GLOG_ERROR;
    std::vector<Row> const rows = {
        // ping is answered here, without the service.
        {"ping", "{\"request_id\": \"r-1\"}", "{ \"result\" : { \"answer\" : \"pong\", \"service\" : \"svc\" } }",
         "r-1", I, "", true},
        {"Ping", "{\"request_id\":\"secret-id\",\"n\":7}", "{ \"result\" : { \"echo\" : \"Ping\", \"n\" : 7 } }",
         "secret-id", I, "", true},
        {"a/b", "{request_id:'q'}", "{ \"result\" : { \"echo\" : \"a/b\", \"n\" : 0 } }", "q", I, "", true},
        {"op", "{\"request_id\": 5}", INTERNAL_ERROR, "unknown", E, missing_id, true},
        {"op", "{}", INTERNAL_ERROR, "unknown", E, missing_id, true},
        {"op", "", INTERNAL_ERROR, "unknown", E, missing_id, true},
        {"op", "{\"id\":\"x\"}", INTERNAL_ERROR, "unknown", E, missing_id, true},
        {"op", "{\"request_id\": null}", INTERNAL_ERROR, "unknown", E, missing_id, true},
        {"op", "not json", INTERNAL_ERROR, "unknown", E, failed + "Invalid request JSON: ", false},
        // Deeper nesting would overflow the parser's stack.
        {"op", objects(17000), INTERNAL_ERROR, "unknown", E, too_deep, true},
        {"op", std::string(1048576, '['), INTERNAL_ERROR, "unknown", E, too_deep, true},
        // 200 levels in all, the envelope included, are still fine.
        {"op", "{\"request_id\":\"d\",\"n\":1,\"x\":" + std::string(199, '[') + std::string(199, ']') + "}",
         "{ \"result\" : { \"echo\" : \"op\", \"n\" : 1 } }", "d", I, "Processing request to op: ", false},
        {"fail/ec2", "{\"request_id\":\"e1\"}", coded, "e1", E,
         "Error while processing request e1: n must be \"small\"", true},
        // Only the reply callback is used, so an unavailable service is no 503
        // here.
        {"fail/unavailable", "{\"request_id\":\"e2\"}", INTERNAL_ERROR, "e2", E,
         "Error while processing request e2: Service unavailable.", true},
    };
    for (Row const& row : rows) {
        LogCapture log;
        EXPECT_EQ(json_response(row.reply), post(std::string("/svc/") + row.path, row.body)) << row.path << row.body;
        EXPECT_EQ(1u, log.count(I, std::string("Sending reply to request ") + row.id + ": " + row.reply)) << row.body;
        std::string const logged = row.logged.empty()
                                       ? "Processing request to " + std::string(row.path) + ": " + row.body + "..."
                                       : row.logged;
        EXPECT_EQ(1u, row.whole ? log.count(row.severity, logged) : log.count_prefix(row.severity, logged)) << logged;
    }
}

TEST_F(RequestHandlerTest, PingWithGroup) {
    start(service_, "tasks", "batch");
    std::string const pong = "{ \"answer\" : \"pong\", \"service\" : \"tasks\", \"group\" : \"batch\" }";
    EXPECT_EQ(json_response("{ \"result\" : " + pong + " }"),
              post("/tasks/batch/ping", "{\"request_id\":\"x\"}"));
}

// The parser quotes the whole input in its message; the log keeps 200 bytes.
TEST_F(RequestHandlerTest, ParserMessageIsCut) {
    start(service_, "svc", "");
    std::string const body = "{\"request_id\":\"x\", " + std::string(5000, 'z');
    EXPECT_EQ(json_response(INTERNAL_ERROR), post("/svc/op", body));
    std::string const prefix = "Error while processing request unknown: Invalid request JSON: ";
    ASSERT_EQ(1u, log_.count_prefix(google::GLOG_ERROR, prefix));
    for (auto const& line : log_.lines()) {
        if (line.text.compare(0, prefix.size(), prefix) != 0)
            continue;
        EXPECT_EQ(prefix.size() + 200 + 9, line.text.size()) << line.text;
        EXPECT_EQ("... (cut)", line.text.substr(line.text.size() - 9));
    }
}

}  // namespace
}  // namespace test
}  // namespace orv
