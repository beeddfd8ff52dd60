#ifndef ORV_FUZZ_PROXY_FUZZ_HARNESS_HPP
#define ORV_FUZZ_PROXY_FUZZ_HARNESS_HPP

#include <cstddef>
#include <cstdint>

namespace orv {
namespace fuzz {

// Reads the input as the first bytes of a connection from a trusted proxy,
// and again as --trust-proxy values (the first line, split at commas) and an
// X-Forwarded-For value (the rest). Aborts when an invariant breaks.
void fuzz_proxy(std::uint8_t const* data, std::size_t size);

}  // namespace fuzz
}  // namespace orv

#endif
