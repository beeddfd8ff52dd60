#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "request_fuzz_harness.hpp"

namespace {

namespace fs = std::filesystem;

// Replays the seed corpus and every input the fuzzer ever crashed on through
// the fuzz harness, which aborts when a parser invariant breaks.
TEST(FuzzRegression, RequestInputsStaySound) {
    std::size_t replayed = 0;
    for (char const* folder : {"corpus/request", "regressions/request"}) {
        fs::path const dir = fs::path(ORV_FUZZ_DIR) / folder;
        ASSERT_TRUE(fs::is_directory(dir)) << dir;
        for (fs::directory_entry const& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.')
                continue;
            std::ifstream file(entry.path(), std::ios::binary);
            std::string const data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().string());
            orv::fuzz::fuzz_request(reinterpret_cast<std::uint8_t const*>(data.data()), data.size());
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 10u);
}

}  // namespace
