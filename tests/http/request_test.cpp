#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/exception.hpp"
#include "http/request.hpp"
#include "http/text.hpp"

namespace orv {
namespace net {
namespace http {
namespace {

using detail::strip;
using detail::url_decode;

Request make(std::string const& target, Request::Headers const& headers = Request::Headers()) {
    return Request(net::http::Peer(), Request::GET, target, headers, "", Responder());
}

TEST(UrlDecode, DecodesEscapesAndPlus) {
    struct Case {
        char const* in;
        std::string out;
    } const cases[] = {
        {"%41", "A"},        {"a+b", "a b"},       {"ab%4", "ab"},       {"ab%", "ab"},
        {"%-1", "\xff"},     {"%2B%2b", "++"},     {"plain", "plain"},   {"", ""},
        {"%00x", std::string("\0x", 2)},           {"%e2%82%ac", "\xe2\x82\xac"},
        {"%41%", "A"},       {"100%25", "100%"},
    };
    for (Case const& c : cases)
        EXPECT_EQ(c.out, url_decode(c.in)) << c.in;
}

TEST(UrlDecode, RefusesMalformedEscapes) {
    for (char const* in : {"%zz", "%4g", "%G1", "x%1 y", "%--"}) {
        try {
            url_decode(in);
            ADD_FAILURE() << in << " was decoded";
        } catch (Exception const& e) {
            EXPECT_STREQ("failed to URL decode a string", e.what());
        }
    }
}

TEST(Strip, RemovesOnlySpacesAndTabs) {
    EXPECT_EQ("a b", strip(" \t a b\t "));
    EXPECT_EQ("", strip(" \t "));
    EXPECT_EQ("", strip(""));
    EXPECT_EQ("\r\nx\v", strip(" \r\nx\v "));
}

TEST(RequestTarget, SplitsPathAndQuery) {
    Request const plain = make("/a/b");
    EXPECT_EQ("/a/b", plain.path);
    EXPECT_TRUE(plain.query_params.empty());

    EXPECT_EQ("", make("?x=1").path);

    Request const repeated = make("/p?x=1&x=2&y");
    EXPECT_EQ("/p", repeated.path);
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), repeated.query("x"));
    EXPECT_EQ((std::vector<std::string>{""}), repeated.query("y"));
    EXPECT_EQ("1", repeated.query_first("x"));

    EXPECT_EQ("1=2", make("/p?a=1=2").query_first("a"));

    Request const skipped = make("/p?=5&&b");
    ASSERT_EQ(1u, skipped.query_params.size());
    EXPECT_EQ("", skipped.query_first("b"));

    Request const decoded = make("/p%20q?n%61me=v%2Bw+z");
    EXPECT_EQ("/p%20q", decoded.path);
    EXPECT_EQ("v+w z", decoded.query_first("name"));

    EXPECT_EQ("x", make("/p?a=x%4").query_first("a"));
}

TEST(RequestTarget, MalformedEscapeFailsConstruction) {
    EXPECT_THROW(make("/p?a=%G1"), Exception);
    EXPECT_THROW(make("/p?%zz=1"), Exception);
    // The path is never decoded, so an escape there is harmless.
    EXPECT_NO_THROW(make("/%zz"));
}

TEST(RequestTarget, AbsentParameterNamesItself) {
    Request const request = make("/p?x=1");
    try {
        request.query("missing");
        FAIL();
    } catch (Exception const& e) {
        EXPECT_STREQ("Parameter missing is not specified", e.what());
    }
    EXPECT_THROW(request.query_first("missing"), Exception);
}

TEST(RequestCookies, ParsesPiecesLaterNameWins) {
    Request const request = make("/", {{"cookie", " a = 1 ; b=2;c;=3; a=4"}});
    EXPECT_EQ("4", request.cookie("a"));
    EXPECT_EQ("2", request.cookie("b"));
    EXPECT_EQ("", request.cookie("c"));
    EXPECT_EQ("", request.cookie("d"));

    Request const odd = make("/", {{"cookie", "  =blank; q=\"quoted%20\""}});
    EXPECT_EQ("blank", odd.cookie(""));
    EXPECT_EQ("\"quoted%20\"", odd.cookie("q"));

    EXPECT_EQ("", make("/").cookie("a"));
}

}  // namespace
}  // namespace http
}  // namespace net
}  // namespace orv
