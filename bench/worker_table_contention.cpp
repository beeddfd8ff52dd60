// How the worker table's common path scales with threads: each thread
// takes the table's lock shared, reserves the lowest-numbered idle worker,
// lets go of the lock and hands the worker back, as every request does.
// Prints one line per thread count: reservations per second in all, the
// wall time each cost, and how many found no idle worker.
//
//   worker_table_contention [SECONDS-PER-COUNT] [THREAD-COUNT...]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/shared_mutex.hpp>

#include "ts/worker.hpp"
#include "ts/worker_table.hpp"

namespace {

int const WORKERS = 100;

struct Result {
    double per_second;
    double ns_each;
    std::uint64_t missed;
};

Result measure(orv::ts::WorkerTable const& table, boost::shared_mutex& lock, int threads, double seconds) {
    std::atomic<bool> stop(false);
    std::atomic<std::uint64_t> done(0), missed(0);
    std::vector<std::thread> pool;
    auto const start = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            std::uint64_t mine = 0, none = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                boost::shared_ptr<orv::ts::Worker> worker;
                {
                    boost::shared_lock<boost::shared_mutex> shared(lock);
                    worker = table.acquire_idle();
                }
                if (!worker) {
                    ++none;
                    continue;
                }
                worker->set_state(orv::ts::Worker::State::idle, orv::ts::Worker::ConnectionState::idle);
                ++mine;
            }
            done += mine;
            missed += none;
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (std::thread& thread : pool) thread.join();
    double const wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double const ops = static_cast<double>(done.load());
    return {ops / wall, ops > 0 ? wall * 1e9 / ops : 0.0, missed.load()};
}

}  // namespace

int main(int argc, char** argv) {
    double const seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    std::vector<int> counts;
    for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {1, 2, 8, 32};

    boost::asio::io_context io;
    orv::ts::WorkerTable table;
    boost::shared_mutex lock;
    for (int n = 0; n < WORKERS; ++n) {
        boost::shared_ptr<orv::ts::Worker> worker = orv::ts::Worker::create(n, io);
        worker->set_state(orv::ts::Worker::State::idle, orv::ts::Worker::ConnectionState::idle);
        table.insert(worker);
    }
    std::printf("threads  reservations/s  ns each (wall)  none idle\n");
    for (int threads : counts) {
        Result const r = measure(table, lock, threads, seconds);
        std::printf("%7d  %14.0f  %14.1f  %9llu\n", threads, r.per_second, r.ns_each,
                    static_cast<unsigned long long>(r.missed));
    }
    return 0;
}
