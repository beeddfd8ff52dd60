#include <cstddef>
#include <cstdint>

#include "request_fuzz_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    orv::fuzz::fuzz_request(data, size);
    return 0;
}
