#ifndef ORV_HTTP_REQUEST_HPP
#define ORV_HTTP_REQUEST_HPP

#include <map>
#include <string>
#include <vector>

#include <boost/function.hpp>

#include "http/peer.hpp"

namespace orv {
namespace net {
namespace http {

// Sends the response of one request: status text after "HTTP/1.0 ", extra
// header fields (written in map order) and the body. Every copy keeps the
// connection alive; only the first call on a connection produces a response.
// May be called from any thread.
typedef boost::function<void(std::string, std::map<std::string, std::string> const&, std::string)>
    Responder;

// Tells the holder of a request that its client went away before the
// answer: the function given is called at most once, on an event-loop
// thread, when the peer closes or resets the connection while the request
// waits for its answer. Bytes of a next, pipelined request end the watch
// without a call: that client is still there.
typedef boost::function<void(boost::function<void()> const&)> ClientWatch;

// One completely received request as the connection hands it to the
// RequestHandler. It lives only for the handle() call: a handler that answers
// later copies what it needs, the responder above all.
class Request {
public:
    enum Method { GET = 0, POST = 1 };

    typedef http::Responder Responder;
    typedef std::map<std::string, std::string> Headers;
    typedef std::map<std::string, std::vector<std::string>> QueryParams;

    // Splits the target into path and decoded query parameters. Throws
    // orv::Exception "failed to URL decode a string" on a malformed escape.
    // The body is taken by value, so that a caller done with it moves it in.
    Request(Peer const& peer, Method method, std::string const& target,
            Headers const& headers, std::string body, Responder const& responder);

    // The value stored under exactly this (lower-case) name, or "".
    std::string get_header(std::string const& name) const;

    // Values of a query parameter in order of appearance; throws
    // orv::Exception "Parameter NAME is not specified" when absent.
    std::vector<std::string> const& query(std::string const& name) const;
    std::string const& query_first(std::string const& name) const;

    // The cookie's value, or "". Not thread-safe: fills a cache on first use.
    std::string cookie(std::string const& name) const;

    // The client; for a request relayed by a trusted proxy, the client the
    // proxy names.
    Peer peer;
    Method method;
    std::string path;
    QueryParams query_params;
    Headers headers;
    std::string body;
    Responder responder;
    // Empty where the connection cannot watch its client.
    ClientWatch watch_client;

private:
    void parse_query(std::string const& query);
    void parse_cookies() const;

    mutable std::map<std::string, std::string> cookies_;
    mutable bool cookies_parsed_;
};

}  // namespace http
}  // namespace net
}  // namespace orv

#endif
