#include "http/request.hpp"

#include <utility>

#include "common/exception.hpp"
#include "http/text.hpp"

namespace orv {
namespace net {
namespace http {

using detail::strip;
using detail::url_decode;

Request::Request(Peer const& peer, Method method, std::string const& target,
                 Headers const& headers, std::string body, Responder const& responder)
    : peer(peer),
      method(method),
      headers(headers),
      body(std::move(body)),
      responder(responder),
      cookies_parsed_(false) {
    std::string::size_type const q = target.find('?');
    path = target.substr(0, q);
    if (q != std::string::npos)
        parse_query(target.substr(q + 1));
}

// Pieces separated by "&"; a piece with an empty raw name (including an empty
// piece) is skipped. The value is everything after the first "=".
void Request::parse_query(std::string const& query) {
    std::string::size_type begin = 0;
    for (;;) {
        std::string::size_type const end = query.find('&', begin);
        std::string const piece = query.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        std::string::size_type const eq = piece.find('=');
        std::string const raw_name = piece.substr(0, eq);
        if (!raw_name.empty()) {
            std::vector<std::string>& values = query_params[url_decode(raw_name)];
            values.push_back(eq == std::string::npos ? std::string() : url_decode(piece.substr(eq + 1)));
        }
        if (end == std::string::npos)
            break;
        begin = end + 1;
    }
}

std::string Request::get_header(std::string const& name) const {
    Headers::const_iterator const it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

std::vector<std::string> const& Request::query(std::string const& name) const {
    QueryParams::const_iterator const it = query_params.find(name);
    if (it == query_params.end())
        throw Exception("Parameter %1% is not specified", name);
    return it->second;
}

std::string const& Request::query_first(std::string const& name) const {
    // A listed name always has at least one value: parse_query appends one
    // whenever it creates the entry.
    return query(name).front();
}

std::string Request::cookie(std::string const& name) const {
    if (!cookies_parsed_)
        parse_cookies();
    std::map<std::string, std::string>::const_iterator const it = cookies_.find(name);
    return it == cookies_.end() ? std::string() : it->second;
}

// Pieces separated by ";"; names and values are stripped of blanks but neither
// unquoted nor decoded. A later cookie of the same name wins.
void Request::parse_cookies() const {
    Headers::const_iterator const header = headers.find("cookie");
    if (header != headers.end()) {
        std::string const& text = header->second;
        std::string::size_type begin = 0;
        for (;;) {
            std::string::size_type const end = text.find(';', begin);
            std::string const piece = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
            std::string::size_type const eq = piece.find('=');
            if (eq != std::string::npos && eq != 0)
                cookies_[strip(piece.substr(0, eq))] = strip(piece.substr(eq + 1));
            if (end == std::string::npos)
                break;
            begin = end + 1;
        }
    }
    cookies_parsed_ = true;
}

}  // namespace http
}  // namespace net
}  // namespace orv
