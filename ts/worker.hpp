#ifndef ORV_TS_WORKER_HPP
#define ORV_TS_WORKER_HPP

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>

#include "messaging/async_request_handler.hpp"
#include "ts/service_stats.hpp"
#include "ts/worker_identity.hpp"

namespace orv {
namespace ts {

// What the service sets for all its workers.
struct WorkerSettings {
    // How long after the first kill() a worker still there gets SIGKILL
    // instead of SIGTERM.
    std::chrono::steady_clock::duration kill_escalation = std::chrono::seconds(10);
    // Longest reply accepted; a worker that announces more is broken.
    // 0: whatever the length field allows.
    std::uint32_t max_reply_size = 0;
    // A request not answered this long after it was sent is answered
    // with 504 and the worker killed; zero: no limit.
    std::chrono::steady_clock::duration request_timeout = std::chrono::steady_clock::duration::zero();
    // Where outcomes are counted; may be null.
    ServiceStats* stats = nullptr;
    // Called, with no lock held, each time the worker is idle again and
    // free to take a request; may be empty.
    boost::function<void()> on_idle;

    // Who the worker processes run as.
    WorkerIdentity identity;
};

// One worker process and the service's end of its UNIX stream socket.
//
// Who drives a worker: while it is idle nobody does, and it leaves idle only
// inside try_acquire_for_state under mutex_, so exactly one caller wins it.
// While it is busy, the winner drives it until send_request has queued the
// write, and from then on the single chain of completion handlers does, each
// handler starting at most one further operation. Hence set_state and the
// channel members need no lock. state_ and connection_state_ are atomics so
// that the service may read them from any thread; set_state publishes the
// connection state before the state, so whoever sees a worker idle also sees
// its exchange finished.
class Worker : public boost::enable_shared_from_this<Worker>, private boost::noncopyable {
public:
    enum class State { created, idle, busy, error, terminating };
    enum class ConnectionState {
        idle,
        sending_request,
        receiving_reply_size,
        receiving_reply,
        waiting_for_completion
    };

    // The clock kill() measures its escalation with; tests replace it.
    typedef std::chrono::steady_clock::time_point TimePoint;
    typedef boost::function<TimePoint()> Clock;

    static char const* const state_names_[5];
    static char const* const connection_state_names_[5];

    // The receive buffer never holds more than this many bytes.
    static std::size_t const BUFFER_SIZE = 4096;

    typedef WorkerSettings Settings;

    static boost::shared_ptr<Worker> create(int number, boost::asio::io_context& io,
                                            Settings const& settings = Settings());

    // Forks and executes program with the arguments
    //   program service group number socket-descriptor args...
    // and leaves the worker (busy, idle): the caller sends the first request
    // at once. Raises orv::LogicalError unless the worker is created; any
    // other failure leaves it (error, idle) without a process and is raised.
    void start(std::string const& service, std::string const& group, std::string const& program,
               std::vector<std::string> const& args, boost::shared_mutex& fork_mutex);

    // Reserve an idle worker; false (and no change) for any other state, and
    // for a request also once the worker is retiring.
    bool try_acquire_for_request();
    bool try_acquire_for_termination();
    bool try_acquire_for_state(State target);

    // Marks the worker for replacement: it takes no new request, and ends as
    // soon as its exchange is over. True when it was idle and is now
    // terminating: the caller kills it.
    bool retire();
    bool retiring() const { return retiring_; }
    // The worker retires once it has answered this many requests; 0: never.
    void set_request_limit(std::uint64_t requests) { request_limit_ = requests; }

    // Asks the process to end: SIGTERM at first, SIGKILL once the kill
    // escalation has passed since the first call. Returns true when the
    // process is known to be gone, false for a worker never started.
    bool kill();

    // Sends one request on a (busy, idle) worker; exactly one of the
    // callbacks is called later, on an I/O thread. A request that does not
    // fit a frame is refused through on_error at once and the worker is idle
    // again. Raises orv::LogicalError when the worker is not (busy, idle) and
    // re-raises a failure to queue the request (worker idle again); a worker
    // found to have sent bytes outside a reply is put in error and the
    // failure raised.
    void send_request(std::string const& client_address, std::string const& action,
                      std::string const& body, net::messaging::ReplyCallback const& on_reply,
                      net::messaging::ErrorCallback const& on_error);

    // Moves the worker's channel (its socket and its request timer) onto
    // the given event loop, so that the exchange's completions run on the
    // thread of the client connection that acquired it. Only for a (busy,
    // idle) worker, which has no operation pending; a no-op when the channel
    // is there already.
    void attach(boost::asio::io_context& loop);

    int id() const { return id_; }
    pid_t pid() const { return pid_; }
    // The service's reaper clears the pid once it has reaped the process.
    void set_pid(pid_t pid) { pid_ = pid; }
    // The reaper's word that the process is gone: the pid is cleared and an
    // exchange in flight fails at once.
    void process_gone();
    State state() const { return state_; }
    ConnectionState connection_state() const { return connection_state_; }
    // Whether kill() was ever called: an exit without it is unexpected.
    bool kill_attempted() const { return kill_time_.load() != 0; }
    // Replies this worker delivered.
    std::uint64_t requests_served() const { return served_; }
    // Replaces the monotonic default clock; call before kill() is first used.
    void set_clock(Clock const& clock) { clock_ = clock; }

    static char const* state_name(State state);
    static char const* connection_state_name(ConnectionState state);

    // Moves to (state, connection_state); leaving an exchange that still
    // owes the client its answer (busy with sending-request,
    // receiving-reply-size or receiving-reply) for anything else drops the
    // stored callbacks and with them the client connection they hold.
    void set_state(State state, ConnectionState connection_state);

    // Completion of the request write, and the reply reader's step function
    // (also called directly with a success code to re-examine the buffer).
    void handle_write(boost::system::error_code const& error);
    void handle_read(boost::system::error_code const& error);

    // Hand the outcome to the callbacks; whatever they raise is logged.
    static void send_reply(net::messaging::ReplyCallback const& on_reply, std::string reply);
    void send_error();

private:
    Worker(int number, boost::asio::io_context& io, Settings const& settings);

    void read_at_least(std::size_t bytes);
    void read_reply_rest();
    void handle_reply_rest(boost::system::error_code const& error, std::size_t transferred,
                           std::size_t step);
    bool has_stray_bytes();
    void keep_unsent(std::size_t written, std::string const& body);
    bool take_callbacks(net::messaging::ReplyCallback& on_reply, net::messaging::ErrorCallback& on_error,
                        std::uint64_t request = 0);
    void count(Outcome outcome);
    void fail_request(Outcome outcome, std::exception const& error);
    void arm_request_timeout();
    void handle_request_timeout(boost::system::error_code const& error, std::uint64_t request);
    void kill_at_once();
    void deliver_reply();
    void note_served();
    bool take_completion_byte();
    void became_idle();
    void close_after_failed_start(int child_fd);

    int const id_;
    std::atomic<pid_t> pid_;
    boost::mutex mutex_;
    std::atomic<State> state_;
    std::atomic<ConnectionState> connection_state_;
    std::atomic<bool> retiring_;
    boost::asio::local::stream_protocol::socket socket_;
    // The socket's descriptor, for the reaper's shutdown from another thread
    // while attach() may be replacing the socket object; -1 before start.
    std::atomic<int> channel_fd_;
    boost::asio::streambuf buffer_;
    std::string data_;
    std::uint32_t reply_size_;
    // Guards the callbacks: the read chain and the request timeout race to
    // answer, and whoever takes them answers.
    boost::mutex callbacks_mutex_;
    net::messaging::ReplyCallback on_reply_;
    net::messaging::ErrorCallback on_error_;
    bool answer_owed_;
    boost::asio::steady_timer request_timer_;
    // Numbers requests, so that a timeout that fires late for an earlier
    // request does nothing.
    std::atomic<std::uint64_t> request_number_;
    std::atomic<std::uint64_t> served_;
    std::atomic<std::uint64_t> request_limit_;
    // The clock's reading at the first kill(), in its ticks; 0 while never.
    std::atomic<std::chrono::steady_clock::rep> kill_time_;
    Settings const settings_;
    Clock clock_;
};

}  // namespace ts
}  // namespace orv

#endif
