#include <string>

#include <gtest/gtest.h>

#include "common/exception.hpp"
#include "ts/worker_frame.hpp"

namespace orv {
namespace ts {
namespace {

std::string frame(std::string const& action, std::string const& address, std::string const& body) {
    std::string out;
    append_request_frame(out, action, address, body);
    return out;
}

TEST(WorkerFrame, EncodesFieldsWithLengthsAndBigEndianBodySize) {
    EXPECT_EQ(frame("run", "192.0.2.7", "{}"),
              std::string("\x03run\x09" "192.0.2.7\x00\x00\x00\x02{}", 20));
    EXPECT_EQ(frame("", "10.0.0.1", ""), std::string("\x00\x08" "10.0.0.1\x00\x00\x00\x00", 14));

    std::string const body(0x010203, 'b');
    std::string const big = frame("a", "::1", body);
    EXPECT_EQ(big.substr(0, 10), std::string("\x01" "a\x03::1\x00\x01\x02\x03", 10));
    EXPECT_EQ(big.size(), 10 + body.size());

    // Bytes above 0x7f in the action or body go through untouched.
    EXPECT_EQ(frame("\xff", "h", "\x80"), std::string("\x01\xff\x01h\x00\x00\x00\x01\x80", 9));
}

TEST(WorkerFrame, RefusesWhatDoesNotFitItsLengthField) {
    EXPECT_EQ(frame_refusal(255, 0xffffffffULL), nullptr);
    EXPECT_STREQ(frame_refusal(256, 0), "Request action is too long.");
    EXPECT_STREQ(frame_refusal(0, 0x100000000ULL), "Request is too big.");
    EXPECT_STREQ(frame_refusal(300, 0x100000000ULL), "Request action is too long.");

    std::string const action(255, 'a');
    EXPECT_EQ(static_cast<unsigned char>(frame(action, "h", "")[0]), 255);
    EXPECT_THROW(frame("a", std::string(256, '1'), ""), Exception);
}

}  // namespace
}  // namespace ts
}  // namespace orv
