#ifndef ORV_TESTS_SUPPORT_RECORDER_HPP
#define ORV_TESTS_SUPPORT_RECORDER_HPP

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "eventually.hpp"

namespace orv {
namespace test {

// The core of a fake that any thread may call: it keeps a Record of every
// call and runs the behaviour the test chose on what the call was given.
template <typename Record, typename Call>
class Recorder {
public:
    typedef std::function<void(Call const&)> Behaviour;

    void set_behaviour(Behaviour const& behaviour) {
        std::lock_guard<std::mutex> lock(mutex_);
        behaviour_ = behaviour;
    }

    // Keeps the record, then runs the behaviour outside the lock, so that it
    // may call back into the fake.
    void run(Record const& record, Call const& call) {
        Behaviour behaviour;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back(record);
            behaviour = behaviour_;
        }
        if (behaviour)
            behaviour(call);
    }

    std::vector<Record> records() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }

    std::size_t count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_.size();
    }

    // Polls (bounded) until at least n calls were made.
    bool wait_for(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        return eventually([&] { return count() >= n; }, limit);
    }

    // Drops the records and the behaviour, and what they hold, outside the
    // lock; call before the event loop goes away.
    void clear() {
        std::vector<Record> dropped;
        Behaviour behaviour;
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(records_);
        behaviour.swap(behaviour_);
    }

private:
    mutable std::mutex mutex_;
    Behaviour behaviour_;
    std::vector<Record> records_;
};

}  // namespace test
}  // namespace orv

#endif
