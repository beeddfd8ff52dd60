#include <glog/logging.h>
#include <gtest/gtest.h>

#if defined(__SANITIZE_THREAD__)
// The C library guards its time-zone state with a lock of its own that
// ThreadSanitizer cannot see; every log line reaches it through the logging
// library's time stamp.
extern "C" char const* __tsan_default_suppressions() { return "race:tzset_internal\n"; }
#endif

// The logging library may be initialised only once per process.
int main(int argc, char** argv) {
    FLAGS_logtostderr = true;
    google::InitGoogleLogging(argv[0]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
