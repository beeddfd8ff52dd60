#ifndef ORV_COMMON_CONTINUATION_HPP
#define ORV_COMMON_CONTINUATION_HPP

#include <utility>

namespace orv {

// Marks a completion handler as the continuation of the handler that starts
// its operation. An operation that completes at once (a read whose bytes had
// already arrived) then queues its handler on the same pool thread, to run
// after the current one, instead of waking another thread for it.
template <typename Handler>
class Continuation {
public:
    explicit Continuation(Handler handler) : handler_(std::move(handler)) {}

    template <typename... Args>
    void operator()(Args&&... args) {
        handler_(std::forward<Args>(args)...);
    }

    // Found by the event loop's customisation lookup.
    friend bool asio_handler_is_continuation(Continuation*) { return true; }

private:
    Handler handler_;
};

template <typename Handler>
Continuation<Handler> as_continuation(Handler handler) {
    return Continuation<Handler>(std::move(handler));
}

}  // namespace orv

#endif
