// What clients can put into log lines, and how floods of one record shrink.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log_text.hpp"
#include "common/repeat_filter.hpp"

namespace {

using orv::logging::client_text;

TEST(ClientText, EscapesControlsAndCutsLongText) {
    struct {
        std::string in;
        std::string out;
    } const rows[] = {
        {"run", "run"},
        {"a\nE1206 forged", "a\\x0aE1206 forged"},
        {std::string("\r\t\0\x1f\x7f", 5), "\\x0d\\x09\\x00\\x1f\\x7f"},
        {"caf\xc3\xa9 /x?y=1", "caf\xc3\xa9 /x?y=1"},
        {std::string(256, 'a'), std::string(256, 'a')},
        {std::string(10240, 'a'), std::string(256, 'a') + "... (10240 bytes)"},
        {std::string(300, '\n'), [] {
             std::string escaped;
             for (int i = 0; i < 256; ++i) escaped += "\\x0a";
             return escaped + "... (300 bytes)";
         }()},
    };
    for (auto const& row : rows) EXPECT_EQ(row.out, client_text(row.in)) << row.out.substr(0, 40);
}

// Stands for a log file: keeps what it was given.
class FileLogger : public google::base::Logger {
public:
    void Write(bool, time_t, char const* message, std::size_t length) override { lines.emplace_back(message, length); }
    void Flush() override {}
    google::uint32 LogSize() override { return 0; }

    std::vector<std::string> lines;
};

std::string record(char severity, std::string const& text) {
    return std::string(1, severity) + "1206 23:31:36.774940 24326 ts.cpp:195] " + text + "\n";
}

// Ten thousand identical records in one second leave ten lines and one
// summary; another text, another severity and the next second pass.
TEST(RepeatFilter, SummarisesAFloodOfOneRecordOncePerSecond) {
    FileLogger file;
    orv::logging::RepeatFilter filter(&file, 10);
    std::string const crash = record('E', "Worker #0 unexpectedly terminated.");
    for (int i = 0; i < 10000; ++i) {
        filter.Write(false, 1000, crash.data(), crash.size());
        if (i % 1000 == 0) {
            std::string const other = record('I', "Child " + std::to_string(i) + " terminated.");
            filter.Write(false, 1000, other.data(), other.size());
        }
    }
    std::string const same_as_info = record('I', "Worker #0 unexpectedly terminated.");
    filter.Write(false, 1000, same_as_info.data(), same_as_info.size());
    EXPECT_EQ(21u, file.lines.size());

    filter.flush_repeats(1001);
    ASSERT_EQ(22u, file.lines.size());
    EXPECT_EQ("E1206 23:31:36.774940 24326 ts.cpp:195] Worker #0 unexpectedly terminated. (repeated 9990 more times)\n",
              file.lines.back());
    filter.flush_repeats(1002);
    EXPECT_EQ(22u, file.lines.size());
    filter.Write(false, 1003, crash.data(), crash.size());
    EXPECT_EQ(crash, file.lines.back());
}

}  // namespace
