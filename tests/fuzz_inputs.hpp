#ifndef ORV_TESTS_FUZZ_INPUTS_HPP
#define ORV_TESTS_FUZZ_INPUTS_HPP

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace orv {
namespace test {

// The seed corpus and every crashing input kept for a fuzz target, as
// (path, contents) pairs, so the unit tests replay what the fuzzer saw.
// Hidden files (the placeholders that keep empty folders) are skipped; a
// missing folder throws, which fails the calling test.
inline std::vector<std::pair<std::string, std::string>> fuzz_inputs(std::string const& fuzz_dir,
                                                                    std::string const& target) {
    namespace fs = std::filesystem;
    std::vector<std::pair<std::string, std::string>> inputs;
    for (char const* kind : {"corpus", "regressions"}) {
        fs::path const dir = fs::path(fuzz_dir) / kind / target;
        if (!fs::is_directory(dir)) throw std::runtime_error("missing fuzz folder " + dir.string());
        for (fs::directory_entry const& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
            std::ifstream file(entry.path(), std::ios::binary);
            inputs.emplace_back(entry.path().string(),
                                std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
        }
    }
    return inputs;
}

// Runs a fuzz target's entry on each of its inputs and returns how many
// there were; the entry aborts when an invariant breaks.
template <typename Entry>
std::size_t replay_fuzz_inputs(std::string const& fuzz_dir, std::string const& target, Entry entry) {
    std::vector<std::pair<std::string, std::string>> const inputs = fuzz_inputs(fuzz_dir, target);
    for (auto const& input : inputs) {
        SCOPED_TRACE(input.first);
        entry(reinterpret_cast<std::uint8_t const*>(input.second.data()), input.second.size());
    }
    return inputs.size();
}

}  // namespace test
}  // namespace orv

#endif
