// Everything a C++ worker program needs to serve the orv task service: read
// request frames from the descriptor the service passes as argument 4, and
// answer each with its reply and the completion byte. Header-only, C++17,
// standard library and POSIX only. docs/worker-protocol.md describes the
// contract this implements.
#ifndef ORV_WORKER_HPP
#define ORV_WORKER_HPP

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

namespace orv_worker {

struct Request {
    std::string action;  // the URL path below the service, raw bytes
    std::string client;  // the HTTP client's IP address as text
    std::string body;    // the HTTP request body, raw bytes
};

class Channel {
public:
    explicit Channel(int fd) : fd_(fd) {}

    // Waits for the next request. Returns false when the service closed the
    // channel between requests (the worker should exit); throws
    // std::runtime_error on a read error or a frame cut short.
    bool read(Request& request) {
        unsigned char size = 0;
        if (!read_exact(reinterpret_cast<char*>(&size), 1, true)) return false;
        read_field(request.action, size);
        read_exact(reinterpret_cast<char*>(&size), 1, false);
        read_field(request.client, size);
        unsigned char body_size[4];
        read_exact(reinterpret_cast<char*>(body_size), 4, false);
        read_field(request.body, std::uint32_t(body_size[0]) << 24 | std::uint32_t(body_size[1]) << 16 |
                                     std::uint32_t(body_size[2]) << 8 | std::uint32_t(body_size[3]));
        return true;
    }

    // Sends the reply, then the completion byte that makes this worker
    // available for the next request.
    void reply(std::string const& text) {
        if (text.size() > 0xffffffffULL) throw std::runtime_error("reply too long for a frame");
        std::uint32_t const size = static_cast<std::uint32_t>(text.size());
        std::string frame;
        frame.reserve(text.size() + 5);
        for (int shift = 24; shift >= 0; shift -= 8) frame += static_cast<char>(size >> shift);
        frame += text;
        frame += '\0';  // the completion byte; its value carries no meaning
        write_all(frame.data(), frame.size());
    }

private:
    void read_field(std::string& field, std::size_t size) {
        field.assign(size, '\0');
        if (size > 0) read_exact(&field[0], size, false);
    }

    // Reads exactly size bytes, however the kernel splits them; false when
    // the channel is at its end before the first byte and that is allowed.
    bool read_exact(char* out, std::size_t size, bool end_allowed) {
        std::size_t done = 0;
        while (done < size) {
            ssize_t const got = ::read(fd_, out + done, size - done);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) throw std::runtime_error(std::string("read: ") + std::strerror(errno));
            if (got == 0) {
                if (done == 0 && end_allowed) return false;
                throw std::runtime_error("the service closed the channel inside a request");
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

    void write_all(char const* data, std::size_t size) {
        while (size > 0) {
            ssize_t const put = ::write(fd_, data, size);
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) throw std::runtime_error(std::string("write: ") + std::strerror(errno));
            data += put;
            size -= static_cast<std::size_t>(put);
        }
    }

    int fd_;
};

// A JSON string literal holding the given bytes: quotes, backslashes and
// control characters are escaped, and every maximal ill-formed UTF-8
// sequence becomes one U+FFFD, so the result is valid JSON whatever the
// input (the same text Python's json.dumps(bytes.decode("utf-8", "replace"),
// ensure_ascii=False) gives).
inline std::string json_string(std::string const& bytes) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < bytes.size()) {
        unsigned char const c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
            }
            ++i;
            continue;
        }
        // Sequence length and the range of the second byte that keeps it
        // well-formed (no overlongs, surrogates or values above U+10FFFF).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xbf;
        if (c >= 0xc2 && c <= 0xdf) length = 2;
        else if (c == 0xe0) length = 3, low = 0xa0;
        else if (c == 0xed) length = 3, high = 0x9f;
        else if (c >= 0xe1 && c <= 0xef) length = 3;
        else if (c == 0xf0) length = 4, low = 0x90;
        else if (c == 0xf4) length = 4, high = 0x8f;
        else if (c >= 0xf1 && c <= 0xf3) length = 4;
        std::size_t valid = 1;
        while (length > 0 && valid < length && i + valid < bytes.size()) {
            unsigned char const next = static_cast<unsigned char>(bytes[i + valid]);
            if (next < (valid == 1 ? low : 0x80) || next > (valid == 1 ? high : 0xbf)) break;
            ++valid;
        }
        if (valid == length) {
            out.append(bytes, i, length);
        } else {
            out += "\xef\xbf\xbd";
        }
        i += valid;
    }
    return out + "\"";
}

typedef std::function<std::string(Request const&)> Handler;

// Runs a worker: takes the channel descriptor from argv[4] (argv[1] to [3]
// are the service name, group name and worker number; later arguments are
// the program's own) and answers every request with handler's result until
// the service closes the channel. A handler that throws answers
// {"error":"<its message>"}, so the client still gets its reply, and writes
// a line naming the program, its pid, the action and the message to
// standard error (the daemon's capture file). Returns the exit status for
// main.
inline int serve(int argc, char** argv, Handler const& handler) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SERVICE GROUP NUMBER FD [ARG...]\n", argc > 0 ? argv[0] : "worker");
        return 2;
    }
    char* end = nullptr;
    errno = 0;
    long const fd = std::strtol(argv[4], &end, 10);
    if (errno != 0 || end == argv[4] || *end != '\0' || fd < 0 || fd > INT_MAX) {
        std::fprintf(stderr, "%s: bad channel descriptor \"%s\"\n", argv[0], argv[4]);
        return 2;
    }
    Channel channel(static_cast<int>(fd));
    try {
        Request request;
        while (channel.read(request)) {
            std::string reply;
            bool failed = true;
            std::string error;
            try {
                reply = handler(request);
                failed = false;
            } catch (std::exception const& e) {
                error = e.what();
            } catch (...) {
                error = "the handler threw something that is not a std::exception";
            }
            if (failed) {
                reply = "{\"error\":" + json_string(error) + "}";
                std::fprintf(stderr, "%s [%ld]: action %s: the handler failed: %s\n", argv[0],
                             static_cast<long>(::getpid()), json_string(request.action).c_str(),
                             json_string(error).c_str());
            }
            channel.reply(reply);
        }
    } catch (std::exception const& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}

}  // namespace orv_worker

#endif
