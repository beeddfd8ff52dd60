// The service's side of the worker channel: one request frame out, then the
// reply length, the reply and one completion byte back.

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include <boost/asio/buffer.hpp>
#include <boost/asio/completion_condition.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>
#include <glog/logging.h>

#include "common/continuation.hpp"
#include "common/exception.hpp"
#include "common/syscall.hpp"
#include "ts/worker.hpp"
#include "ts/worker_frame.hpp"

namespace orv {
namespace ts {

void Worker::send_request(std::string const& client_address, std::string const& action,
                          std::string const& body, net::messaging::ReplyCallback const& on_reply,
                          net::messaging::ErrorCallback const& on_error) {
    if (state_ != State::busy || connection_state_ != ConnectionState::idle) throw LogicalError();

    if (char const* refusal = frame_refusal(action.size(), body.size())) {
        // Back in the pool before the callback runs, so that a callback
        // that raises cannot strand the worker in busy.
        set_state(State::idle, ConnectionState::idle);
        count(Outcome::frame_refused);
        on_error(Exception(refusal));
        return;
    }

    // A worker that wrote anything since its last completion byte has lost
    // the frame boundaries: those bytes would be read as the start of this
    // request's reply.
    if (has_stray_bytes()) {
        set_state(State::error, ConnectionState::idle);
        throw Exception("Worker #%1% sent data outside a reply.", id_);
    }

    set_state(State::busy, ConnectionState::sending_request);
    try {
        data_.clear();
        append_request_head(data_, action, client_address, static_cast<std::uint32_t>(body.size()));
        {
            boost::lock_guard<boost::mutex> lock(callbacks_mutex_);
            ++request_number_;
            on_reply_ = on_reply;
            on_error_ = on_error;
            answer_owed_ = true;
        }
        arm_request_timeout();
        // The frame usually fits the socket at once, its head and the
        // caller's body in one gathering call: then the exchange goes on here
        // rather than in a handler queued for another thread, and the body is
        // never copied. A rest that has to wait (kept here, since the body is
        // the caller's), or a failure, is left to the asynchronous write.
        struct iovec const frame[2] = {{&data_[0], data_.size()}, {const_cast<char*>(body.data()), body.size()}};
        std::size_t const written = send_without_waiting(socket_.native_handle(), frame, 2);
        if (written < data_.size() + body.size()) {
            keep_unsent(written, body);
            boost::asio::async_write(socket_, boost::asio::buffer(data_),
                                     boost::bind(&Worker::handle_write, shared_from_this(),
                                                 boost::placeholders::_1));
            return;
        }
    } catch (...) {
        set_state(State::idle, ConnectionState::idle);
        throw;
    }
    handle_write(boost::system::error_code());
}

void Worker::handle_write(boost::system::error_code const& error) {
    if (error) {
        LOG(ERROR) << "Failed to send a request to worker #" << id_ << ": " << error.message();
        fail_request(Outcome::worker_failed, net::messaging::ServiceUnavailableError("Service unavailable."));
        set_state(State::error, ConnectionState::idle);
        return;  // the chain ends; the worker lives on only in the service's table
    }
    data_.clear();  // it collects the reply now
    set_state(State::busy, ConnectionState::receiving_reply_size);
    handle_read(boost::system::error_code());
}

void Worker::handle_read(boost::system::error_code const& error) {
    if (error) {
        LOG(ERROR) << "Failed to receive a reply from worker #" << id_ << ": " << error.message();
        if (connection_state_ != ConnectionState::waiting_for_completion) send_error();
        set_state(State::error, ConnectionState::idle);
        return;  // the chain ends; the worker lives on only in the service's table
    }

    std::size_t const held = buffer_.size();
    char const* const bytes = static_cast<char const*>(buffer_.data().data());
    switch (connection_state_.load()) {
    case ConnectionState::receiving_reply_size:
        if (held < REPLY_SIZE_BYTES) {
            read_at_least(REPLY_SIZE_BYTES - held);
            return;
        }
        reply_size_ = decode_reply_size(bytes);
        buffer_.consume(REPLY_SIZE_BYTES);
        if (settings_.max_reply_size != 0 && reply_size_ > settings_.max_reply_size) {
            LOG(ERROR) << "Worker #" << id_ << " announced a reply of " << reply_size_
                       << " bytes, more than the limit of " << settings_.max_reply_size << " bytes.";
            fail_request(Outcome::reply_too_big, net::messaging::ServiceUnavailableError("Service unavailable."));
            set_state(State::error, ConnectionState::idle);
            return;
        }
        // Within a limit, the reply's one buffer is taken at once: growing
        // it step by step would hold two copies while it moves.
        if (settings_.max_reply_size != 0) data_.reserve(reply_size_);
        set_state(State::busy, ConnectionState::receiving_reply);
        handle_read(error);
        return;

    case ConnectionState::receiving_reply: {
        std::size_t const moved = std::min<std::size_t>(reply_size_ - data_.size(), held);
        data_.append(bytes, moved);
        buffer_.consume(moved);
        if (data_.size() < reply_size_) {
            read_reply_rest();
            return;
        }
        deliver_reply();
        return;
    }

    case ConnectionState::waiting_for_completion:
        if (held == 0) {
            read_at_least(1);
            return;
        }
        take_completion_byte();
        return;

    default:
        LOG(ERROR) << "Failed to receive a reply from worker #" << id_ << ": logical error.";
        set_state(State::error, ConnectionState::idle);
        return;
    }
}

// Reads into buffer_, which caps every read at what still fits; a read may
// therefore complete short of bytes, and the step function reads again.
// Every read of the chain continues the handler that starts it: bytes that
// are there already are taken on this thread.
void Worker::read_at_least(std::size_t bytes) {
    boost::asio::async_read(socket_, buffer_, boost::asio::transfer_at_least(bytes),
                            as_continuation(boost::bind(&Worker::handle_read, shared_from_this(),
                                                        boost::placeholders::_1)));
}

namespace {

// Largest step of a direct read into data_: a reply length that the worker
// announces but never sends costs at most this much memory ahead of the
// bytes that did arrive.
std::size_t const DIRECT_READ_STEP = 1 << 20;

// Done once the step's part of the reply is in; until then each read may
// fill the whole buffer sequence, so that a completion byte sent with the
// reply's end arrives in the same read.
class StepCondition {
public:
    StepCondition(std::size_t step, std::size_t capacity) : step_(step), capacity_(capacity) {}

    std::size_t operator()(boost::system::error_code const& error, std::size_t transferred) const {
        return error || transferred >= step_ ? 0 : capacity_ - transferred;
    }

private:
    std::size_t step_;
    std::size_t capacity_;
};

}  // namespace

// Once the reply's length is known, the rest of the reply is read straight
// into data_, in one read for any reply up to DIRECT_READ_STEP; bytes after
// the reply (the completion byte, anything the worker sent after it) go into
// buffer_, where the step function finds them as before.
void Worker::read_reply_rest() {
    std::size_t const held = data_.size();
    std::size_t const step = std::min<std::size_t>(reply_size_ - held, DIRECT_READ_STEP);
    data_.resize(held + step);
    std::array<boost::asio::mutable_buffer, 2> buffers = {
        {boost::asio::buffer(&data_[held], step), boost::asio::mutable_buffer()}};
    if (data_.size() == reply_size_) buffers[1] = buffer_.prepare(BUFFER_SIZE - buffer_.size());
    boost::asio::async_read(socket_, buffers, StepCondition(step, step + buffers[1].size()),
                            as_continuation(boost::bind(&Worker::handle_reply_rest, shared_from_this(),
                                                        boost::placeholders::_1, boost::placeholders::_2, step)));
}

void Worker::handle_reply_rest(boost::system::error_code const& error, std::size_t transferred,
                               std::size_t step) {
    if (transferred > step) buffer_.commit(transferred - step);
    handle_read(error);
}

// Leaves in data_ what of the frame (data_, then body) is not written yet.
void Worker::keep_unsent(std::size_t written, std::string const& body) {
    if (written >= data_.size()) {
        data_.assign(body, written - data_.size(), std::string::npos);
    } else {
        data_.erase(0, written);
        data_.append(body);
    }
}

bool Worker::has_stray_bytes() {
    boost::system::error_code ignored;
    return buffer_.size() > 0 || socket_.available(ignored) > 0;
}

// The reply is whole: it leaves the worker (moved, never copied) together
// with the callback. When the completion byte came with it, the worker is
// idle again before the client hears back, so that a client sending its next
// request at once finds it free.
void Worker::deliver_reply() {
    std::string reply;
    reply.swap(data_);
    net::messaging::ReplyCallback on_reply;
    net::messaging::ErrorCallback on_error;
    // Unless the request timeout has answered already.
    bool const owed = take_callbacks(on_reply, on_error);
    if (owed) {
        request_timer_.cancel();
        ++served_;
        count(Outcome::ok);
    }
    set_state(State::busy, ConnectionState::waiting_for_completion);
    bool const finished = buffer_.size() > 0;
    if (finished) take_completion_byte();
    if (owed) send_reply(on_reply, std::move(reply));
    // Unless it was finished above, nobody else can own the worker yet.
    if (!finished) handle_read(boost::system::error_code());
}

// The completion byte: its value carries no meaning. Bytes that came after
// it in the same read break the worker here; bytes that come later are
// caught before the next request is sent. Another thread may own the worker
// once it is idle, so only the thread-safe retirement check follows.
void Worker::take_completion_byte() {
    buffer_.consume(1);
    if (buffer_.size() > 0) {
        LOG(ERROR) << "Failed to receive a reply from worker #" << id_
                   << ": unexpected data after the completion byte.";
        set_state(State::error, ConnectionState::idle);
        return;
    }
    set_state(State::idle, ConnectionState::idle);
    if (retiring_ && try_acquire_for_termination()) kill();
}

void Worker::send_reply(net::messaging::ReplyCallback const& on_reply, std::string reply) {
    try {
        on_reply(std::move(reply));
    } catch (std::exception const& e) {
        LOG(ERROR) << "Failed to send a reply to a client: " << e.what();
    }
}

void Worker::send_error() {
    fail_request(Outcome::worker_failed, net::messaging::ServiceUnavailableError("Service unavailable."));
}

// Answers the client with the error, unless someone answered it already.
void Worker::fail_request(Outcome outcome, std::exception const& error) {
    net::messaging::ReplyCallback on_reply;
    net::messaging::ErrorCallback on_error;
    if (!take_callbacks(on_reply, on_error)) return;
    request_timer_.cancel();
    count(outcome);
    try {
        on_error(error);
    } catch (std::exception const& e) {
        LOG(ERROR) << "Failed to send an error to a client: " << e.what();
    }
}

// Whoever answers the client takes the callbacks out: the read chain with
// the reply or a failure, or the request timeout (only for the request it
// was armed for), so the client hears exactly once.
bool Worker::take_callbacks(net::messaging::ReplyCallback& on_reply, net::messaging::ErrorCallback& on_error,
                            std::uint64_t request) {
    boost::lock_guard<boost::mutex> lock(callbacks_mutex_);
    if (!answer_owed_ || (request != 0 && request != request_number_)) return false;
    answer_owed_ = false;
    on_reply.swap(on_reply_);
    on_error.swap(on_error_);
    return true;
}

void Worker::count(Outcome outcome) {
    if (settings_.stats != nullptr) settings_.stats->count(outcome);
}

void Worker::arm_request_timeout() {
    if (settings_.request_timeout == std::chrono::steady_clock::duration::zero()) return;
    request_timer_.expires_after(settings_.request_timeout);
    request_timer_.async_wait(boost::bind(&Worker::handle_request_timeout, shared_from_this(),
                                          boost::placeholders::_1, request_number_.load()));
}

// The client hears 504 now; killing the group makes the read chain fail and
// the worker end in error, to be removed like any broken worker.
void Worker::handle_request_timeout(boost::system::error_code const& error, std::uint64_t request) {
    net::messaging::ReplyCallback on_reply;
    net::messaging::ErrorCallback on_error;
    if (error == boost::asio::error::operation_aborted || !take_callbacks(on_reply, on_error, request)) return;
    count(Outcome::timeout);
    LOG(ERROR) << "Worker #" << id_ << " [" << pid_ << "] did not reply within "
               << std::chrono::duration_cast<std::chrono::seconds>(settings_.request_timeout).count()
               << " s. Killing it...";
    kill_at_once();
    try {
        on_error(net::messaging::GatewayTimeoutError("The worker did not reply in time."));
    } catch (std::exception const& e) {
        LOG(ERROR) << "Failed to send an error to a client: " << e.what();
    }
}

}  // namespace ts
}  // namespace orv
