#include "event_loop.hpp"

namespace orv {
namespace test {

EventLoop::EventLoop(int threads) : guard_(io_.get_executor()) {
    for (int i = 0; i < threads; ++i)
        threads_.emplace_back([this] { io_.run(); });
}

EventLoop::~EventLoop() {
    stop();
}

void EventLoop::stop() {
    guard_.reset();
    io_.stop();
    for (std::thread& thread : threads_)
        if (thread.joinable())
            thread.join();
}

}  // namespace test
}  // namespace orv
