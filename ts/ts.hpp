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
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>

#include "common/event_loops.hpp"
#include "http/server_stats.hpp"
#include "messaging/async_request_handler.hpp"
#include "messaging/server.hpp"
#include "ts/balance.hpp"
#include "ts/request_queue.hpp"
#include "ts/service_config.hpp"
#include "ts/service_stats.hpp"
#include "ts/status_handler.hpp"
#include "ts/start_throttle.hpp"
#include "ts/worker.hpp"
#include "ts/worker_lifespan.hpp"
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
// and otherwise only waits. Each event loop has a thread of its own and its
// own listening socket; a connection stays on the loop that accepted it, and
// the worker serving its request is moved onto that loop, so a request's
// whole path runs on one thread. The heartbeat and the signal handling share
// one strand on loop 0, so they never run at the same time; handle_async
// runs on any loop, concurrently with both. Locks,
// outermost first: queue_mutex_ (the waiting requests), workers_mutex_ (the
// table, the state, the statistics), fork_mutex_ (forking against reaping),
// each worker's own mutex. No callback of a client is called, and no worker
// is started or sent a request, with any of the service's locks held.
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
    boost::shared_ptr<Worker> find_worker(Refusal& refusal);
    bool start_refused(Refusal& refusal) const;
    Refusal no_worker_reason();
    boost::shared_ptr<Worker> reserve_worker(Refusal& refusal);
    bool start_worker(boost::shared_ptr<Worker> const& worker, Refusal& refusal);
    bool send(boost::shared_ptr<Worker> const& worker, std::string const& client_address, std::string const& path,
              std::string const& body, net::messaging::ReplyCallback const& on_reply,
              net::messaging::ErrorCallback const& on_error, Refusal& refusal);
    void refuse(std::string const& path, Refusal const& refusal, net::messaging::ErrorCallback const& on_error);

    bool may_wait(Refusal const& refusal) const;
    bool enqueue(WaitingRequest request, net::http::ClientWatch const& watch_client);
    void serve_queue();
    bool has_serving_worker();
    void waited_too_long(std::uint64_t number);
    void client_left(std::uint64_t number);
    bool take_waiting(std::uint64_t number, WaitingRequest& request, std::atomic<std::uint64_t>& why);
    void left_queue(WaitingRequest const& request);
    void answer_refused(WaitingRequest const& request, Refusal const& refusal);

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
    void check_worker_memory();
    void keep_workers_to_the_end();
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
    // Loop 0 runs the control strand, the signal pipe, the heartbeat and
    // the status port besides its share of the connections.
    EventLoops loops_;
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
    WorkerLifespan lifespan_;
    // Requests waiting for a worker, guarded by queue_mutex_; the timers
    // of their deadlines run on the loop of the request's connection.
    boost::mutex queue_mutex_;
    RequestQueue queue_;
    // Only its duration histogram is used: how long requests waited.
    net::http::ServerStats queue_waits_;
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
