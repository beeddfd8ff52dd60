#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/exception.hpp"

namespace {

int allocations = 0;
char* counting_strdup(char const* text) {
    ++allocations;
    return ::strdup(text);
}
char* failing_strdup(char const*) { return nullptr; }

// Swaps the message allocation for the duration of a test.
class AllocationSeam {
public:
    explicit AllocationSeam(char* (*allocate)(char const*)) : saved_(orv::detail::duplicate_text) {
        orv::detail::duplicate_text = allocate;
    }
    ~AllocationSeam() { orv::detail::duplicate_text = saved_; }

private:
    char* (*saved_)(char const*);
};

TEST(Exception, FormatsOneAndTwoArguments) {
    EXPECT_STREQ("Limit on number of active connections (1000) has exceeded.",
                 orv::Exception("Limit on number of active connections (%1%) has exceeded.", 1000UL).what());
    char error[] = "No such file or directory";
    EXPECT_STREQ("Unable to fork(): No such file or directory.",
                 orv::Exception("Unable to fork(): %1%.", static_cast<char*>(error)).what());
    EXPECT_STREQ("Unable to open log file /var/log/orv/x: Permission denied.",
                 orv::Exception("Unable to open log file %1%: %2%.", std::string("/var/log/orv/x"),
                                static_cast<char*>(const_cast<char*>("Permission denied")))
                     .what());
    EXPECT_STREQ("Unable read contents of /proc/self/fd: x.",
                 orv::Exception("Unable read contents of %1%: %2%.", "/proc/self/fd", "x").what());
}

TEST(Exception, PlainTextsAndEmbeddedNul) {
    EXPECT_STREQ("Worker limit has exceeded.", orv::Exception("Worker limit has exceeded.").what());
    EXPECT_STREQ("ab", orv::Exception(std::string("ab\0cd", 5)).what());
}

TEST(Exception, FailedAllocationFallsBackForTheOriginalAndEveryCopy) {
    AllocationSeam seam(failing_strdup);
    orv::Exception const failed("never stored");
    EXPECT_STREQ("Memory allocation error", failed.what());
    orv::Exception const copy(failed);
    EXPECT_STREQ("Memory allocation error", copy.what());
    orv::Exception const formatted("Unable to fork(): %1%.", "x");
    EXPECT_STREQ("Memory allocation error", formatted.what());
}

TEST(Exception, CopyOfFailedExceptionHoldsItsOwnFallbackDuplicate) {
    orv::Exception* failed;
    {
        AllocationSeam seam(failing_strdup);
        failed = new orv::Exception("never stored");
    }
    orv::Exception const copy(*failed);
    delete failed;
    EXPECT_STREQ("Memory allocation error", copy.what());
}

TEST(Exception, CopyTakesTheDynamicText) {
    orv::LogicalError const logical;
    orv::Exception const& base = logical;
    orv::Exception const copy(base);
    EXPECT_STREQ("Logical error", copy.what());
    try {
        throw orv::LogicalError();
    } catch (orv::Exception const& e) {
        EXPECT_STREQ("Logical error", e.what());
    }
}

TEST(Exception, AssignmentReplacesTextAndSurvivesSelfAssignment) {
    AllocationSeam seam(counting_strdup);
    allocations = 0;
    orv::Exception a("first");
    orv::Exception const b("second");
    a = b;
    EXPECT_STREQ("second", a.what());
    orv::Exception& same = a;
    a = same;
    EXPECT_STREQ("second", a.what());
    EXPECT_EQ(4, allocations);  // two constructions and two assignments, no hidden copies
}

TEST(Exception, EC2ExceptionKeepsTheCodePointer) {
    static char const code[] = "InvalidParameter";
    orv::EC2Exception const e(code, std::string("bad \"value\""));
    EXPECT_STREQ("bad \"value\"", e.what());
    EXPECT_EQ(code, e.code_);
    orv::EC2Exception const copy(e);
    EXPECT_EQ(code, copy.code_);
    EXPECT_STREQ("bad \"value\"", copy.what());
}

TEST(Exception, ErrorStringAndServiceUnavailable) {
    EXPECT_EQ(std::string(std::strerror(ENOENT)), orv::error_string(ENOENT));
    orv::net::messaging::ServiceUnavailableError const e("Service unavailable.");
    std::exception const& base = e;
    EXPECT_STREQ("Service unavailable.", base.what());
    EXPECT_EQ(nullptr, dynamic_cast<orv::Exception const*>(&base));
}

}  // namespace
