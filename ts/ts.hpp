#ifndef ORV_TS_TS_HPP
#define ORV_TS_TS_HPP

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>

#include "messaging/async_request_handler.hpp"
#include "messaging/server.hpp"
#include "ts/balance.hpp"

namespace orv {
namespace ts {

class Worker;

// The daemon's core: one object per process. The constructor runs the whole
// service (event-loop pool, HTTP endpoint, worker table, signal pipe and the
// one-second heartbeat) and returns only once the service has stopped.
class TaskService : public net::messaging::AsyncRequestHandler, private boost::noncopyable {
public:
    TaskService(std::string const& address, int port, std::string const& worker_program,
                std::vector<std::string> const& worker_args, std::uint64_t min_workers,
                std::uint64_t max_workers, std::string const& service_name,
                std::string const& group_name);
    ~TaskService() override;

    // Hands the request to the lowest-numbered idle worker, or starts a new
    // one; every failure is reported through on_error.
    void handle_async(std::string const& service, std::string const& group,
                      boost::asio::ip::tcp::endpoint const& remote_endpoint,
                      std::string const& path, std::string const& body,
                      net::messaging::ReplyCallback const& on_reply,
                      net::messaging::ErrorCallback const& on_error) override;

private:
    typedef std::map<int, boost::shared_ptr<Worker>> WorkerMap;

    void run();
    void arm_heartbeat();
    void heartbeat();
    void arm_signal_wait();
    void signal_fd_handler(boost::system::error_code const& ec);
    std::vector<int> read_signals();
    void handle_signal(int signal);
    void reap_children();
    void child_terminated(int pid);
    void cancel_signal_wait();
    boost::shared_ptr<Worker> acquire_idle_worker();
    boost::shared_ptr<Worker> create_worker();

    std::string const service_name_;
    std::string const group_name_;
    std::string const worker_program_;
    std::vector<std::string> const worker_args_;
    std::uint64_t const min_workers_;
    std::uint64_t const max_workers_;
    // Written under workers_mutex_, read without it in a few places.
    std::atomic<int> state_;
    boost::asio::io_context io_context_;
    net::messaging::Server messaging_server_;
    boost::asio::posix::stream_descriptor signal_fd_;
    // The heartbeat and the signal handler run on different pool threads and
    // both touch heartbeat_timer_ and signal_fd_, which are not safe for
    // concurrent use. This innermost lock serialises those calls; nothing
    // else is taken while it is held.
    boost::mutex io_objects_mutex_;
    boost::shared_mutex workers_mutex_;
    boost::shared_mutex fork_mutex_;
    WorkerMap workers_;
    BusyHistory busy_history_;
    boost::asio::deadline_timer heartbeat_timer_;
    std::uint64_t tick_;
};

}  // namespace ts
}  // namespace orv

#endif
