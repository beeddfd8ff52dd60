// A worker program for tests. It speaks the channel protocol on the
// descriptor given as argument 4 and behaves as the words after it say:
//
//   what it answers (default echo):
//     echo           the request body
//     frame          the request frame exactly as it was read
//     info           JSON: {"argv":[...],"fds":[...],"blocked":[...],"ignored":[...]}
//                    as this process sees them (ignored = signals set to SIG_IGN)
//     pid            JSON: {"pid":N} with this process's id
//     served         JSON: {"pid":N,"n":K}, K counting this process's requests from 1
//     size:N         N bytes "abc...zabc..."
//     empty          a zero-length reply
//   how it writes the answer (default: length, reply, completion byte in three writes):
//     one-write      all in one write
//     bytewise       one write per byte
//   faults:
//     crash          die by SIGKILL after reading the request, before replying
//     crash-on:NAME  the same, but only for requests to the action NAME
//     no-completion  write length and reply, then exit 0
//     half-length    write 2 bytes of the length, then exit 0
//     half-reply     write the length and the first half of the reply, then exit 0
//     trailing:N     N more bytes in the same write as the completion byte
//     late:N         N more bytes 100 ms after the completion byte
//     exit:CODE      exit at once with CODE, reading nothing
//     orphan         after reading the request, start a child that keeps the
//                    channel open for 3 s, and exit without answering
//     orphan-session the same, with the child in a session of its own
//   timing and signals:
//     delay:MS       sleep MS milliseconds before each answer
//     hang           read the request and never answer
//     stall          with size:N, write the length N and the first 10 reply
//                    bytes, then never write again
//     ignore-term    ignore SIGTERM
//     requests:N     exit 0 after answering N requests
//     chatty         write "request N" to standard error for each request
//   memory:
//     grow:MIB       take and touch MIB MiB more for each request, and keep them
//     helper:MIB     at start, fork a helper in the worker's group that holds MIB
//                    MiB until the worker is gone
// It exits 0 when the service closes the socket between requests and 2 on a
// bad command line or a broken frame.

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "orv_worker.hpp"

namespace {

struct Behaviour {
    std::string answer = "echo";
    long size = 0;
    std::string write_style = "split";
    std::string fault;
    long trailing = 0;
    long late = 0;
    long delay_ms = 0;
    long requests = -1;
    bool chatty = false;
    std::string crash_on;
    long grow_mib = 0;
};

[[noreturn]] void fail(char const* what) {
    std::fprintf(stderr, "test_worker: %s\n", what);
    std::exit(2);
}

long number_after(std::string const& word, std::size_t prefix) {
    char* end = nullptr;
    long const value = std::strtol(word.c_str() + prefix, &end, 10);
    if (end == word.c_str() + prefix || *end != '\0' || value < 0) fail("bad number");
    return value;
}

bool starts_with(std::string const& word, char const* prefix) {
    return word.compare(0, std::strlen(prefix), prefix) == 0;
}

// Memory that is really resident (every page written), and kept.
void hold(long mib) {
    static std::vector<std::vector<char>> held;
    held.emplace_back(static_cast<std::size_t>(mib) << 20, '\1');
}

void start_helper(long mib) {
    if (::fork() != 0) return;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    hold(mib);
    for (;;) ::pause();
}

Behaviour parse(int argc, char** argv) {
    Behaviour b;
    for (int i = 5; i < argc; ++i) {
        std::string const word = argv[i];
        if (word == "echo" || word == "frame" || word == "info" || word == "pid" || word == "served" ||
            word == "empty") {
            b.answer = word;
        } else if (starts_with(word, "size:")) {
            b.answer = "size";
            b.size = number_after(word, 5);
        } else if (word == "one-write" || word == "bytewise") {
            b.write_style = word;
        } else if (word == "crash" || word == "no-completion" || word == "half-length" ||
                   word == "half-reply" || word == "hang" || word == "stall" || word == "orphan" ||
                   word == "orphan-session") {
            b.fault = word;
        } else if (starts_with(word, "trailing:")) {
            b.trailing = number_after(word, 9);
        } else if (starts_with(word, "late:")) {
            b.late = number_after(word, 5);
        } else if (starts_with(word, "exit:")) {
            std::exit(static_cast<int>(number_after(word, 5)));
        } else if (starts_with(word, "delay:")) {
            b.delay_ms = number_after(word, 6);
        } else if (word == "ignore-term") {
            ::signal(SIGTERM, SIG_IGN);
        } else if (starts_with(word, "crash-on:")) {
            b.crash_on = word.substr(9);
        } else if (word == "chatty") {
            b.chatty = true;
        } else if (starts_with(word, "requests:")) {
            b.requests = number_after(word, 9);
        } else if (starts_with(word, "grow:")) {
            b.grow_mib = number_after(word, 5);
        } else if (starts_with(word, "helper:")) {
            start_helper(number_after(word, 7));
        } else {
            fail("unknown behaviour");
        }
    }
    return b;
}

// Reads exactly size bytes; false on end of file before the first byte.
bool read_exact(int fd, char* out, std::size_t size, bool eof_allowed) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t const got = ::read(fd, out + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail("read failed");
        if (got == 0) {
            if (done == 0 && eof_allowed) return false;
            fail("end of file inside a frame");
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

void write_exact(int fd, char const* data, std::size_t size) {
    while (size > 0) {
        ssize_t const put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) std::exit(3);  // the service went away
        data += put;
        size -= static_cast<std::size_t>(put);
    }
}

std::string json_numbers(std::vector<int> const& numbers) {
    std::string out = "[";
    for (std::size_t i = 0; i < numbers.size(); ++i) out += (i ? "," : "") + std::to_string(numbers[i]);
    return out + "]";
}

std::string info(int argc, char** argv) {
    std::string out = "{\"argv\":[";
    for (int i = 0; i < argc; ++i) out += (i ? "," : "") + orv_worker::json_string(argv[i]);
    std::vector<int> fds;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (struct dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            int const fd = std::atoi(entry->d_name);
            if (fd != ::dirfd(dir)) fds.push_back(fd);
        }
        ::closedir(dir);
    }
    std::sort(fds.begin(), fds.end());
    sigset_t mask;
    ::sigprocmask(SIG_BLOCK, nullptr, &mask);
    std::vector<int> blocked, ignored;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (::sigismember(&mask, signal) == 1) blocked.push_back(signal);
        struct sigaction action;
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            ignored.push_back(signal);
        }
    }
    return out + "],\"fds\":" + json_numbers(fds) + ",\"blocked\":" + json_numbers(blocked) +
           ",\"ignored\":" + json_numbers(ignored) + "}";
}

void append_size(std::string& out, std::uint32_t size) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(size >> shift);
}

// Reads one request frame; false when the service closed the socket instead.
bool read_frame(int fd, std::string& frame, std::string& body) {
    unsigned char length = 0;
    if (!read_exact(fd, reinterpret_cast<char*>(&length), 1, true)) return false;
    frame.assign(1, static_cast<char>(length));
    std::string part(length + 1u, '\0');
    read_exact(fd, &part[0], part.size(), false);  // action and address length
    frame += part;
    part.assign(static_cast<unsigned char>(frame.back()) + 4u, '\0');
    read_exact(fd, &part[0], part.size(), false);  // address and body length
    frame += part;
    std::size_t const tail = frame.size() - 4;
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size = size << 8 | static_cast<unsigned char>(frame[tail + i]);
    body.assign(size, '\0');
    if (size > 0) read_exact(fd, &body[0], size, false);
    frame += body;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) fail("usage: test_worker SERVICE GROUP NUMBER FD [BEHAVIOUR...]");
    int const fd = std::atoi(argv[4]);
    Behaviour const b = parse(argc, argv);

    std::string frame, body;
    for (long served = 0; b.requests < 0 || served < b.requests; ++served) {
        if (!read_frame(fd, frame, body)) return 0;
        if (b.chatty) std::fprintf(stderr, "request %ld\n", served + 1);
        std::string const action = frame.substr(1, static_cast<unsigned char>(frame[0]));
        if (b.fault == "crash" || (!b.crash_on.empty() && action == b.crash_on)) ::raise(SIGKILL);
        if (b.fault == "orphan" || b.fault == "orphan-session") {
            if (::fork() == 0) {
                if (b.fault == "orphan-session") ::setsid();
                std::this_thread::sleep_for(std::chrono::seconds(3));
                ::_exit(0);
            }
            return 0;
        }
        if (b.fault == "hang") {
            for (;;) ::pause();
        }
        if (b.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(b.delay_ms));
        if (b.grow_mib > 0) hold(b.grow_mib);
        if (b.fault == "stall") {
            std::string start;
            append_size(start, static_cast<std::uint32_t>(b.size));
            start.append(10, 'a');
            write_exact(fd, start.data(), start.size());
            for (;;) ::pause();
        }

        std::string reply = body;
        if (b.answer == "frame") reply = frame;
        if (b.answer == "info") reply = info(argc, argv);
        if (b.answer == "pid") reply = "{\"pid\":" + std::to_string(::getpid()) + "}";
        if (b.answer == "served") {
            reply = "{\"pid\":" + std::to_string(::getpid()) + ",\"n\":" + std::to_string(served + 1) + "}";
        }
        if (b.answer == "empty") reply.clear();
        if (b.answer == "size") {
            reply.resize(static_cast<std::size_t>(b.size));
            for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<char>('a' + i % 26);
        }

        std::string answer;
        append_size(answer, static_cast<std::uint32_t>(reply.size()));
        if (b.fault == "half-length") {
            write_exact(fd, answer.data(), 2);
            return 0;
        }
        if (b.fault == "half-reply") {
            answer += reply.substr(0, reply.size() / 2);
            write_exact(fd, answer.data(), answer.size());
            return 0;
        }
        answer += reply;
        if (b.fault == "no-completion") {
            write_exact(fd, answer.data(), answer.size());
            return 0;
        }
        answer += '\x01';
        answer.append(static_cast<std::size_t>(b.trailing), '\x7f');

        if (b.write_style == "one-write") {
            write_exact(fd, answer.data(), answer.size());
        } else if (b.write_style == "bytewise") {
            for (char c : answer) write_exact(fd, &c, 1);
        } else {
            write_exact(fd, answer.data(), 4);
            write_exact(fd, answer.data() + 4, reply.size());
            write_exact(fd, answer.data() + 4 + reply.size(), answer.size() - 4 - reply.size());
        }
        if (b.late > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::string const extra(static_cast<std::size_t>(b.late), '\x7f');
            write_exact(fd, extra.data(), extra.size());
        }
    }
    return 0;
}
