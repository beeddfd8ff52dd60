#ifndef ORV_TESTS_EVENT_LOOP_HPP
#define ORV_TESTS_EVENT_LOOP_HPP

#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace orv {
namespace test {

// An io_context run by a few threads, as the daemon runs it. stop() (also run
// by the destructor) joins the threads; destroy servers only after it.
class EventLoop {
public:
    explicit EventLoop(int threads = 3);
    ~EventLoop();

    boost::asio::io_context& io() { return io_; }
    void stop();

private:
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
    std::vector<std::thread> threads_;
};

}  // namespace test
}  // namespace orv

#endif
