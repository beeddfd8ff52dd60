#include "http/refusal_log.hpp"

#include <algorithm>
#include <cstring>
#include <sstream>

#include <boost/asio/ip/address.hpp>
#include <boost/bind/bind.hpp>
#include <glog/logging.h>

namespace orv {
namespace net {
namespace http {

namespace asio = boost::asio;

namespace {

// A UNIX-socket peer has no address: it is counted as the unspecified one
// and named "unix".
asio::ip::address address_of(Peer const& peer) {
    if (peer.family == Peer::ipv4) {
        asio::ip::address_v4::bytes_type bytes;
        std::memcpy(bytes.data(), peer.bytes.data(), bytes.size());
        return asio::ip::address_v4(bytes);
    }
    if (peer.family == Peer::ipv6) {
        asio::ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), peer.bytes.data(), bytes.size());
        return asio::ip::address_v6(bytes);
    }
    return asio::ip::address();
}

std::string name_of(asio::ip::address const& address) {
    return address.is_unspecified() ? "unix" : address.to_string();
}

}  // namespace

RefusalLog::RefusalLog(asio::io_context& io) : timer_(io), armed_(false), stopped_(false) {}

void RefusalLog::refused(Cause cause, std::string const& name, Peer const& peer, char const* reason) {
    bool opened = false;
    if (counters_[cause].refused(RefusalCounter::Clock::now(), address_of(peer), reason, opened))
        LOG(ERROR) << "Failed to handle a client connection from " << name << ": " << reason;
    if (opened)
        arm_timer();
}

void RefusalLog::stop() {
    {
        boost::mutex::scoped_lock lock(mutex_);
        stopped_ = true;
        timer_.cancel();
    }
    report(true);
}

// One timer for every cause, due when the earliest counted second ends.
void RefusalLog::arm_timer() {
    boost::mutex::scoped_lock lock(mutex_);
    if (stopped_)
        return;
    RefusalCounter::Clock::time_point due = RefusalCounter::Clock::time_point::max();
    for (RefusalCounter const& counter : counters_) {
        if (counter.counting())
            due = std::min(due, counter.due());
    }
    if (due == RefusalCounter::Clock::time_point::max())
        return;
    if (armed_ && timer_.expiry() <= due)
        return;
    armed_ = true;
    timer_.expires_at(due);
    timer_.async_wait(boost::bind(&RefusalLog::handle_timer, this, boost::placeholders::_1));
}

void RefusalLog::handle_timer(boost::system::error_code const& ec) {
    if (ec == asio::error::operation_aborted)
        return;  // stopped, or re-armed for an earlier second
    {
        boost::mutex::scoped_lock lock(mutex_);
        armed_ = false;
    }
    report(false);
}

void RefusalLog::report(bool last) {
    bool counting = false;
    for (RefusalCounter& counter : counters_) {
        RefusalCounter::Summary summary;
        counting = counter.flush(RefusalCounter::Clock::now(), summary, last) || counting;
        if (summary.count == 0)
            continue;
        std::ostringstream from;
        for (std::size_t i = 0; i < summary.named; ++i)
            from << (i == 0 ? "" : i + 1 == summary.named ? " and " : ", ") << name_of(summary.most[i]);
        LOG(ERROR) << "Failed to handle " << summary.count << " more client connection"
                   << (summary.count == 1 ? "" : "s") << " in the last second: " << summary.reason
                   << " Most came from " << from.str() << ".";
    }
    if (counting)
        arm_timer();
}

}  // namespace http
}  // namespace net
}  // namespace orv
