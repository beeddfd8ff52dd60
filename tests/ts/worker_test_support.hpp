#ifndef ORV_TESTS_TS_WORKER_TEST_SUPPORT_HPP
#define ORV_TESTS_TS_WORKER_TEST_SUPPORT_HPP

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/shared_mutex.hpp>
#include <glog/logging.h>
#include <gtest/gtest.h>

#include "eventually.hpp"
#include "log_capture.hpp"
#include "ts/worker.hpp"

namespace orv {
namespace test {

using ts::Worker;
typedef Worker::State State;
typedef Worker::ConnectionState ConnectionState;

// What one request's callbacks received; they run on I/O threads.
struct Outcome {
    mutable std::mutex mutex;
    std::vector<std::string> replies;
    std::vector<std::string> errors;       // what() of each error
    std::vector<bool> unavailable;         // whether each error was ServiceUnavailableError

    std::size_t calls() const;
    std::string reply() const;             // the first reply, "" if none
    std::string error() const;             // the first error, "" if none
};
typedef std::shared_ptr<Outcome> OutcomePtr;

// Callbacks that record into the outcome (and keep it alive while stored).
net::messaging::ReplyCallback record_reply(OutcomePtr const& outcome);
net::messaging::ErrorCallback record_error(OutcomePtr const& outcome);

// Waits for a child with a bound, killing it if it outlives the bound;
// returns its wait status.
int reap(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Runs an io_context on two threads, as the service's pool does, starts
// workers on it, and kills and reaps every child at the end.
class WorkerTest : public testing::Test {
protected:
    WorkerTest();
    ~WorkerTest() override;

    // Starts the test worker with these behaviour words.
    boost::shared_ptr<ts::Worker> start_worker(std::vector<std::string> const& behaviour,
                                               int number = 0);
    boost::shared_ptr<ts::Worker> start_program(std::string const& program,
                                                std::vector<std::string> const& args,
                                                int number = 0);

    // Sends one request without waiting for it.
    static OutcomePtr send(boost::shared_ptr<ts::Worker> const& worker, std::string const& body,
                           std::string const& action = "run", char const* address = "192.0.2.7");
    // Sends one request and waits until its callback fired and the worker
    // has left busy or the limit passed.
    OutcomePtr exchange(boost::shared_ptr<ts::Worker> const& worker, std::string const& body,
                        std::string const& action = "run");

    // Reaps a child the test waits for itself; the fixture forgets it.
    int reap_child(pid_t pid);

    void stop_io();

    boost::asio::io_context io_;
    boost::shared_mutex fork_mutex_;
    std::vector<pid_t> children_;

private:
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

}  // namespace test
}  // namespace orv

#endif
