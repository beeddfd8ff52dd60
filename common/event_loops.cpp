#include "common/event_loops.hpp"

#include <sched.h>

namespace orv {

namespace {

// Which loop the calling thread runs; null on threads that run none.
thread_local boost::asio::io_context* running_loop = nullptr;

}  // namespace

EventLoops::EventLoops(std::size_t count) {
    for (std::size_t i = 0; i < (count == 0 ? 1 : count); ++i) {
        // One thread per io_context: its internals need no locking.
        loops_.emplace_back(new boost::asio::io_context(1));
        if (i != 0) guards_.emplace_back(loops_.back()->get_executor());
    }
}

EventLoops::~EventLoops() {
    stop();
    join();
}

std::vector<boost::asio::io_context*> EventLoops::all() {
    std::vector<boost::asio::io_context*> loops;
    for (auto const& loop : loops_) loops.push_back(loop.get());
    return loops;
}

boost::asio::io_context& EventLoops::current() { return running_loop != nullptr ? *running_loop : primary(); }

void EventLoops::start() {
    for (auto const& loop : loops_) {
        boost::asio::io_context* const context = loop.get();
        threads_.create_thread([context] {
            running_loop = context;
            context->run();
            running_loop = nullptr;
        });
    }
}

void EventLoops::release() {
    for (Guard& guard : guards_) guard.reset();
}

void EventLoops::stop() {
    for (auto const& loop : loops_) loop->stop();
}

void EventLoops::join() { threads_.join_all(); }

std::size_t affinity_cpu_count() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
    int const count = CPU_COUNT(&cpus);
    return count > 0 ? static_cast<std::size_t>(count) : 1;
}

}  // namespace orv
