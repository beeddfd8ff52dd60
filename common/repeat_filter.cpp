#include "common/repeat_filter.hpp"

#include <cstring>

namespace orv {
namespace logging {

namespace {

// Distinct texts followed within one second; beyond them records pass
// unfiltered rather than let the table grow.
std::size_t const MAX_TEXTS = 1024;

// A record reads "I1206 23:31:36.774940 24326 file.cpp:35] text\n": what
// makes two records the same is the severity and everything after "] ".
std::string identity(char const* message, std::size_t length) {
    char const* const end = message + length;
    char const* text = static_cast<char const*>(::memmem(message, length, "] ", 2));
    text = text == nullptr ? message : text + 2;
    std::string key(1, length > 0 ? message[0] : ' ');
    key.append(text, end);
    return key;
}

}  // namespace

RepeatFilter::RepeatFilter(google::base::Logger* file, std::size_t limit)
    : file_(file), limit_(limit), second_(0) {}

void RepeatFilter::Write(bool force_flush, time_t timestamp, char const* message, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (timestamp != second_) {
        close_second();
        second_ = timestamp;
    }
    if (seen_.size() < MAX_TEXTS || seen_.count(identity(message, length)) != 0) {
        Seen& seen = seen_[identity(message, length)];
        if (seen.written == limit_) {
            ++seen.held;
            seen.last_held.assign(message, length);
            return;
        }
        ++seen.written;
    }
    file_->Write(force_flush, timestamp, message, length);
}

void RepeatFilter::Flush() { file_->Flush(); }

google::uint32 RepeatFilter::LogSize() { return file_->LogSize(); }

void RepeatFilter::flush_repeats(time_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (now == second_) return;
    close_second();
    second_ = now;
}

// Called with mutex_ held.
void RepeatFilter::close_second() {
    for (auto const& entry : seen_) {
        Seen const& seen = entry.second;
        if (seen.held == 0) continue;
        std::string line = seen.last_held;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        line += " (repeated " + std::to_string(seen.held) + " more times)\n";
        file_->Write(true, second_, line.data(), line.size());
    }
    seen_.clear();
}

}  // namespace logging
}  // namespace orv
