#include <sys/mount.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "common/exception.hpp"
#include "common/logging.hpp"
#include "run_program.hpp"
#include "tests/common/child.hpp"

namespace orv {
namespace test {
namespace {

std::set<std::string> list(std::string const& dir) {
    std::set<std::string> names;
    for (auto const& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

std::string link_target(std::string const& path) {
    std::error_code not_a_link;
    return std::filesystem::read_symlink(path, not_a_link).string();
}

// Each test gets a private directory that stands in for /var/log/orv inside
// its own mount namespace, so the machine's log directory is never touched.
class LoggingInit : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orv-logging-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs init(name) in a child with dir_ mounted on /var/log/orv, then
    // writes a marker to each captured stream. Returns the exit code: 3 when
    // init threw, with its text written to `report`.
    int run_init(std::string const& name, bool mount_dir = true, int report = -1) {
        return exit_code_in_child([&] {
            if (::unshare(CLONE_NEWNS) != 0) return 90;
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 91;
            ::mkdir(logging::LOG_DIR, 0755);
            if (mount_dir && ::mount(dir_.c_str(), logging::LOG_DIR, nullptr, MS_BIND, nullptr) != 0) return 92;
            if (!mount_dir && ::mount("tmpfs", "/var/log", "tmpfs", 0, nullptr) != 0) return 93;
            try {
                logging::init(name);
            } catch (Exception const& e) {
                std::string const text = e.what();
                return ::write(report, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 3 : 4;
            }
            std::fputs("to stdout\n", stdout);
            std::fflush(stdout);
            std::fputs("to stderr\n", stderr);
            logging::shutdown();
            return 0;
        });
    }

    std::string dir_;
};

TEST_F(LoggingInit, CapturesBothStreamsBehindLinks) {
    ASSERT_EQ(0, run_init("svc"));
    std::string const err = link_target(dir_ + "/svc.stderr.log");
    std::string const out = link_target(dir_ + "/svc.stdout.log");
    ASSERT_EQ(0u, err.rfind("/var/log/orv/svc.stderr.log.", 0)) << err;
    ASSERT_EQ(0u, out.rfind("/var/log/orv/svc.stdout.log.", 0)) << out;
    // Both files share one stamp: YYYYMMDD-HHMMSS.PID.
    std::string const stamp = err.substr(std::string("/var/log/orv/svc.stderr.log.").size());
    EXPECT_EQ(out, "/var/log/orv/svc.stdout.log." + stamp);
    ASSERT_GE(stamp.size(), 17u);
    EXPECT_EQ('-', stamp[8]);
    EXPECT_EQ('.', stamp[15]);
    std::string const file = dir_ + "/svc.stderr.log." + stamp;
    EXPECT_EQ("to stderr\n", read_file(file));
    EXPECT_EQ("to stdout\n", read_file(dir_ + "/svc.stdout.log." + stamp));
    struct stat info;
    ASSERT_EQ(0, ::stat(file.c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 0777);
}

TEST_F(LoggingInit, KeepsTheThreeNewestCaptureFilesPerStream) {
    for (std::string const stamp : {"20200101-000000.1", "20200101-000001.2", "20200101-000002.3"}) {
        std::ofstream(dir_ + "/svc.stderr.log." + stamp);
        std::ofstream(dir_ + "/svc.stdout.log." + stamp);
    }
    std::ofstream(dir_ + "/other.stderr.log.20100101-000000.1");
    std::ofstream(dir_ + "/svc.stderr.logX");
    ASSERT_EQ(0, run_init("svc"));
    std::set<std::string> const names = list(dir_);
    EXPECT_EQ(0u, names.count("svc.stderr.log.20200101-000000.1"));
    EXPECT_EQ(0u, names.count("svc.stdout.log.20200101-000000.1"));
    EXPECT_EQ(1u, names.count("svc.stderr.log.20200101-000001.2"));
    EXPECT_EQ(1u, names.count("svc.stdout.log.20200101-000002.3"));
    EXPECT_EQ(1u, names.count("other.stderr.log.20100101-000000.1"));
    EXPECT_EQ(1u, names.count("svc.stderr.logX"));
    int captures = 0;
    for (auto const& name : names) captures += name.rfind("svc.stderr.log.", 0) == 0;
    EXPECT_EQ(3, captures);
}

TEST_F(LoggingInit, ReplacesAFileAtTheLinkPathButReportsADirectory) {
    std::ofstream(dir_ + "/svc.stdout.log") << "stale";
    ASSERT_EQ(0, ::mkdir((dir_ + "/svc.stderr.log").c_str(), 0755));
    ASSERT_EQ(0, run_init("svc"));
    EXPECT_FALSE(link_target(dir_ + "/svc.stdout.log").empty());
    std::string capture;
    for (auto const& name : list(dir_)) {
        if (name.rfind("svc.stderr.log.", 0) == 0) capture = read_file(dir_ + "/" + name);
    }
    EXPECT_NE(std::string::npos, capture.find("Unable to delete file '/var/log/orv/svc.stderr.log': "));
    EXPECT_NE(std::string::npos, capture.find("to stderr\n"));
}

TEST_F(LoggingInit, MissingDirectoryFailsBeforeAnythingIsRedirected) {
    int code = 0;
    std::string const text = output_of_child([&](int report) { return run_init("svc", false, report); }, code);
    EXPECT_EQ(3, code);
    EXPECT_EQ(0u, text.rfind("Unable to open log file /var/log/orv/svc.stderr.log.", 0)) << text;
}

// The logging library never removes its own files: those of this service
// last written more than the kept days ago go, the rest stay.
TEST_F(LoggingInit, RemovesOverdueLibraryFiles) {
    std::time_t const old = std::time(nullptr) - 8 * 24 * 3600;
    for (std::string const name : {"svc.info20200101-000000.1.log.", "svc.error20200101-000000.1.log.",
                                   "other.info20200101-000000.1.log.", "svc.info20200102-000000.2.log."}) {
        std::ofstream(dir_ + "/" + name) << "old";
        if (name != "svc.info20200102-000000.2.log.") {
            struct timespec const times[2] = {{old, 0}, {old, 0}};
            ASSERT_EQ(0, ::utimensat(AT_FDCWD, (dir_ + "/" + name).c_str(), times, 0));
        }
    }
    ASSERT_EQ(0, exit_code_in_child([&] {
                  logging::init("svc", dir_);
                  logging::remove_overdue_logs(7);
                  logging::shutdown();
                  return 0;
              }));
    std::set<std::string> const names = list(dir_);
    EXPECT_EQ(0u, names.count("svc.info20200101-000000.1.log."));
    EXPECT_EQ(0u, names.count("svc.error20200101-000000.1.log."));
    EXPECT_EQ(1u, names.count("other.info20200101-000000.1.log."));
    EXPECT_EQ(1u, names.count("svc.info20200102-000000.2.log."));
}

}  // namespace
}  // namespace test
}  // namespace orv
