#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "request_fuzz_harness.hpp"
#include "tests/fuzz_inputs.hpp"

namespace {

// Replays the seed corpus and every input the fuzzer ever crashed on through
// the fuzz harness, which aborts when a parser invariant breaks.
TEST(FuzzRegression, RequestInputsStaySound) {
    std::size_t replayed = 0;
    for (auto const& input : orv::test::fuzz_inputs(ORV_FUZZ_DIR, "request")) {
        SCOPED_TRACE(input.first);
        orv::fuzz::fuzz_request(reinterpret_cast<std::uint8_t const*>(input.second.data()), input.second.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 10u);
}

}  // namespace
