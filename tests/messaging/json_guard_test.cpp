#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <mongo/bson/bson.h>
#include <mongo/db/json.h>

#include "messaging/json_guard.hpp"
#include "tests/fuzz_inputs.hpp"

namespace {

using orv::net::messaging::detail::cut_text;
using orv::net::messaging::detail::MAX_JSON_DEPTH;
using orv::net::messaging::detail::nested_deeper_than;

std::string arrays(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonGuard, CountsNestingOfObjectsAndArrays) {
    EXPECT_FALSE(nested_deeper_than(arrays(200), 200));
    EXPECT_TRUE(nested_deeper_than(arrays(201), 200));
    EXPECT_FALSE(nested_deeper_than("", 200));
    // Siblings do not add up.
    std::string wide = "[";
    for (int i = 0; i < 1000; ++i)
        wide += "{\"a\":[1]},";
    wide += "0]";
    EXPECT_FALSE(nested_deeper_than(wide, 3));
    EXPECT_TRUE(nested_deeper_than(wide, 2));

    std::string objects;
    for (int i = 0; i < 17000; ++i)
        objects += "{\"a\":";
    EXPECT_TRUE(nested_deeper_than(objects, MAX_JSON_DEPTH));
}

TEST(JsonGuard, IgnoresBracketsInStringsAndRegularExpressions) {
    std::string const brackets(500, '[');
    EXPECT_FALSE(nested_deeper_than("{\"a\": \"" + brackets + "\"}", 200));
    EXPECT_FALSE(nested_deeper_than("{\"a\": \"\\\"" + brackets + "\"}", 200));
    EXPECT_FALSE(nested_deeper_than("{'a': '" + brackets + "\"'}", 200));
    EXPECT_FALSE(nested_deeper_than("{a: /" + brackets + "\\//}", 200));
}

// A quote inside a regular expression must not hide what follows: the parser
// accepts the expression and would recurse into the arrays after it.
TEST(JsonGuard, QuotesInsideOtherTokensDoNotHideNesting) {
    EXPECT_NO_THROW(mongo::fromjson("{a: /\"/, b: [[1]]}"));
    EXPECT_NO_THROW(mongo::fromjson("{a: '\"', b: [[1]]}"));
    // The parser honours backslashes inside expressions as the guard does.
    EXPECT_NO_THROW(mongo::fromjson("{a: /x\\//, b: [[1]]}"));
    EXPECT_TRUE(nested_deeper_than("{a: /\"/, b: " + arrays(300) + "}", 200));
    EXPECT_TRUE(nested_deeper_than("{a: '\"', b: " + arrays(300) + "}", 200));
    EXPECT_TRUE(nested_deeper_than("{\"a\": \"'\", b: " + arrays(300) + "}", 200));
}

TEST(JsonGuard, CutsLongTextVisibly) {
    EXPECT_EQ("short", cut_text("short", 200));
    EXPECT_EQ(std::string(200, 'x'), cut_text(std::string(200, 'x'), 200));
    EXPECT_EQ(std::string(200, 'x') + "... (cut)", cut_text(std::string(201, 'x'), 200));
}

// Replays the fuzzer's seeds and every input it ever crashed on: what the
// guard lets through must parse or fail without harm.
TEST(JsonGuard, FuzzInputsStaySound) {
    std::size_t replayed = 0;
    for (auto const& input : orv::test::fuzz_inputs(ORV_FUZZ_DIR, "json_depth")) {
        std::string const& text = input.second;
        ++replayed;
        if (nested_deeper_than(text, MAX_JSON_DEPTH))
            continue;
        try {
            mongo::fromjson(text);
        } catch (std::exception const&) {
        }
    }
    EXPECT_GT(replayed, 0u);
}

}  // namespace
