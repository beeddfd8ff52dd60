#ifndef ORV_TS_TS_HPP
#define ORV_TS_TS_HPP

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/shared_mutex.hpp>

#include "http/server_stats.hpp"
#include "messaging/async_request_handler.hpp"
#include "messaging/server.hpp"
#include "ts/balance.hpp"
#include "ts/service_config.hpp"
#include "ts/service_stats.hpp"
#include "ts/status_handler.hpp"
#include "ts/start_throttle.hpp"
#include "ts/worker.hpp"
#include "ts/worker_table.hpp"

namespace orv {
namespace net {
namespace http {
class Server;
}  // namespace http
}  // namespace net

namespace ts {

// The daemon's core: one object per process. The constructor runs the whole
// service (event-loop pool, HTTP endpoint, worker table, signal pipe and the
// heartbeat) and returns only once the service has stopped.
//
// Threads: the constructing thread alone has the handled signals unblocked
// and otherwise only waits. The pool runs every handler. The heartbeat and
// the signal handling share one strand, so they never run at the same time;
// handle_async runs on any pool thread, concurrently with both. Locks,
// outermost first: workers_mutex_ (the table, the state, the statistics),
// fork_mutex_ (forking against reaping), each worker's own mutex.
class TaskService : public net::messaging::AsyncRequestHandler, private boost::noncopyable {
public:
    TaskService(std::string const& address, int port, std::string const& worker_program,
                std::vector<std::string> const& worker_args, std::uint64_t min_workers,
                std::uint64_t max_workers, std::string const& service_name,
                std::string const& group_name);
    explicit TaskService(ServiceConfig const& config);
    ~TaskService() override;

    // Hands the request to the lowest-numbered idle worker, or starts a new
    // one; every failure is reported through on_error.
    void handle_async(std::string const& service, std::string const& group,
                      net::http::Peer const& client,
                      std::string const& path, std::string const& body,
                      net::messaging::ReplyCallback const& on_reply,
                      net::messaging::ErrorCallback const& on_error,
                      net::http::ClientWatch const& watch_client) override;

private:
    typedef boost::asio::strand<boost::asio::io_context::executor_type> Strand;

    void run();
    boost::shared_ptr<Worker> create_worker();

    void arm_heartbeat();
    void heartbeat();
    void log_census(Census const& census, std::uint64_t max_busy) const;
    void note_replies();
    void give_memory_back(Census const& census);
    bool sweep_and_stop(bool dead_workers);

    void arm_signal_wait();
    void signal_fd_handler(boost::system::error_code const& ec);
    std::vector<int> read_signals();
    void handle_signal(int signal);
    void open_status_listener();
    StatusSnapshot status_snapshot();
    void recycle_workers();
    void finish_recycling(Census const& census);
    void reap_children();
    void child_terminated(int pid, int status);
    void cancel_signal_wait();

    ServiceConfig const config_;
    // Before everything that may count into them, so that they outlive it all.
    ServiceStats stats_;
    net::http::ServerStats http_stats_;
    std::chrono::system_clock::time_point const started_;
    Worker::Settings worker_settings_;
    // Written under workers_mutex_, read without it in a few places.
    std::atomic<int> state_;
    boost::asio::io_context io_context_;
    net::messaging::Server messaging_server_;
    // The status listener, when asked for; stopped with the service.
    std::unique_ptr<StatusHandler> status_handler_;
    std::unique_ptr<net::http::Server> status_server_;
    Strand control_;
    boost::asio::posix::stream_descriptor signal_fd_;
    boost::shared_mutex workers_mutex_;
    boost::shared_mutex fork_mutex_;
    WorkerTable workers_;
    BusyHistory busy_history_;
    // Guarded by workers_mutex_.
    StartThrottle start_throttle_;
    boost::asio::steady_timer heartbeat_timer_;
    std::uint64_t tick_;
    // SIGUSR2 marked workers for replacement and some are still there; only
    // the control strand touches it.
    bool recycling_;
    // Replies counted at the last tick; more now means a worker answered.
    std::uint64_t replies_seen_;
};

}  // namespace ts
}  // namespace orv

#endif
