#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/exception.hpp"
#include "messaging/request_handler.hpp"
#include "messaging_fixture.hpp"

namespace {

using orv::test::INTERNAL_ERROR;
using orv::test::MessagingTest;

// Answers {"echo": PATH, "n": N} or fails as the path asks.
class EchoService : public orv::net::messaging::RequestHandler {
public:
    mongo::BSONObj handle_sync(boost::asio::ip::tcp::endpoint const&, std::string const& path,
                               mongo::BSONObj const& request) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            paths_.push_back(path);
        }
        if (path == "fail/ec2")
            throw orv::EC2Exception("InvalidInput", "n must be \"small\"");
        if (path == "fail/unavailable")
            throw orv::net::messaging::ServiceUnavailableError("Service unavailable.");
        mongo::BSONObjBuilder builder;
        builder.append("echo", path);
        builder.append("n", request.getField("n").numberInt());
        return builder.obj();
    }

    std::vector<std::string> paths() {
        std::lock_guard<std::mutex> lock(mutex_);
        return paths_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> paths_;
};

class RequestHandlerTest : public MessagingTest {
protected:
    EchoService service_;
};

TEST_F(RequestHandlerTest, PingWithoutGroup) {
    start(service_, "svc", "");
    std::string const body = "{\"request_id\": \"r-1\"}";
    std::string const reply = "{ \"result\" : { \"answer\" : \"pong\", \"service\" : \"svc\" } }";
    EXPECT_EQ(json(reply), post("/svc/ping", body));
    EXPECT_TRUE(service_.paths().empty());
    EXPECT_EQ(1u, log_.count(google::GLOG_INFO, "Processing request to ping: " + body + "..."));
    EXPECT_EQ(1u, log_.count(google::GLOG_INFO, "Sending reply to request r-1: " + reply));
}

TEST_F(RequestHandlerTest, PingWithGroup) {
    start(service_, "tasks", "batch");
    EXPECT_EQ(json("{ \"result\" : { \"answer\" : \"pong\", \"service\" : \"tasks\", \"group\" : \"batch\" } }"),
              post("/tasks/batch/ping", "{\"request_id\":\"x\"}"));
}

TEST_F(RequestHandlerTest, OtherPathsGoToHandleSyncInAnEnvelope) {
    start(service_, "svc", "");
    std::string const reply = "{ \"result\" : { \"echo\" : \"Ping\", \"n\" : 7 } }";
    EXPECT_EQ(json(reply), post("/svc/Ping", "{\"request_id\":\"secret-id\",\"n\":7}"));
    EXPECT_EQ(json("{ \"result\" : { \"echo\" : \"a/b\", \"n\" : 0 } }"), post("/svc/a/b", "{request_id:'q'}"));
    EXPECT_EQ((std::vector<std::string>{"Ping", "a/b"}), service_.paths());
    EXPECT_EQ(1u, log_.count(google::GLOG_INFO, "Sending reply to request secret-id: " + reply));
}

TEST_F(RequestHandlerTest, MissingOrNonStringRequestId) {
    start(service_, "svc", "");
    for (char const* body : {"{\"request_id\": 5}", "{}", "", "{\"id\":\"x\"}", "{\"request_id\": null}"}) {
        EXPECT_EQ(json(INTERNAL_ERROR), post("/svc/op", body)) << body;
    }
    EXPECT_EQ(5u, log_.count(google::GLOG_ERROR, "Error while processing request unknown: Missing request id."));
    EXPECT_EQ(5u, log_.count(google::GLOG_INFO, std::string("Sending reply to request unknown: ") +
                                                    INTERNAL_ERROR));
    EXPECT_TRUE(service_.paths().empty());
}

TEST_F(RequestHandlerTest, InvalidJson) {
    start(service_, "svc", "");
    EXPECT_EQ(json(INTERNAL_ERROR), post("/svc/op", "not json"));
    EXPECT_EQ(1u,
              log_.count_prefix(google::GLOG_ERROR, "Error while processing request unknown: Invalid request JSON: "));
}

// The parser quotes the whole input in its message; the log keeps 200 bytes.
TEST_F(RequestHandlerTest, ParserMessageIsCut) {
    start(service_, "svc", "");
    std::string const body = "{\"request_id\":\"x\", " + std::string(5000, 'z');
    EXPECT_EQ(json(INTERNAL_ERROR), post("/svc/op", body));
    std::string const prefix = "Error while processing request unknown: Invalid request JSON: ";
    ASSERT_EQ(1u, log_.count_prefix(google::GLOG_ERROR, prefix));
    for (auto const& line : log_.lines()) {
        if (line.text.compare(0, prefix.size(), prefix) != 0)
            continue;
        EXPECT_EQ(prefix.size() + 200 + 9, line.text.size()) << line.text;
        EXPECT_EQ("... (cut)", line.text.substr(line.text.size() - 9));
    }
}

// Deep nesting would overflow the parser's stack and kill the process; it is
// refused like any invalid body, and the server keeps serving.
TEST_F(RequestHandlerTest, DeepNestingIsRefused) {
    start(service_, "svc", "");
    std::string objects;
    for (int i = 0; i < 17000; ++i)
        objects += "{\"a\":";
    EXPECT_EQ(json(INTERNAL_ERROR), post("/svc/op", objects));
    EXPECT_EQ(json(INTERNAL_ERROR), post("/svc/op", std::string(1048576, '[')));
    EXPECT_EQ(2u, log_.count(google::GLOG_ERROR,
                             "Error while processing request unknown: Invalid request JSON: objects and arrays nested "
                             "deeper than 200 levels."));

    // 200 levels in all (the envelope included) are still fine.
    std::string const deep = "{\"request_id\":\"d\",\"n\":1,\"x\":" + std::string(199, '[') + std::string(199, ']') + "}";
    EXPECT_EQ(json("{ \"result\" : { \"echo\" : \"op\", \"n\" : 1 } }"), post("/svc/op", deep));
}

TEST_F(RequestHandlerTest, HandleSyncFailures) {
    start(service_, "svc", "");
    EXPECT_EQ(json("{ \"error_code\" : \"InvalidInput\", \"error_status\" : \"400 Bad Request\", "
                   "\"error_message\" : \"n must be \\\"small\\\"\" }"),
              post("/svc/fail/ec2", "{\"request_id\":\"e1\"}"));
    EXPECT_EQ(1u, log_.count(google::GLOG_ERROR, "Error while processing request e1: n must be \"small\""));
    // Only the reply callback is used, so an unavailable service is no 503 here.
    EXPECT_EQ(json(INTERNAL_ERROR), post("/svc/fail/unavailable", "{\"request_id\":\"e2\"}"));
    EXPECT_EQ(1u, log_.count(google::GLOG_ERROR, "Error while processing request e2: Service unavailable."));
}

}  // namespace
