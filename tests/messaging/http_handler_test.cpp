#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/exception.hpp"
#include "messaging_fixture.hpp"

namespace orv {
namespace test {
namespace {

using net::messaging::ServiceUnavailableError;

std::string const NOT_FOUND = plain_response("404 Not Found", "API service not found.");

class HttpHandlerTest : public MessagingTest {
protected:
    // Serves service "svc" of the group and checks which paths reach it, each
    // with the path below the prefix it is given (nullptr: refused with 404).
    void expect_routes(std::string const& group, std::vector<std::pair<char const*, char const*>> const& routes) {
        start("svc", group);
        handler_.set_behaviour([](AsyncCall const& call) { call.on_reply("{}"); });
        std::string const body = "{\"request_id\":\"1\"}";
        std::vector<std::string> passed;
        for (auto const& route : routes) {
            EXPECT_EQ(route.second ? json_response("{}") : NOT_FOUND, post(route.first, body)) << route.first;
            if (route.second)
                passed.push_back(route.second);
        }
        auto const calls = handler_.records();
        ASSERT_EQ(passed.size(), calls.size());
        for (std::size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(passed[i], calls[i].path);
            EXPECT_EQ("svc", calls[i].service);
            EXPECT_EQ(group, calls[i].group);
            EXPECT_EQ(body, calls[i].body);
            EXPECT_EQ("127.0.0.1", calls[i].peer.address);
        }
    }
};

TEST_F(HttpHandlerTest, RoutesBelowThePrefixWithoutGroup) {
    expect_routes("", {{"/svc/ping", "ping"},
                       {"/svc/", nullptr},
                       {"/svc", nullptr},
                       {"/other/ping", nullptr},
                       {"/SVC/ping", nullptr},
                       {"svc/ping", nullptr}});
}

// Below the prefix the path is passed on as sent, the query cut off.
TEST_F(HttpHandlerTest, RoutesBelowThePrefixWithGroup) {
    expect_routes("g", {{"/svc/ping", nullptr},
                        {"/svc/g/", nullptr},
                        {"/svc/g/ping", "ping"},
                        {"/svc/g/a/b", "a/b"},
                        {"/svc/g/a%2Fb?x=1", "a%2Fb"}});
}

// A wrong path wins over a wrong method, which wins over a content type
// other than exactly "application/json".
TEST_F(HttpHandlerTest, RejectionOrderIsPathMethodContentType) {
    start("svc", "");
    struct Row {
        char const* method;
        char const* path;
        char const* content_type;
        std::string response;
    };
    std::string const not_acceptable = plain_response("406 Not Acceptable", "Invalid content type.");
    std::vector<Row> const rows = {
        {"GET", "/other/x", "", NOT_FOUND},
        {"GET", "/svc/ping", "", plain_response("405 Method Not Allowed", "Unsupported HTTP method.")},
        {"POST", "/svc/ping", "", not_acceptable},
        {"POST", "/svc/ping", "application/json; charset=utf-8", not_acceptable},
        {"POST", "/svc/ping", "Application/JSON", not_acceptable},
        {"POST", "/svc/ping", "text/plain", not_acceptable},
    };
    for (Row const& row : rows)
        EXPECT_EQ(row.response, round_trip(port_, http_request(row.method, row.path, "{}", row.content_type)))
            << row.method << " " << row.path << " " << row.content_type;
    EXPECT_TRUE(handler_.records().empty());
}

class DeeperUnavailable : public ServiceUnavailableError {
public:
    DeeperUnavailable() : ServiceUnavailableError("Service unavailable.") {}
};

class DeeperCoded : public EC2Exception {
public:
    DeeperCoded() : EC2Exception("Deep", "deeper") {}
};

// Each answer the service gives, from another thread once the call is kept,
// as the client sees it: a reply goes out unchanged; an unavailable service
// is a bare 503; a coded failure shows its code and escaped text; any other
// failure hides behind the internal error document. Failures are told apart
// by their dynamic type.
TEST_F(HttpHandlerTest, AnswersOnTheWire) {
    start("svc", "");
    struct Row {
        char const* name;
        FakeAsyncHandler::Behaviour answer;
        std::string response;
    };
    std::vector<Row> const rows = {
        {"reply", [](AsyncCall const& c) { c.on_reply("{\"a\":1}"); },
         "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 7\r\n\r\n{\"a\":1}"},
        {"not JSON", [](AsyncCall const& c) { c.on_reply("not even json"); }, json_response("not even json")},
        {"empty", [](AsyncCall const& c) { c.on_reply(""); },
         "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n"},
        {"unavailable", [](AsyncCall const& c) { c.on_error(ServiceUnavailableError("Service unavailable.")); },
         "HTTP/1.0 503 Service Unavailable\r\n\r\n"},
        {"deeper unavailable", [](AsyncCall const& c) { c.on_error(DeeperUnavailable()); },
         "HTTP/1.0 503 Service Unavailable\r\n\r\n"},
        {"coded", [](AsyncCall const& c) { c.on_error(EC2Exception("Invalid\"Code", "a \"quoted\" \\ text")); },
         json_response("{ \"error_code\" : \"Invalid\\\"Code\", \"error_status\" : \"400 Bad Request\", "
                       "\"error_message\" : \"a \\\"quoted\\\" \\\\ text\" }")},
        {"deeper coded", [](AsyncCall const& c) { c.on_error(DeeperCoded()); },
         json_response("{ \"error_code\" : \"Deep\", \"error_status\" : \"400 Bad Request\", "
                       "\"error_message\" : \"deeper\" }")},
        {"runtime", [](AsyncCall const& c) { c.on_error(std::runtime_error("hidden detail")); },
         json_response(INTERNAL_ERROR)},
        {"own", [](AsyncCall const& c) { c.on_error(Exception("Request is too big.")); },
         json_response(INTERNAL_ERROR)},
        {"no memory", [](AsyncCall const& c) { c.on_error(std::bad_alloc()); }, json_response(INTERNAL_ERROR)},
        {"logical", [](AsyncCall const& c) { c.on_error(LogicalError()); }, json_response(INTERNAL_ERROR)},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        RawClient client(port_);
        client.send(http_request("POST", "/svc/x", "{}"));
        ASSERT_TRUE(handler_.wait_for(i + 1));
        AsyncCall const call = handler_.records()[i];
        std::thread([&] { rows[i].answer(call); }).join();
        RawClient::Received const received = client.receive();
        EXPECT_EQ(rows[i].response, received.data) << rows[i].name;
        EXPECT_TRUE(received.closed) << rows[i].name;
    }
}

TEST_F(HttpHandlerTest, SecondCallbackIsRefusedByTheConnection) {
    start("svc", "");
    handler_.set_behaviour([](AsyncCall const& call) {
        call.on_reply("{}");
        call.on_error(std::runtime_error("late"));
    });
    EXPECT_EQ(json_response("{}"), post("/svc/twice", "{}"));
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR,
                              "Attempt to response on request to /svc/twice on which response already has been sent "
                              "to."));
}

TEST_F(HttpHandlerTest, DroppedCallbacksCloseWithoutAnswer) {
    start("svc", "");
    RawClient client(port_);
    client.send(http_request("POST", "/svc/drop", "{}"));
    ASSERT_TRUE(handler_.wait_for(1));
    handler_.clear();
    RawClient::Received const received = client.receive();
    EXPECT_TRUE(received.closed);
    EXPECT_EQ("", received.data);
}

}  // namespace
}  // namespace test
}  // namespace orv
