#ifndef ORV_TESTS_SUPPORT_RUN_PROGRAM_HPP
#define ORV_TESTS_SUPPORT_RUN_PROGRAM_HPP

#include <sys/wait.h>

#include <chrono>
#include <string>
#include <vector>

namespace orv {
namespace test {

// What a finished program left: its wait status and both output streams.
struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;

    // The exit code, or -1 unless the program exited normally.
    int exit_code() const;
};

// Whether a wait status (-1: none) says the process exited with this code.
inline bool exited_with(int status, int code) { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

// Runs argv[0] (an absolute path) with the arguments to its end, with the
// test's environment plus `env` entries ("NAME=value"), in `directory` when
// one is given, with /dev/null as standard input and no other descriptor of
// the test's. A program still running after `limit` is killed (and the
// test told so through a status of -1).
ProgramRun run_program(std::vector<std::string> const& argv, std::vector<std::string> const& env = {},
                std::string const& directory = "", std::chrono::seconds limit = std::chrono::seconds(30));

// A file's whole contents; "" when it cannot be read.
std::string read_file(std::string const& path);

// The peak resident size (VmHWM) of a process ("self": this one), in KiB;
// -1 when it cannot be read.
long peak_rss_kib(std::string const& pid = "self");

}  // namespace test
}  // namespace orv

#endif
