#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/exception.hpp"

namespace orv {
namespace test {
namespace {

int allocations = 0;
char* counting_strdup(char const* text) {
    ++allocations;
    return ::strdup(text);
}
char* failing_strdup(char const*) { return nullptr; }

// Swaps the message allocation while it exists.
class AllocationSeam {
public:
    explicit AllocationSeam(char* (*allocate)(char const*)) : saved_(orv::detail::duplicate_text) {
        orv::detail::duplicate_text = allocate;
    }
    ~AllocationSeam() { orv::detail::duplicate_text = saved_; }

private:
    char* (*saved_)(char const*);
};

// Each argument lands in its place, in its stream form: a number, a C string
// the C library hands out (char*), a std::string.
TEST(Exception, FormatsOneAndTwoArguments) {
    char error[] = "Permission denied";
    EXPECT_STREQ("Limit on number of active connections (1000) has exceeded.",
                 Exception("Limit on number of active connections (%1%) has exceeded.", 1000UL).what());
    EXPECT_STREQ("Unable to fork(): Permission denied.",
                 Exception("Unable to fork(): %1%.", static_cast<char*>(error)).what());
    EXPECT_STREQ("Unable to open log file /var/log/orv/x: Permission denied.",
                 Exception("Unable to open log file %1%: %2%.", std::string("/var/log/orv/x"),
                           static_cast<char*>(error)).what());
}

// Without memory for the message what() falls back to a fixed text, and so
// does every copy, also one that outlives the original.
TEST(Exception, FailedAllocationFallsBackForTheOriginalAndEveryCopy) {
    std::unique_ptr<Exception> failed;
    {
        AllocationSeam seam(failing_strdup);
        failed.reset(new Exception("never stored"));
        EXPECT_STREQ("Memory allocation error", failed->what());
        EXPECT_STREQ("Memory allocation error", Exception(*failed).what());
        EXPECT_STREQ("Memory allocation error", Exception("Unable to fork(): %1%.", "x").what());
    }
    Exception const copy(*failed);
    failed.reset();
    EXPECT_STREQ("Memory allocation error", copy.what());
}

TEST(Exception, AssignmentReplacesTextAndSurvivesSelfAssignment) {
    AllocationSeam seam(counting_strdup);
    allocations = 0;
    Exception a("first");
    Exception const b("second");
    a = b;
    EXPECT_STREQ("second", a.what());
    Exception& same = a;
    a = same;
    EXPECT_STREQ("second", a.what());
    EXPECT_EQ(4, allocations);  // two constructions and two assignments, no hidden copies
}

}  // namespace
}  // namespace test
}  // namespace orv
