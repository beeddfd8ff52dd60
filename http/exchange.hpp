#ifndef ORV_HTTP_EXCHANGE_HPP
#define ORV_HTTP_EXCHANGE_HPP

#include <chrono>
#include <cstddef>

#include "http/deadlines.hpp"
#include "http/request_reader.hpp"

namespace orv {
namespace net {
namespace http {

// One request and its answer on a connection: the reading of it, the
// budgets it is read under, and whether it has been answered. Every
// Responder of the request holds its exchange, so that an answer always
// goes to its own request and a second one is refused, however late it
// comes and whatever the connection serves by then. Used on the
// connection's strand only.
class Exchange {
public:
    typedef std::chrono::steady_clock Clock;

    // `began`: the connection's accept for its first request, the first
    // byte for a later one. The head and request budgets count from it.
    Exchange(Clock::time_point began, Deadlines const& deadlines);

    RequestReader& reader() { return reader_; }
    RequestReader const& reader() const { return reader_; }
    RequestParser const& request() const { return reader_.parser(); }

    // Notes what a read brought: `consumed` line bytes were taken and
    // `held` unconsumed bytes wait in the buffer. A whole line, or a body
    // step of min(remaining, one read step) bytes, moves the per-wait
    // deadline on; bytes that trickle in without completing one do not.
    void note_progress(std::size_t consumed, std::size_t held, Clock::time_point now);

    // When the wait now begun ends: at the per-wait deadline, but never
    // past the budget of the part being read.
    Clock::time_point wait_deadline() const;

    // The request line has been read: its duration counts from here.
    void mark_started(Clock::time_point now);
    Clock::duration duration(Clock::time_point now) const;

    // The head's checks that depend on the connection were made.
    bool head_checked = false;
    // Refused by the connection itself: it closes after the answer.
    bool refused = false;
    // The answer was produced; its status code, and whether the connection
    // stays open after it.
    bool responded = false;
    int status_code = 0;
    bool keeps_open = false;

private:
    Deadlines const deadlines_;
    RequestReader reader_;
    Clock::time_point const began_;
    Clock::time_point progress_deadline_;
    std::size_t step_goal_ = 0;
    Clock::time_point started_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
