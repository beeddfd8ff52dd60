#ifndef ORV_FUZZ_REQUEST_FUZZ_HARNESS_HPP
#define ORV_FUZZ_REQUEST_FUZZ_HARNESS_HPP

#include <cstddef>
#include <cstdint>

namespace orv {
namespace fuzz {

// Reads the input as a client's bytes the way a connection does (lines up to
// CRLF, then the declared body), builds the Request and queries it. Aborts
// when an invariant of the parser breaks; returns normally on any refusal.
void fuzz_request(std::uint8_t const* data, std::size_t size);

}  // namespace fuzz
}  // namespace orv

#endif
