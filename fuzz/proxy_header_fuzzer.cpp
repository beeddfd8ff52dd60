#include <cstddef>
#include <cstdint>

#include "proxy_fuzz_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    orv::fuzz::fuzz_proxy(data, size);
    return 0;
}
