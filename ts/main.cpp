// orv-task-service SERVICE[/GROUP] PORT WORKER-PROGRAM [WORKER-ARG ...]
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <glog/logging.h>

#include "common/logging.hpp"
#include "common/process.hpp"
#include "ts/ts.hpp"

namespace {

char const LISTEN_ADDRESS[] = "0.0.0.0";
std::uint64_t const MIN_WORKERS = 10;
std::uint64_t const MAX_WORKERS = 100;
int const EXIT_USAGE = 2;

struct CommandLine {
    std::string service;
    std::string group;
    int port = 0;
    std::string worker_program;
    std::vector<std::string> worker_args;
};

// Splits SERVICE[/GROUP] at the first slash; the group may hold more slashes.
void split_service(std::string const& text, CommandLine& line) {
    std::string::size_type const slash = text.find('/');
    line.service = text.substr(0, slash);
    if (slash != std::string::npos) line.group = text.substr(slash + 1);
}

std::string start_line(CommandLine const& line) {
    std::string text = "Starting task service for " + line.service;
    if (!line.group.empty()) text += " in group " + line.group;
    return text + "...";
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::cerr << "Invalid command line arguments." << std::endl;
        return EXIT_USAGE;
    }
    CommandLine line;
    split_service(argv[1], line);
    try {
        line.port = boost::lexical_cast<int>(std::string(argv[2]));
    } catch (boost::bad_lexical_cast const& e) {
        std::cerr << e.what() << std::endl;
        return EXIT_USAGE;
    }
    line.worker_program = argv[3];
    line.worker_args.assign(argv + 4, argv + argc);

    bool logging_ready = false;
    try {
        orv::daemon::daemonize(std::set<int>(), true);
        orv::logging::init(line.service);
        logging_ready = true;
        LOG(INFO) << start_line(line);
        orv::ts::TaskService service(LISTEN_ADDRESS, line.port, line.worker_program, line.worker_args,
                                     MIN_WORKERS, MAX_WORKERS, line.service, line.group);
    } catch (std::exception const& e) {
        if (!logging_ready) {
            std::cerr << "The daemon crashed: " << e.what() << std::endl;
            return EXIT_FAILURE;
        }
        LOG(ERROR) << "The daemon crashed: " << e.what();
        orv::logging::shutdown();
        return EXIT_FAILURE;
    }
    orv::logging::shutdown();
    return EXIT_SUCCESS;
}
