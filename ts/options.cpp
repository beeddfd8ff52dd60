#include "ts/options.hpp"

#include <arpa/inet.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <sstream>

#include <boost/lexical_cast.hpp>
#include <boost/program_options.hpp>

#include "http/trusted_proxies.hpp"

namespace orv {
namespace ts {

namespace po = boost::program_options;

namespace {

std::uint64_t const MAX_WORKERS = 1000;
std::size_t const MAX_THREADS = 50;
std::size_t const MAX_CONNECTIONS = 1000000;
std::uint64_t const MAX_COUNT = 1000000000;
std::uint64_t const MAX_WORKER_MIB = 1u << 20;  // 1 TiB
std::size_t const MAX_QUEUE = 100000;

po::options_description describe() {
    po::options_description options("Options (before SERVICE; \"--\" ends them)");
    // clang-format off
    options.add_options()
        ("help,h", "print this help and exit")
        ("version", "print the name and version and exit")
        ("foreground,f", "stay in the foreground: no fork, no new session; the exit status is the daemon's")
        ("listen", po::value<std::vector<std::string>>()->value_name("ADDRESS|unix:PATH"),
         "where to listen, repeatable: an IPv4 or IPv6 address (with PORT; \"::\" takes both families where the "
         "system allows), or unix:PATH for a UNIX socket file (default 0.0.0.0)")
        ("socket-mode", po::value<std::string>()->value_name("MODE"),
         "permissions of the UNIX socket files, in octal (default 0660)")
        ("socket-group", po::value<std::string>()->value_name("GROUP"),
         "group of the UNIX socket files, a name or a number (default: the daemon's)")
        ("log-dir", po::value<std::string>()->value_name("DIR"), "directory for log and capture files (default /var/log/orv)")
        ("log-to-stderr", "with --foreground: every record to standard error, no log or capture files")
        ("min-workers", po::value<std::string>()->value_name("N"), "workers balancing keeps at least (default 10)")
        ("max-workers", po::value<std::string>()->value_name("N"), "most workers at once, 1 to 1000 (default 100)")
        ("max-connections", po::value<std::string>()->value_name("N"), "most open HTTP connections (default 1000)")
        ("max-connections-per-address", po::value<std::string>()->value_name("N"),
         "most open HTTP connections from one address (an IPv6 /64), trusted proxies exempt (default: no share)")
        ("threads", po::value<std::string>()->value_name("N"),
         "event loops, each with its own thread, 1 to 50 (default: one per two CPUs the daemon may run on)")
        ("max-reply-size", po::value<std::string>()->value_name("BYTES"),
         "longest reply a worker may announce; more is a broken worker: 503 (default 67108864, 64 MiB)")
        ("request-timeout", po::value<std::string>()->value_name("SECONDS"),
         "a worker that has not replied in this time is killed and the client gets 504 (default: no limit)")
        ("keep-alive", po::value<std::string>()->value_name("SECONDS"),
         "keep HTTP connections open between requests, closing one that stays idle this long (default: one "
         "request per connection)")
        ("keep-alive-requests", po::value<std::string>()->value_name("N"),
         "with --keep-alive: close a connection after N requests (default 1000)")
        ("trust-proxy", po::value<std::vector<std::string>>()->value_name("CIDR"),
         "repeatable: a proxy at this address, network (ADDRESS/PREFIX) or unix (UNIX-socket listeners) names "
         "the real client in a PROXY protocol header or, without one, in X-Forwarded-For")
        ("proxy-protocol", "with --trust-proxy: a trusted proxy must begin every connection with a PROXY protocol "
         "header")
        ("max-requests", po::value<std::string>()->value_name("N"),
         "replace a worker once it has answered N requests, as SIGUSR2 does (default: never)")
        ("max-requests-jitter", po::value<std::string>()->value_name("J"),
         "with --max-requests: each worker answers up to J more, its own number, so that workers started "
         "together are not all replaced at once (default 0)")
        ("max-worker-memory", po::value<std::string>()->value_name("MIB"),
         "replace a worker once it and the processes of its group hold more than MIB MiB resident, checked "
         "every second (default: no limit)")
        ("queue", po::value<std::string>()->value_name("N"),
         "when no worker can be had, up to N requests wait for one, first come first served (default: none "
         "wait, 503 at once)")
        ("queue-timeout", po::value<std::string>()->value_name("MS"),
         "with --queue: a request that has waited MS milliseconds gets 503 (default 1000)")
        ("status-listen", po::value<std::string>()->value_name("ADDRESS:PORT"),
         "serve GET /metrics, /status and /health here, e.g. 127.0.0.1:9100 or [::1]:9100 (default: none)")
        ("log-keep-days", po::value<std::string>()->value_name("N"),
         "remove INFO and ERROR log files older than N days, 0 to keep them (default 7)")
        ("pid-file", po::value<std::string>()->value_name("PATH"), "write the daemon's pid here once it listens; removed at exit")
        ("user", po::value<std::string>()->value_name("USER"),
         "run the workers as this user (name or id), with its group and supplementary groups; the daemon stays as it was started")
        ("group", po::value<std::string>()->value_name("GROUP"),
         "run the workers with this group (name or id); without --user, the only change");
    // clang-format on
    return options;
}

// How many argv entries belong to options: everything up to the first word
// that is neither an option nor the separate value of one, or up to "--".
int option_words(int argc, char const* const* argv, po::options_description const& options, bool& separator) {
    separator = false;
    int i = 1;
    while (i < argc) {
        std::string const word = argv[i];
        if (word == "--") {
            separator = true;
            return i;
        }
        if (word.size() < 2 || word[0] != '-') return i;
        ++i;
        // The short options are all flags; a long one may take the next word.
        if (word[1] != '-' || word.find('=') != std::string::npos) continue;
        po::option_description const* option = options.find_nothrow(word.substr(2), false);
        if (option != nullptr && option->semantic()->max_tokens() > 0) ++i;  // its value
    }
    return i;
}

std::uint64_t number(po::variables_map const& values, char const* name, std::uint64_t low, std::uint64_t high,
                     std::uint64_t fallback) {
    if (values.count(name) == 0) return fallback;
    std::string const text = values[name].as<std::string>();
    std::uint64_t value = 0;
    bool valid = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() < 19;
    if (valid) value = std::stoull(text);
    if (!valid || value < low || value > high) {
        std::ostringstream line;
        line << "Invalid value '" << text << "' for --" << name << ": expected a whole number from " << low
             << " to " << high << ".";
        throw UsageError(line.str());
    }
    return value;
}

std::string text(po::variables_map const& values, char const* name, std::string const& fallback) {
    if (values.count(name) == 0) return fallback;
    std::string const value = values[name].as<std::string>();
    if (value.empty()) throw UsageError(std::string("Invalid empty value for --") + name + ".");
    return value;
}

bool is_address(std::string const& text) {
    unsigned char address[sizeof(struct in6_addr)];
    return ::inet_pton(AF_INET, text.c_str(), address) == 1 || ::inet_pton(AF_INET6, text.c_str(), address) == 1;
}

// ADDRESS:PORT, the address of IPv6 in brackets: 127.0.0.1:9100, [::1]:9100.
void take_status_listen(std::string const& text, Options& options) {
    std::string::size_type const colon = text.rfind(':');
    bool const bracketed = !text.empty() && text[0] == '[';
    std::string address = colon == std::string::npos ? "" : text.substr(0, colon);
    if (bracketed && address.size() >= 2 && address.back() == ']') address = address.substr(1, address.size() - 2);
    std::string const port = colon == std::string::npos ? "" : text.substr(colon + 1);
    bool const valid = is_address(address) && (bracketed == (address.find(':') != std::string::npos)) &&
                       !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
                       std::stoi(port) >= 1 && std::stoi(port) <= 65535;
    if (!valid) {
        throw UsageError("Invalid value '" + text +
                         "' for --status-listen: expected ADDRESS:PORT, such as 127.0.0.1:9100 or [::1]:9100.");
    }
    options.status_address = address;
    options.status_port = std::stoi(port);
}

// Every --listen in order: TCP addresses, and socket files (absolute, so
// that the daemon in "/" finds them). Without one, 0.0.0.0.
void take_listen(po::variables_map const& values, Options& options) {
    std::vector<std::string> const words =
        values.count("listen") ? values["listen"].as<std::vector<std::string>>() : std::vector<std::string>();
    for (std::string const& word : words) {
        if (word.compare(0, 5, "unix:") == 0 && word.size() > 5) {
            options.listen_sockets.push_back(word.substr(5));
        } else if (is_address(word)) {
            options.listen.push_back(word);
        } else {
            throw UsageError("Invalid value '" + word +
                             "' for --listen: expected an IPv4 or IPv6 address, or unix:PATH.");
        }
    }
    if (words.empty()) options.listen.push_back("0.0.0.0");
    if (values.count("socket-mode") != 0) {
        std::string const mode = values["socket-mode"].as<std::string>();
        if (mode.empty() || mode.size() > 4 || mode.find_first_not_of("01234567") != std::string::npos)
            throw UsageError("Invalid value '" + mode + "' for --socket-mode: expected an octal mode such as 0660.");
        options.socket_mode = static_cast<unsigned>(std::stoul(mode, nullptr, 8));
    }
    if (values.count("socket-group") != 0) options.socket_group = values["socket-group"].as<std::string>();
    if ((values.count("socket-mode") != 0 || values.count("socket-group") != 0) && options.listen_sockets.empty())
        throw UsageError("--socket-mode and --socket-group need --listen unix:PATH.");
}

// When workers are replaced, and whether requests wait for one.
void take_pool_policies(po::variables_map const& values, Options& options) {
    options.max_requests = number(values, "max-requests", 1, MAX_COUNT, 0);
    options.max_requests_jitter = number(values, "max-requests-jitter", 0, MAX_COUNT, 0);
    if (values.count("max-requests-jitter") != 0 && options.max_requests == 0)
        throw UsageError("--max-requests-jitter needs --max-requests.");
    options.max_worker_memory = number(values, "max-worker-memory", 1, MAX_WORKER_MIB, 0);
    options.queue = number(values, "queue", 1, MAX_QUEUE, 0);
    options.queue_timeout = static_cast<unsigned>(number(values, "queue-timeout", 1, 3600000, options.queue_timeout));
    if (values.count("queue-timeout") != 0 && options.queue == 0) throw UsageError("--queue-timeout needs --queue.");
}

void take_options(po::variables_map const& values, Options& options) {
    options.help = values.count("help") > 0;
    options.version = values.count("version") > 0;
    options.foreground = values.count("foreground") > 0;
    options.log_to_stderr = values.count("log-to-stderr") > 0;
    take_listen(values, options);
    if (values.count("trust-proxy") != 0) options.trust_proxy = values["trust-proxy"].as<std::vector<std::string>>();
    try {
        net::http::TrustedProxies::parse(options.trust_proxy);
    } catch (std::invalid_argument const& e) {
        throw UsageError(e.what());
    }
    options.proxy_protocol = values.count("proxy-protocol") > 0;
    if (options.proxy_protocol && options.trust_proxy.empty())
        throw UsageError("--proxy-protocol needs --trust-proxy.");
    if (values.count("status-listen") != 0) take_status_listen(values["status-listen"].as<std::string>(), options);
    options.log_dir = text(values, "log-dir", options.log_dir);
    options.pid_file = text(values, "pid-file", options.pid_file);
    options.worker_user = text(values, "user", options.worker_user);
    options.worker_group = text(values, "group", options.worker_group);
    options.max_workers = number(values, "max-workers", 1, MAX_WORKERS, options.max_workers);
    options.min_workers = number(values, "min-workers", 0, options.max_workers, options.min_workers);
    options.max_connections = number(values, "max-connections", 1, MAX_CONNECTIONS, options.max_connections);
    options.max_connections_per_address =
        number(values, "max-connections-per-address", 1, options.max_connections, 0);
    options.threads = number(values, "threads", 1, MAX_THREADS, options.threads);
    options.log_keep_days = static_cast<unsigned>(number(values, "log-keep-days", 0, 36500, options.log_keep_days));
    options.max_reply_size =
        static_cast<std::uint32_t>(number(values, "max-reply-size", 1, 0xffffffffULL, options.max_reply_size));
    options.request_timeout = static_cast<unsigned>(number(values, "request-timeout", 1, 86400, 0));
    options.keep_alive = static_cast<unsigned>(number(values, "keep-alive", 1, 3600, 0));
    options.keep_alive_requests =
        static_cast<unsigned>(number(values, "keep-alive-requests", 1, 1000000, options.keep_alive_requests));
    if (values.count("keep-alive-requests") != 0 && options.keep_alive == 0)
        throw UsageError("--keep-alive-requests needs --keep-alive.");
    if (options.log_to_stderr && !options.foreground)
        throw UsageError("--log-to-stderr needs --foreground.");
    take_pool_policies(values, options);
}

// SERVICE[/GROUP] PORT WORKER-PROGRAM [WORKER-ARG...], as the program has
// always read them.
void take_positionals(std::vector<std::string> const& words, Options& options) {
    if (words.size() < 3) throw UsageError("Invalid command line arguments.");
    std::string::size_type const slash = words[0].find('/');
    options.service = words[0].substr(0, slash);
    if (slash != std::string::npos) options.group = words[0].substr(slash + 1);
    try {
        options.port = boost::lexical_cast<int>(words[1]);
    } catch (boost::bad_lexical_cast const& e) {
        throw UsageError(e.what());
    }
    if (options.port < 1 || options.port > 65535)
        throw UsageError("Invalid port " + words[1] + ": expected a number from 1 to 65535.");
    options.worker_program = words[2];
    options.worker_args.assign(words.begin() + 3, words.end());
}

std::string absolute(std::string const& path) {
    if (path.empty() || path[0] == '/') return path;
    char here[4096];
    if (::getcwd(here, sizeof(here)) == nullptr)
        throw UsageError("Unable to resolve " + path + ": " + std::strerror(errno) + ".");
    return std::string(here) + "/" + path;
}

// A group by name or number; -1 for none.
gid_t group_id(std::string const& name, char const* option) {
    if (name.empty()) return static_cast<gid_t>(-1);
    if (name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10)
        return static_cast<gid_t>(std::stoul(name));
    errno = 0;
    struct group const* group = ::getgrnam(name.c_str());
    if (group == nullptr)
        throw UsageError("Unknown group '" + name + "' for " + option + ".");
    return group->gr_gid;
}

}  // namespace

void check_paths(Options& options) {
    options.worker_program = absolute(options.worker_program);
    struct stat st;
    std::string const program = "Worker program " + options.worker_program;
    if (::stat(options.worker_program.c_str(), &st) != 0) throw UsageError(program + ": " + std::strerror(errno) + ".");
    if (!S_ISREG(st.st_mode)) throw UsageError(program + " is not a regular file.");
    if (::access(options.worker_program.c_str(), X_OK) != 0) throw UsageError(program + " is not executable.");

    try {
        options.worker_identity = resolve_worker_identity(options.worker_user, options.worker_group);
    } catch (std::invalid_argument const& e) {
        throw UsageError(e.what());
    }
    options.pid_file = absolute(options.pid_file);
    std::string const pid_name = options.pid_file.substr(options.pid_file.rfind('/') + 1);
    if (!options.pid_file.empty() && (pid_name.empty() || pid_name == "." || pid_name == ".."))
        throw UsageError("Invalid value '" + options.pid_file + "' for --pid-file: expected the path of a file.");
    for (std::string& path : options.listen_sockets) path = absolute(path);
    options.socket_gid = group_id(options.socket_group, "--socket-group");
    if (!options.log_to_stderr) options.log_dir = absolute(options.log_dir);
}

Options parse_options(int argc, char const* const* argv) {
    po::options_description const description = describe();
    bool separator = false;
    int const split = option_words(argc, argv, description, separator);

    po::variables_map values;
    try {
        std::vector<std::string> const words(argv + 1, argv + split);
        po::store(po::command_line_parser(words).options(description).style(po::command_line_style::unix_style)
                      .run(),
                  values);
    } catch (po::error const& e) {
        throw UsageError(e.what());
    }
    Options options;
    take_options(values, options);
    if (options.help || options.version) return options;
    take_positionals(std::vector<std::string>(argv + split + (separator ? 1 : 0), argv + argc), options);
    return options;
}

std::string usage() {
    std::ostringstream text;
    text << "Usage: orv-task-service [OPTION...] SERVICE[/GROUP] PORT WORKER-PROGRAM [WORKER-ARG...]\n\n"
            "Serves POST /SERVICE[/GROUP]/ACTION with Content-Type application/json on PORT by handing\n"
            "each request to a pool of worker processes running WORKER-PROGRAM.\n\n"
         << describe()
         << "\nSignals: SIGTERM or SIGINT stops gracefully, SIGQUIT forcibly; SIGUSR2 replaces every worker,\n"
            "SIGUSR1 reopens the capture files; SIGHUP is ignored.\n";
    return text.str();
}

}  // namespace ts
}  // namespace orv
