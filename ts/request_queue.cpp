#include "ts/request_queue.hpp"

#include <utility>

namespace orv {
namespace ts {

std::uint64_t RequestQueue::push(WaitingRequest request) {
    std::uint64_t const number = next_number_++;
    waiting_.emplace(number, std::move(request));
    length_ = waiting_.size();
    return number;
}

bool RequestQueue::take(std::uint64_t number, WaitingRequest& request) {
    auto const entry = waiting_.find(number);
    if (entry == waiting_.end()) return false;
    request = std::move(entry->second);
    waiting_.erase(entry);
    left(request);
    return true;
}

bool RequestQueue::take_oldest(WaitingRequest& request) {
    return !waiting_.empty() && take(waiting_.begin()->first, request);
}

std::vector<WaitingRequest> RequestQueue::take_all() {
    std::vector<WaitingRequest> all;
    for (auto& entry : waiting_) {
        all.push_back(std::move(entry.second));
        left(all.back());
    }
    waiting_.clear();
    length_ = 0;
    return all;
}

void RequestQueue::left(WaitingRequest& request) {
    length_ = waiting_.size();
    if (request.deadline) request.deadline->cancel();
}

}  // namespace ts
}  // namespace orv
