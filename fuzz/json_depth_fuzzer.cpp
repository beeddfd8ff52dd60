// Checks the nesting guard against the JSON parser it protects: whatever the
// guard lets through must parse (or fail) without the parser nesting deeper
// than the limit. A miss shows up as a depth above the limit or, further out,
// as a stack overflow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <mongo/bson/bson.h>
#include <mongo/db/json.h>

#include "messaging/json_guard.hpp"

namespace {

std::size_t depth_of(mongo::BSONObj const& object) {
    std::size_t deepest = 0;
    for (mongo::BSONObjIterator it(object); it.more();) {
        mongo::BSONElement const element = it.next();
        if (element.isABSONObj()) {
            std::size_t const depth = depth_of(element.Obj());
            if (depth > deepest)
                deepest = depth;
        }
    }
    return deepest + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    using orv::net::messaging::detail::MAX_JSON_DEPTH;
    std::string const text(reinterpret_cast<char const*>(data), size);
    if (orv::net::messaging::detail::nested_deeper_than(text, MAX_JSON_DEPTH))
        return 0;
    try {
        mongo::BSONObj const object = mongo::fromjson(text);
        if (depth_of(object) > MAX_JSON_DEPTH)
            std::abort();
    } catch (std::exception const&) {
    }
    return 0;
}
