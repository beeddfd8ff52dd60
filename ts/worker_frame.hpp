#ifndef ORV_TS_WORKER_FRAME_HPP
#define ORV_TS_WORKER_FRAME_HPP

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv {
namespace ts {

// The byte format of the worker channel. A request frame is
//   A (1 byte), action (A bytes), L (1 byte), client address (L bytes),
//   B (4 bytes, big-endian), body (B bytes);
// a reply is R (4 bytes, big-endian), R reply bytes and one completion byte.

std::size_t const MAX_ACTION_SIZE = 0xff;
std::uint64_t const MAX_BODY_SIZE = 0xffffffffULL;
std::size_t const REPLY_SIZE_BYTES = 4;

// The text with which a request of these sizes is refused, or nullptr when
// it fits a frame.
char const* frame_refusal(std::size_t action_size, std::uint64_t body_size);

// Appends the frame of one request up to its body, which follows it on the
// wire. The sizes must have passed frame_refusal; an address that does not
// fit its length byte raises orv::Exception rather than desynchronise the
// channel.
void append_request_head(std::string& out, std::string const& action, std::string const& address,
                         std::uint32_t body_size);

// The 32-bit big-endian number in the first four bytes.
std::uint32_t decode_reply_size(char const* bytes);

}  // namespace ts
}  // namespace orv

#endif
