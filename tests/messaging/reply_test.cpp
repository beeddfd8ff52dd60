#include <gtest/gtest.h>

#include <map>
#include <new>
#include <stdexcept>
#include <string>

#include <boost/function.hpp>

#include "common/exception.hpp"
#include "messaging/reply.hpp"

namespace {

using orv::net::http::Responder;
using orv::net::messaging::ServiceUnavailableError;
using orv::net::messaging::detail::get_error_reply;
using orv::net::messaging::detail::send_error;
using orv::net::messaging::detail::send_reply;

typedef std::map<std::string, std::string> Headers;

char const INTERNAL[] =
    "{ \"error_code\" : \"InternalError\", \"error_status\" : \"500 Internal Server Error\", "
    "\"error_message\" : \"We encountered an internal error. Please try again.\" }";

struct Captured {
    std::string status;
    Headers headers;
    std::string body;
    int calls = 0;
};

Responder capture(Captured& captured) {
    return [&captured](std::string status, Headers const& headers, std::string body) {
        captured.status = status;
        captured.headers = headers;
        captured.body = body;
        ++captured.calls;
    };
}

class DeeperUnavailable : public ServiceUnavailableError {
public:
    DeeperUnavailable() : ServiceUnavailableError("Service unavailable.") {}
};

class DeeperEc2 : public orv::EC2Exception {
public:
    DeeperEc2() : orv::EC2Exception("Deep", "deeper") {}
};

TEST(Reply, SendsJsonUnchanged) {
    Captured captured;
    Responder responder = capture(captured);
    send_reply(responder, "not even json");
    EXPECT_EQ(1, captured.calls);
    EXPECT_EQ("200 OK", captured.status);
    EXPECT_EQ((Headers{{"Content-Type", "application/json"}}), captured.headers);
    EXPECT_EQ("not even json", captured.body);

    send_reply(responder, "");
    EXPECT_EQ("", captured.body);
    EXPECT_EQ("200 OK", captured.status);
}

TEST(Reply, UnavailableServiceIs503WithNothingElse) {
    for (bool derived : {false, true}) {
        Captured captured;
        Responder responder = capture(captured);
        if (derived)
            send_error(responder, DeeperUnavailable());
        else
            send_error(responder, ServiceUnavailableError("Service unavailable."));
        EXPECT_EQ("503 Service Unavailable", captured.status);
        EXPECT_TRUE(captured.headers.empty());
        EXPECT_EQ("", captured.body);
    }
}

TEST(Reply, OtherFailuresAreTheInternalErrorDocument) {
    std::runtime_error const runtime("secret detail");
    orv::Exception const plain("Request is too big.");
    std::bad_alloc const no_memory;
    orv::LogicalError const logical;
    for (std::exception const* e : std::initializer_list<std::exception const*>{&runtime, &plain, &no_memory,
                                                                                 &logical}) {
        Captured captured;
        Responder responder = capture(captured);
        send_error(responder, *e);
        EXPECT_EQ("200 OK", captured.status);
        EXPECT_EQ((Headers{{"Content-Type", "application/json"}}), captured.headers);
        EXPECT_EQ(INTERNAL, captured.body);
    }
}

TEST(Reply, Ec2ExceptionShowsItsCodeAndEscapedText) {
    orv::EC2Exception const e("Bad\"Code", "say \"hi\" \\ back");
    EXPECT_EQ(
        "{ \"error_code\" : \"Bad\\\"Code\", \"error_status\" : \"400 Bad Request\", "
        "\"error_message\" : \"say \\\"hi\\\" \\\\ back\" }",
        get_error_reply(e));

    Captured captured;
    Responder responder = capture(captured);
    send_error(responder, DeeperEc2());
    EXPECT_EQ("200 OK", captured.status);
    EXPECT_EQ(
        "{ \"error_code\" : \"Deep\", \"error_status\" : \"400 Bad Request\", \"error_message\" : \"deeper\" }",
        captured.body);
}

TEST(Reply, EmptyResponderThrows) {
    Responder empty;
    EXPECT_THROW(send_reply(empty, "{}"), boost::bad_function_call);
    EXPECT_THROW(send_error(empty, std::runtime_error("x")), boost::bad_function_call);
}

}  // namespace
