#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <mongo/bson/bson.h>
#include <mongo/db/json.h>

#include "messaging/json_guard.hpp"

namespace {

using orv::net::messaging::detail::cut_text;
using orv::net::messaging::detail::MAX_JSON_DEPTH;
using orv::net::messaging::detail::nested_deeper_than;

std::string arrays(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonGuard, MeasuresNesting) {
    std::string wide = "[";
    for (int i = 0; i < 1000; ++i)
        wide += "{\"a\":[1]},";
    wide += "0]";
    std::string objects;
    for (int i = 0; i < 17000; ++i)
        objects += "{\"a\":";
    std::string const brackets(500, '[');
    struct Row {
        char const* name;
        std::string text;
        std::size_t limit;
        bool deeper;
    };
    std::vector<Row> const rows = {
        {"at the limit", arrays(200), 200, false},
        {"one past", arrays(201), 200, true},
        {"empty", "", 200, false},
        // Siblings do not add up.
        {"wide", wide, 3, false},
        {"wide, one less", wide, 2, true},
        {"unclosed objects", objects, MAX_JSON_DEPTH, true},
        // Brackets inside strings and regular expressions do not count...
        {"in a string", "{\"a\": \"" + brackets + "\"}", 200, false},
        {"after an escaped quote", "{\"a\": \"\\\"" + brackets + "\"}", 200, false},
        {"in a single-quoted string", "{'a': '" + brackets + "\"'}", 200, false},
        {"in an expression", "{a: /" + brackets + "\\//}", 200, false},
        // ...and a quote inside another token does not hide what follows.
        {"quote in an expression", "{a: /\"/, b: " + arrays(300) + "}", 200, true},
        {"quote in a single-quoted string", "{a: '\"', b: " + arrays(300) + "}", 200, true},
        {"single quote in a string", "{\"a\": \"'\", b: " + arrays(300) + "}", 200, true},
    };
    for (Row const& row : rows)
        EXPECT_EQ(row.deeper, nested_deeper_than(row.text, row.limit)) << row.name;
}

// What the guard assumes of the parser: it accepts these tokens and so would
// recurse into the arrays after them, and it honours backslashes inside
// expressions as the guard does.
TEST(JsonGuard, ParserAcceptsTheTokensTheGuardSkips) {
    for (char const* text : {"{a: /\"/, b: [[1]]}", "{a: '\"', b: [[1]]}", "{a: /x\\//, b: [[1]]}"})
        EXPECT_NO_THROW(mongo::fromjson(text)) << text;
}

TEST(JsonGuard, CutsLongTextVisibly) {
    EXPECT_EQ("short", cut_text("short", 200));
    EXPECT_EQ(std::string(200, 'x'), cut_text(std::string(200, 'x'), 200));
    EXPECT_EQ(std::string(200, 'x') + "... (cut)", cut_text(std::string(201, 'x'), 200));
}

}  // namespace
