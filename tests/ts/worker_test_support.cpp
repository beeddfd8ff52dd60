#include "worker_test_support.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

#include <boost/asio/ip/address.hpp>

#include "common/exception.hpp"

namespace orv {
namespace test {

std::size_t Outcome::calls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return replies.size() + errors.size();
}

std::string Outcome::reply() const {
    std::lock_guard<std::mutex> lock(mutex);
    return replies.empty() ? std::string() : replies.front();
}

std::string Outcome::error() const {
    std::lock_guard<std::mutex> lock(mutex);
    return errors.empty() ? std::string() : errors.front();
}

net::messaging::ReplyCallback record_reply(OutcomePtr const& outcome) {
    return [outcome](std::string const& reply) {
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->replies.push_back(reply);
    };
}

net::messaging::ErrorCallback record_error(OutcomePtr const& outcome) {
    return [outcome](std::exception const& error) {
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->errors.push_back(error.what());
        outcome->unavailable.push_back(
            dynamic_cast<net::messaging::ServiceUnavailableError const*>(&error) != nullptr);
    };
}

int reap(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    bool const exited = eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "child " << pid << " did not end in time";
    }
    return status;
}

WorkerTest::WorkerTest() : work_(io_.get_executor()) {
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
}

WorkerTest::~WorkerTest() {
    stop_io();
    for (pid_t pid : children_) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

void WorkerTest::stop_io() {
    work_.reset();
    io_.stop();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
}

boost::shared_ptr<ts::Worker> WorkerTest::start_worker(std::vector<std::string> const& behaviour,
                                                       int number) {
    return start_program(ORV_TEST_WORKER, behaviour, number);
}

boost::shared_ptr<ts::Worker> WorkerTest::start_program(std::string const& program,
                                                        std::vector<std::string> const& args,
                                                        int number) {
    boost::shared_ptr<ts::Worker> worker = ts::Worker::create(number, io_);
    worker->start("svc", "grp", program, args, fork_mutex_);
    children_.push_back(worker->pid());
    return worker;
}

OutcomePtr WorkerTest::send(boost::shared_ptr<ts::Worker> const& worker, std::string const& body,
                            std::string const& action, char const* address) {
    OutcomePtr outcome = std::make_shared<Outcome>();
    worker->send_request(address, action, body, record_reply(outcome), record_error(outcome));
    return outcome;
}

OutcomePtr WorkerTest::exchange(boost::shared_ptr<ts::Worker> const& worker,
                                std::string const& body, std::string const& action) {
    OutcomePtr outcome = send(worker, body, action);
    bool const settled = eventually(
        [&] { return outcome->calls() > 0 && worker->state() != ts::Worker::State::busy; });
    EXPECT_TRUE(settled) << "worker #" << worker->id() << " still "
                         << ts::Worker::state_name(worker->state()) << ", "
                         << ts::Worker::connection_state_name(worker->connection_state());
    return outcome;
}

int WorkerTest::reap_child(pid_t pid) {
    children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
    return reap(pid);
}

}  // namespace test
}  // namespace orv
