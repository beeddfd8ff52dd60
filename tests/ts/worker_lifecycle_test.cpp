#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/exception.hpp"
#include "worker_test_support.hpp"

namespace orv {
namespace test {
namespace {

class WorkerLifecycle : public WorkerTest {};

// Reads what has been written to a descriptor redirected from standard error.
class StderrCapture {
public:
    StderrCapture() : saved_(::dup(2)) {
        EXPECT_EQ(::pipe(pipe_), 0);
        ::dup2(pipe_[1], 2);
    }
    void restore() {
        ::dup2(saved_, 2);
        ::close(saved_);
        ::close(pipe_[1]);
    }
    // Call once every writer has ended.
    std::string text() {
        std::string out;
        char chunk[512];
        ssize_t got;
        while ((got = ::read(pipe_[0], chunk, sizeof(chunk))) > 0) out.append(chunk, got);
        ::close(pipe_[0]);
        return out;
    }

private:
    int saved_;
    int pipe_[2];
};

TEST_F(WorkerLifecycle, ChildSeesItsCommandLineOnlyItsDescriptorsAndNoBlockedSignal) {
    // Started from a thread with every signal blocked, as the service's pool
    // threads are, and with a descriptor the child must not inherit. The
    // worker dies with the thread that forked it, so that thread lives on
    // until the exchange is over, as pool threads do.
    int stray[2];
    ASSERT_EQ(::pipe(stray), 0);
    boost::shared_ptr<Worker> worker = Worker::create(3, io_);
    std::string reply;
    std::thread starter([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        worker->start("svc", "", ORV_TEST_WORKER, {"info", "delay:0"}, fork_mutex_);
        children_.push_back(worker->pid());
        EXPECT_EQ(worker->state(), State::busy);
        reply = exchange(worker, "{}")->reply();
    });
    starter.join();
    std::string const head = std::string("{\"argv\":[\"") + ORV_TEST_WORKER + "\",\"svc\",\"\",\"3\",\"";
    ASSERT_EQ(reply.compare(0, head.size(), head), 0) << reply;
    std::string const fd = reply.substr(head.size(), reply.find('"', head.size()) - head.size());
    ASSERT_FALSE(fd.empty());
    std::string const rest = fd + "\",\"info\",\"delay:0\"],\"fds\":[0,1,2," + fd +
                             "],\"blocked\":[],\"ignored\":[";
    EXPECT_EQ(reply.substr(head.size(), rest.size()), rest);
    EXPECT_EQ(reply.substr(reply.size() - 2), "]}");
    EXPECT_EQ(worker->state(), State::idle);
    ::close(stray[0]);
    ::close(stray[1]);
}

TEST_F(WorkerLifecycle, MissingProgramIsReportedByTheChildAndFailsTheFirstRequest) {
    LogCapture log;
    StderrCapture err;
    boost::shared_ptr<Worker> worker = Worker::create(5, io_);
    worker->start("svc", "", "/nonexistent/orv-worker", {}, fork_mutex_);
    err.restore();
    EXPECT_EQ(worker->state(), State::busy);
    EXPECT_EQ(worker->connection_state(), ConnectionState::idle);

    int const status = reap(worker->pid());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(err.text(), "Failed to start worker #5 /nonexistent/orv-worker: No such file or directory.\n");

    // The child is gone, so the request write meets a closed peer.
    OutcomePtr outcome = exchange(worker, "{}");
    EXPECT_EQ(outcome->calls(), 1u);
    EXPECT_EQ(outcome->error(), "Service unavailable.");
    EXPECT_EQ(worker->state(), State::error);
    EXPECT_EQ(log.count(google::GLOG_ERROR, "Failed to send a request to worker #5: Broken pipe"), 1);
}

TEST_F(WorkerLifecycle, SecondStartIsRefusedAndLeavesTheProcessServing) {
    boost::shared_ptr<Worker> worker = start_worker({"echo"});
    pid_t const pid = worker->pid();
    EXPECT_THROW(worker->start("svc", "grp", ORV_TEST_WORKER, {}, fork_mutex_), LogicalError);
    EXPECT_EQ(worker->pid(), pid);
    EXPECT_EQ(worker->state(), State::busy);
    EXPECT_EQ(exchange(worker, "still here")->reply(), "still here");
}

TEST_F(WorkerLifecycle, SocketPairFailureLeavesErrorWithoutProcess) {
#ifdef __SANITIZE_ADDRESS__
    // UndefinedBehaviorSanitizer probes memory through a pipe when it checks
    // a dynamic type; without a free descriptor every such check fails.
    GTEST_SKIP() << "needs descriptors to be scarce, which the sanitizer runtime cannot bear";
#endif
    boost::shared_ptr<Worker> worker = Worker::create(1, io_);
    // With the descriptor limit just above the lowest free number, only one
    // more descriptor can be made and the pair cannot.
    int const lowest = ::open("/dev/null", O_RDONLY);
    ::close(lowest);
    struct rlimit saved;
    ::getrlimit(RLIMIT_NOFILE, &saved);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest) + 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::string message;
    try {
        worker->start("svc", "grp", ORV_TEST_WORKER, {}, fork_mutex_);
    } catch (std::exception const& e) {
        message = e.what();
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_EQ(message, "Unable to create a socket pair: Too many open files.");
    EXPECT_EQ(worker->state(), State::error);
    EXPECT_EQ(worker->pid(), 0);
    EXPECT_FALSE(worker->try_acquire_for_request());
    EXPECT_TRUE(worker->kill());  // nothing to signal
    // The fork lock was released: an exclusive holder gets it at once.
    EXPECT_TRUE(fork_mutex_.try_lock());
    fork_mutex_.unlock();
}

// Without a process: only an idle worker can be reserved, and kill() fails
// for a worker never started but succeeds for one with no process known.
TEST_F(WorkerLifecycle, OnlyAnIdleWorkerCanBeReservedAndKillNeedsAProcess) {
    boost::shared_ptr<Worker> worker = Worker::create(0, io_);
    EXPECT_FALSE(worker->try_acquire_for_request());
    EXPECT_EQ(worker->state(), State::created);
    EXPECT_FALSE(worker->kill());  // never started
    for (State state : {State::busy, State::error, State::terminating}) {
        worker->set_state(state, ConnectionState::idle);
        EXPECT_FALSE(worker->try_acquire_for_request());
        EXPECT_FALSE(worker->try_acquire_for_termination());
        EXPECT_EQ(worker->state(), state);
    }
    worker->set_state(State::idle, ConnectionState::idle);
    EXPECT_TRUE(worker->try_acquire_for_termination());
    EXPECT_EQ(worker->state(), State::terminating);
    worker->set_state(State::error, ConnectionState::idle);
    EXPECT_TRUE(worker->kill());  // no process known
    EXPECT_FALSE(worker->kill_attempted());
}

TEST_F(WorkerLifecycle, OfTwoThreadsRacingForAnIdleWorkerExactlyOneWins) {
    boost::shared_ptr<Worker> worker = Worker::create(0, io_);
    for (int round = 0; round < 200; ++round) {
        worker->set_state(State::idle, ConnectionState::idle);
        std::atomic<int> ready(0);
        bool won[2] = {false, false};
        auto contender = [&](int i) {
            ++ready;
            while (ready < 2) {
            }
            won[i] = i == 0 ? worker->try_acquire_for_request() : worker->try_acquire_for_termination();
        };
        std::thread a(contender, 0), b(contender, 1);
        a.join();
        b.join();
        ASSERT_NE(won[0], won[1]) << "round " << round;
        EXPECT_EQ(worker->state(), won[0] ? State::busy : State::terminating);
    }
}

TEST_F(WorkerLifecycle, KillEscalatesFromSigtermToSigkillAfterTenSeconds) {
    LogCapture log;
    boost::shared_ptr<Worker> worker = start_worker({"ignore-term"}, 2);
    exchange(worker, "{}");  // once answered, SIGTERM is surely ignored
    ASSERT_TRUE(worker->try_acquire_for_termination());
    pid_t const pid = worker->pid();
    std::string const name = "worker #2 [" + std::to_string(pid) + "]...";
    Worker::TimePoint now(std::chrono::seconds(1000));
    worker->set_clock([&] { return now; });

    EXPECT_FALSE(worker->kill_attempted());
    EXPECT_FALSE(worker->kill());
    EXPECT_TRUE(worker->kill_attempted());
    now += std::chrono::milliseconds(9999);
    EXPECT_FALSE(worker->kill());
    EXPECT_EQ(log.count(google::GLOG_INFO, "Killing " + name), 2);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "SIGTERM should have been ignored";

    now += std::chrono::milliseconds(1);
    worker->kill();
    EXPECT_EQ(log.count(google::GLOG_ERROR, "Forcing killing of " + name), 1);
    int const status = reap_child(pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    // Reaped behind the worker's back: the next attempt finds no such
    // process, clears the pid and says nothing.
    std::size_t const lines = log.lines().size();
    EXPECT_TRUE(worker->kill());
    EXPECT_EQ(worker->pid(), 0);
    EXPECT_TRUE(worker->kill());
    EXPECT_EQ(log.lines().size(), lines + 1);  // only the attempt's own line
}

}  // namespace
}  // namespace test
}  // namespace orv
