#include "ts/worker_frame.hpp"

#include "common/exception.hpp"

namespace orv {
namespace ts {

char const* frame_refusal(std::size_t action_size, std::uint64_t body_size) {
    if (action_size > MAX_ACTION_SIZE) return "Request action is too long.";
    if (body_size > MAX_BODY_SIZE) return "Request is too big.";
    return nullptr;
}

void append_request_head(std::string& out, std::string const& action, std::string const& address,
                         std::uint32_t body_size) {
    // Address texts are at most ~60 bytes (IPv6 with a scope name); a longer
    // one would mean a broken endpoint, and a truncated length byte would
    // shift every later byte the worker reads.
    if (address.size() > 0xff) throw Exception("Client address is too long.");
    out.push_back(static_cast<char>(action.size()));
    out.append(action);
    out.push_back(static_cast<char>(address.size()));
    out.append(address);
    out.push_back(static_cast<char>(body_size >> 24));
    out.push_back(static_cast<char>(body_size >> 16));
    out.push_back(static_cast<char>(body_size >> 8));
    out.push_back(static_cast<char>(body_size));
}

std::uint32_t decode_reply_size(char const* bytes) {
    unsigned char const* b = reinterpret_cast<unsigned char const*>(bytes);
    return static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
           static_cast<std::uint32_t>(b[2]) << 8 | static_cast<std::uint32_t>(b[3]);
}

}  // namespace ts
}  // namespace orv
