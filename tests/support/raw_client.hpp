#ifndef ORV_TESTS_RAW_CLIENT_HPP
#define ORV_TESTS_RAW_CLIENT_HPP

#include <string>

namespace orv {
namespace test {

// A plain blocking TCP client on 127.0.0.1, so tests see exactly the bytes the
// server writes. Every wait is bounded.
class RawClient {
public:
    struct Received {
        std::string data;
        // The server closed or reset the connection before the wait ended.
        bool closed;
    };

    explicit RawClient(unsigned short port);
    ~RawClient();

    RawClient(RawClient const&) = delete;
    RawClient& operator=(RawClient const&) = delete;

    // Sends all bytes; false when the peer refused them.
    bool send(std::string const& data);
    void shutdown_write();
    void close();
    // Closes with a reset instead of an orderly shutdown.
    void reset();
    // The client's own port, as the server names the peer.
    unsigned short local_port() const;

    // Reads until the server closes the connection or timeout_ms passes
    // without any new byte.
    Received receive(int timeout_ms = 5000);
    // One read of at most max_bytes, once something arrived within
    // timeout_ms: "" when nothing did or the server closed.
    std::string receive_some(std::size_t max_bytes, int timeout_ms);
    // Reads until `bytes` bytes arrived (fewer when the server closed or
    // timeout_ms passed without a new byte): one response on a connection
    // that stays open.
    std::string receive_exactly(std::size_t bytes, int timeout_ms = 5000);

private:
    int fd_;
};

// Sends a whole request and reads the whole response.
std::string round_trip(unsigned short port, std::string const& request);

}  // namespace test
}  // namespace orv

#endif
