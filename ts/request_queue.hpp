#ifndef ORV_TS_REQUEST_QUEUE_HPP
#define ORV_TS_REQUEST_QUEUE_HPP

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "messaging/async_request_handler.hpp"

namespace orv {
namespace ts {

// A request waiting for a worker: what the worker needs and the client's
// callbacks.
struct WaitingRequest {
    std::string path;
    std::string client_address;
    std::string body;
    net::messaging::ReplyCallback on_reply;
    net::messaging::ErrorCallback on_error;
    std::chrono::steady_clock::time_point since;
    // Expires when the request has waited long enough; cancelled as it
    // leaves the queue.
    std::shared_ptr<boost::asio::steady_timer> deadline;
};

// Requests that wait for a worker, oldest first, each under a number of its
// own so that its deadline or its client's departure can take it out. Not
// thread-safe: the service guards it with its queue mutex, and every
// operation on an entry's timer happens under that mutex too.
class RequestQueue {
public:
    explicit RequestQueue(std::size_t capacity) : capacity_(capacity) {}

    // 0: requests never wait.
    std::size_t capacity() const { return capacity_; }
    bool full() const { return waiting_.size() >= capacity_; }
    bool empty() const { return waiting_.empty(); }
    // The number waiting, also read without the service's mutex: a
    // sequentially consistent atomic, so that a worker that has just become
    // idle and reads 0 here is seen idle by whoever queued a request after.
    std::size_t length() const { return length_.load(); }

    std::uint64_t push(WaitingRequest request);
    // Take one request out, cancelling its deadline; false when it has left
    // already (or the queue is empty).
    bool take(std::uint64_t number, WaitingRequest& request);
    bool take_oldest(WaitingRequest& request);
    std::vector<WaitingRequest> take_all();

private:
    void left(WaitingRequest& request);

    std::size_t const capacity_;
    std::map<std::uint64_t, WaitingRequest> waiting_;
    std::uint64_t next_number_ = 0;
    std::atomic<std::size_t> length_{0};
};

}  // namespace ts
}  // namespace orv

#endif
