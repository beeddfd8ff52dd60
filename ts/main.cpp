// orv-task-service [OPTION...] SERVICE[/GROUP] PORT WORKER-PROGRAM [WORKER-ARG ...]
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include <glog/logging.h>
#include <systemd/sd-daemon.h>

#include "common/instance_lock.hpp"
#include "http/listen_address.hpp"
#include "common/logging.hpp"
#include "common/process.hpp"
#include "common/readiness.hpp"
#include "common/time_zone.hpp"
#include "common/trusted_directory.hpp"
#include "ts/options.hpp"
#include "ts/startup_report.hpp"
#include "ts/ts.hpp"

namespace {

int const EXIT_USAGE = 2;
// How long the launcher waits for the daemon to listen.
std::chrono::seconds const READINESS_PATIENCE(10);

std::string start_line(orv::ts::Options const& options) {
    std::string text = "Starting task service for " + options.service;
    if (!options.group.empty()) text += " in group " + options.group;
    return text + "...";
}

// The directories the daemon makes files in by name, opened and checked
// before anything is forked: nobody else may be able to add or change
// entries in them (see TrustedDirectory).
struct Directories {
    std::unique_ptr<orv::TrustedDirectory> log;
    std::unique_ptr<orv::TrustedDirectory> pid;
    std::string pid_name;
};

Directories open_directories(orv::ts::Options const& options) {
    Directories directories;
    try {
        if (!options.log_to_stderr) directories.log.reset(new orv::TrustedDirectory("Log directory", options.log_dir));
        if (!options.pid_file.empty()) {
            std::string::size_type const slash = options.pid_file.rfind('/');
            std::string const parent = slash == 0 ? "/" : options.pid_file.substr(0, slash);
            directories.pid.reset(new orv::TrustedDirectory("Pid file directory", parent));
            directories.pid_name = options.pid_file.substr(slash + 1);
        }
        // Checked here so that a refusal comes before anything is forked;
        // the listener opens the directory again to make its socket.
        for (std::string const& path : options.listen_sockets) {
            std::string::size_type const slash = path.rfind('/');
            orv::TrustedDirectory("Socket directory", slash == 0 ? "/" : path.substr(0, slash));
        }
    } catch (orv::UntrustedDirectory const& e) {
        throw orv::ts::UsageError(e.what());
    }
    return directories;
}

orv::ts::ServiceConfig service_config(orv::ts::Options const& options, orv::ts::ServiceEvents& events) {
    orv::ts::ServiceConfig config;
    if (!options.activated.empty()) {
        for (int fd : options.activated) config.listen.push_back(orv::net::http::ListenAddress::inherited_socket(fd));
    } else {
        for (std::string const& address : options.listen)
            config.listen.push_back(orv::net::http::ListenAddress::tcp_address(address, options.port));
        for (std::string const& path : options.listen_sockets) {
            config.listen.push_back(orv::net::http::ListenAddress::unix_address(
                path, static_cast<mode_t>(options.socket_mode), options.socket_gid));
        }
    }
    config.port = options.port;
    config.worker_program = options.worker_program;
    config.worker_args = options.worker_args;
    config.min_workers = options.min_workers;
    config.max_workers = options.max_workers;
    config.service_name = options.service;
    config.group_name = options.group;
    config.max_connections = options.max_connections;
    config.max_connections_per_address = options.max_connections_per_address;
    config.threads = options.threads;
    config.log_keep_days = options.log_keep_days;
    config.max_reply_size = options.max_reply_size;
    config.request_timeout = std::chrono::seconds(options.request_timeout);
    config.keep_alive.idle = std::chrono::seconds(options.keep_alive);
    config.keep_alive.max_requests = options.keep_alive_requests;
    config.trusted_proxies = orv::net::http::TrustedProxies::parse(options.trust_proxy);
    config.require_proxy_header = options.proxy_protocol;
    config.max_requests = options.max_requests;
    config.max_requests_jitter = options.max_requests_jitter;
    config.max_worker_memory = options.max_worker_memory << 20;
    config.queue = options.queue;
    config.queue_timeout = std::chrono::milliseconds(options.queue_timeout);
    config.status_address = options.status_address;
    config.status_port = options.status_port;
    config.worker_identity = options.worker_identity;
    config.events = &events;
    return config;
}

// Detaches (the launcher then waits for the daemon's word and exits with its
// verdict) or stays in the foreground, sets up logging and runs the service
// until it stops. The result is the daemon's exit status.
int run(orv::ts::Options const& options, Directories& directories) {
    std::unique_ptr<orv::daemon::InstanceLock> lock;
    std::set<int> keep(options.activated.begin(), options.activated.end());
    try {
        if (directories.log) {
            lock.reset(new orv::daemon::InstanceLock(*directories.log, options.service));
            keep.insert({lock->fd(), directories.log->fd()});
        }
    } catch (std::exception const& e) {
        std::cerr << e.what() << std::endl;
        return EXIT_FAILURE;
    }
    if (directories.pid) keep.insert(directories.pid->fd());
    std::unique_ptr<orv::daemon::Readiness> readiness;
    if (!options.foreground) readiness.reset(new orv::daemon::Readiness);
    orv::ts::StartupReport report(readiness.get(), directories.pid.get(), directories.pid_name);
    bool logging_ready = false;
    try {
        if (readiness) {
            keep.insert(readiness->report_fd());
            orv::daemon::daemonize(keep, true, [&readiness] { return readiness->wait(READINESS_PATIENCE); });
            readiness->in_daemon();
        } else {
            orv::daemon::daemonize(keep, false);
        }
        if (lock) lock->record_pid();
        if (options.log_to_stderr) {
            orv::logging::init_to_stderr(options.service);
        } else {
            orv::logging::init(options.service, std::move(*directories.log));
        }
        logging_ready = true;
        LOG(INFO) << start_line(options);
        LOG_IF(INFO, options.worker_identity.change_group)
            << "Workers run as " << options.worker_identity.describe() << ".";
        orv::ts::TaskService service(service_config(options, report));
    } catch (std::exception const& e) {
        std::string const text = std::string("The daemon crashed: ") + e.what();
        // A detached daemon's launcher prints the text it is sent.
        report.failed(text);
        if (!logging_ready) {
            if (!readiness) std::cerr << text << std::endl;
            return EXIT_FAILURE;
        }
        LOG(ERROR) << text;
        orv::logging::shutdown();
        return EXIT_FAILURE;
    }
    orv::logging::shutdown();
    return EXIT_SUCCESS;
}

// Listening sockets a service manager passed to this very process replace
// every --listen; the variables go, so that no worker takes them as its own.
void take_activated_sockets(orv::ts::Options& options) {
    int const count = ::sd_listen_fds(1);
    for (int i = 0; i < count; ++i) options.activated.push_back(SD_LISTEN_FDS_START + i);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Before any thread: setenv is not safe beside them.
    orv::time_zone::pin();
    orv::ts::Options options;
    Directories directories;
    try {
        options = orv::ts::parse_options(argc, argv);
        if (options.help) {
            std::cout << orv::ts::usage();
            return EXIT_SUCCESS;
        }
        if (options.version) {
            std::cout << "orv-task-service " << ORV_VERSION << std::endl;
            return EXIT_SUCCESS;
        }
        orv::ts::check_paths(options);
        directories = open_directories(options);
        take_activated_sockets(options);
    } catch (orv::ts::UsageError const& e) {
        std::cerr << e.what() << std::endl;
        return EXIT_USAGE;
    }
    return run(options, directories);
}
