#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/exception.hpp"
#include "messaging_fixture.hpp"

namespace {

using orv::test::FakeAsyncHandler;
using orv::test::INTERNAL_ERROR;
using orv::test::MessagingTest;
using orv::test::RawClient;
using orv::test::round_trip;

class HttpHandlerTest : public MessagingTest {
protected:
    void answer_at_once() {
        fake_.set_behaviour([](FakeAsyncHandler::Call const& call) { call.on_reply("{}"); });
    }
};

TEST_F(HttpHandlerTest, PrefixWithoutGroup) {
    start("svc", "");
    answer_at_once();
    std::string const not_found = plain("404 Not Found", "API service not found.");
    EXPECT_EQ(json("{}"), post("/svc/ping", "{\"request_id\":\"1\"}"));
    EXPECT_EQ(not_found, post("/svc/", "{}"));
    EXPECT_EQ(not_found, post("/svc", "{}"));
    EXPECT_EQ(not_found, post("/other/ping", "{}"));
    EXPECT_EQ(not_found, post("/SVC/ping", "{}"));
    EXPECT_EQ(not_found, post("svc/ping", "{}"));

    auto const calls = fake_.calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("svc", calls[0].service);
    EXPECT_EQ("", calls[0].group);
    EXPECT_EQ("ping", calls[0].path);
    EXPECT_EQ("{\"request_id\":\"1\"}", calls[0].body);
    EXPECT_EQ("127.0.0.1", calls[0].endpoint.address().to_string());
}

TEST_F(HttpHandlerTest, PrefixWithGroup) {
    start("svc", "g");
    answer_at_once();
    EXPECT_EQ(plain("404 Not Found", "API service not found."), post("/svc/ping", "{}"));
    EXPECT_EQ(plain("404 Not Found", "API service not found."), post("/svc/g/", "{}"));
    EXPECT_EQ(json("{}"), post("/svc/g/ping", "{}"));
    EXPECT_EQ(json("{}"), post("/svc/g/a/b", "{}"));
    EXPECT_EQ(json("{}"), post("/svc/g/a%2Fb?x=1", "{}"));

    auto const calls = fake_.calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ("ping", calls[0].path);
    EXPECT_EQ("a/b", calls[1].path);
    // Below the prefix the path is passed on as sent, query cut off.
    EXPECT_EQ("a%2Fb", calls[2].path);
    for (auto const& call : calls) {
        EXPECT_EQ("svc", call.service);
        EXPECT_EQ("g", call.group);
    }
}

TEST_F(HttpHandlerTest, RejectionOrderIsPathMethodContentType) {
    start("svc", "");
    answer_at_once();
    // Wrong path wins over a wrong method and a missing content type.
    EXPECT_EQ(plain("404 Not Found", "API service not found."), round_trip(port_, request("GET", "/other/x", "", "")));
    // Wrong method wins over a missing content type.
    EXPECT_EQ(plain("405 Method Not Allowed", "Unsupported HTTP method."),
              round_trip(port_, request("GET", "/svc/ping", "", "")));
    std::string const not_acceptable = plain("406 Not Acceptable", "Invalid content type.");
    for (char const* type : {"", "application/json; charset=utf-8", "Application/JSON", "text/plain"})
        EXPECT_EQ(not_acceptable, round_trip(port_, request("POST", "/svc/ping", "{}", type))) << type;
    EXPECT_TRUE(fake_.calls().empty());
}

TEST_F(HttpHandlerTest, ReplyFromAnotherThreadLater) {
    start("svc", "");
    RawClient client(port_);
    client.send(request("POST", "/svc/slow", "{}"));
    ASSERT_TRUE(fake_.wait_for_calls(1));
    orv::net::messaging::ReplyCallback const on_reply = fake_.calls()[0].on_reply;
    std::thread later([on_reply] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        on_reply("{\"a\":1}");
    });
    RawClient::Received const received = client.receive();
    later.join();
    EXPECT_EQ("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 7\r\n\r\n{\"a\":1}", received.data);
    EXPECT_TRUE(received.closed);
}

TEST_F(HttpHandlerTest, ErrorsOnTheWire) {
    start("svc", "");
    fake_.set_behaviour([](FakeAsyncHandler::Call const& call) {
        if (call.path == "unavailable")
            call.on_error(orv::net::messaging::ServiceUnavailableError("Service unavailable."));
        else if (call.path == "internal")
            call.on_error(std::runtime_error("hidden detail"));
        else if (call.path == "ec2")
            call.on_error(orv::EC2Exception("Invalid\"Code", "a \"quoted\" \\ text"));
        else if (call.path == "empty")
            call.on_reply("");
    });
    EXPECT_EQ("HTTP/1.0 503 Service Unavailable\r\n\r\n", post("/svc/unavailable", "{}"));
    EXPECT_EQ(json(INTERNAL_ERROR), post("/svc/internal", "{}"));
    EXPECT_EQ(json("{ \"error_code\" : \"Invalid\\\"Code\", \"error_status\" : \"400 Bad Request\", "
                   "\"error_message\" : \"a \\\"quoted\\\" \\\\ text\" }"),
              post("/svc/ec2", "{}"));
    EXPECT_EQ("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n", post("/svc/empty", "{}"));
}

TEST_F(HttpHandlerTest, SecondCallbackIsRefusedByTheConnection) {
    start("svc", "");
    fake_.set_behaviour([](FakeAsyncHandler::Call const& call) {
        call.on_reply("{}");
        call.on_error(std::runtime_error("late"));
    });
    EXPECT_EQ(json("{}"), post("/svc/twice", "{}"));
    EXPECT_TRUE(log_.wait_for(google::GLOG_ERROR,
                              "Attempt to response on request to /svc/twice on which response already has been sent "
                              "to."));
}

TEST_F(HttpHandlerTest, DroppedCallbacksCloseWithoutAnswer) {
    start("svc", "");
    fake_.set_behaviour([](FakeAsyncHandler::Call const&) {});
    RawClient client(port_);
    client.send(request("POST", "/svc/drop", "{}"));
    ASSERT_TRUE(fake_.wait_for_calls(1));
    fake_.clear();
    RawClient::Received const received = client.receive();
    EXPECT_TRUE(received.closed);
    EXPECT_EQ("", received.data);
}

}  // namespace
