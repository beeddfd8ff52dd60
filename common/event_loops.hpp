#ifndef ORV_COMMON_EVENT_LOOPS_HPP
#define ORV_COMMON_EVENT_LOOPS_HPP

#include <cstddef>
#include <memory>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/thread/thread.hpp>

namespace orv {

// Independent event loops, each an io_context run by one thread of its own,
// so that whatever a loop owns (a connection, the worker serving it) is only
// ever touched by that thread and no request needs a hand-off between
// threads. Loop 0 is the primary: what belongs to no connection (timers of
// the whole service, signals) runs there.
class EventLoops {
public:
    explicit EventLoops(std::size_t count);
    ~EventLoops();

    EventLoops(EventLoops const&) = delete;
    EventLoops& operator=(EventLoops const&) = delete;

    std::size_t size() const { return loops_.size(); }
    boost::asio::io_context& at(std::size_t index) { return *loops_[index]; }
    boost::asio::io_context& primary() { return *loops_.front(); }
    std::vector<boost::asio::io_context*> all();

    // The loop whose thread calls; the primary on any other thread.
    boost::asio::io_context& current();

    // Starts one thread per loop. The secondary loops keep running while
    // they have nothing to do until release() lets them run out of work;
    // the primary returns as soon as it has none.
    void start();
    // Lets the secondary loops end once their work is done.
    void release();
    // Stops every loop at once (a failed start).
    void stop();
    void join();

private:
    typedef boost::asio::executor_work_guard<boost::asio::io_context::executor_type> Guard;

    std::vector<std::unique_ptr<boost::asio::io_context>> loops_;
    std::vector<Guard> guards_;
    boost::thread_group threads_;
};

// How many CPUs the process may run on (its affinity mask), at least 1.
std::size_t affinity_cpu_count();

}  // namespace orv

#endif
