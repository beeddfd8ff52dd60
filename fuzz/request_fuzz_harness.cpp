#include "request_fuzz_harness.hpp"

#include <cstdlib>
#include <string>

#include "common/exception.hpp"
#include "http/request.hpp"
#include "http/request_error.hpp"
#include "http/request_parser.hpp"
#include "http/request_reader.hpp"
#include "http/response.hpp"
#include "http/text.hpp"

namespace orv {
namespace fuzz {

namespace {

using net::http::Request;
using net::http::RequestError;
using net::http::RequestLimits;
using net::http::RequestParser;
using net::http::RequestReader;

void check(bool condition) {
    if (!condition)
        std::abort();
}

bool known_status(std::string const& status) {
    return status == "400 Bad Request" || status == "411 Length Required" ||
           status == "413 Request Entity Too Large";
}

void query_request(Request const& request, RequestParser const& parser) {
    check(parser.target().compare(0, request.path.size(), request.path) == 0);
    for (auto const& param : request.query_params) {
        check(!param.second.empty());
        check(&request.query_first(param.first) == &param.second.front());
    }
    request.cookie("a");
    request.cookie("");
    request.get_header("content-type");
    std::string const response = net::http::compose_response("200 OK", request.headers, request.body);
    check(response.compare(0, 17, "HTTP/1.0 200 OK\r\n") == 0);
}

// Feeds the bytes to a RequestReader as a connection would: first the
// first half as if the rest had not arrived yet, then everything.
void parse(std::string const& input) {
    RequestReader reader;
    std::size_t pos = 0;
    for (std::size_t const arrived : {input.size() / 2, input.size()}) {
        do {
            pos += reader.advance(input.data() + pos, arrived - pos, 64);
        } while (reader.next() == RequestReader::take_turn);
    }
    if (reader.next() != RequestReader::handle_request)
        return;  // the connection would wait for more bytes
    RequestParser const& parser = reader.parser();
    check(parser.target().size() <= RequestLimits::target);
    check(parser.version() == "1.0" || parser.version() == "1.1");
    check(parser.headers().size() <= RequestLimits::headers);
    for (auto const& header : parser.headers())
        check(header.second.size() <= RequestLimits::header_value);
    check(parser.content_length() <= RequestLimits::body);
    check(parser.method() == Request::POST || parser.content_length() == 0);

    std::string const body = input.substr(pos, parser.content_length());
    check(body.size() == parser.content_length());
    try {
        Request const request(net::http::Peer(), parser.method(), parser.target(), parser.headers(),
                              body, net::http::Responder());
        query_request(request, parser);
    } catch (RequestError const&) {
        check(false);
    } catch (Exception const& e) {
        check(std::string(e.what()) == "failed to URL decode a string");
    }
}

}  // namespace

void fuzz_request(std::uint8_t const* data, std::size_t size) {
    std::string const input(reinterpret_cast<char const*>(data), size);
    try {
        parse(input);
    } catch (RequestError const& e) {
        check(known_status(e.status));
        check(*e.what() != '\0');
    }

    // The text helpers on raw bytes as well, not only on parsed pieces.
    try {
        check(net::http::detail::url_decode(input).size() <= input.size());
    } catch (Exception const&) {
    }
    std::string const stripped = net::http::detail::strip(input);
    check(stripped.size() <= input.size());
}

}  // namespace fuzz
}  // namespace orv
