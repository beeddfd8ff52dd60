#ifndef ORV_HTTP_DESCRIPTOR_LIMIT_HPP
#define ORV_HTTP_DESCRIPTOR_LIMIT_HPP

namespace orv {
namespace net {
namespace http {

// Raises the soft limit on open descriptors to the hard limit, so that the
// full connection limit plus the worker sockets fit under a default soft
// limit of 1024. A failure is logged and otherwise ignored: the server then
// runs with the limit it has.
void raise_descriptor_limit();

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
