// What a local user (nobody) can do to the daemon that root starts: plant
// links at the names the daemon will use in its directories, and run its
// workers' identity through --user and --group.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "documents.hpp"
#include "eventually.hpp"
#include "tests/ts/daemon_fixture.hpp"

namespace {

using orv::test::Daemon;
using orv::test::ProgramRun;
using orv::test::read_file;
namespace fs = std::filesystem;

struct passwd const& nobody() {
    static struct passwd const entry = *::getpwnam("nobody");
    return entry;
}

void own(std::string const& path, uid_t uid, gid_t gid, mode_t mode) {
    ASSERT_EQ(0, ::chown(path.c_str(), uid, gid)) << path;
    ASSERT_EQ(0, ::chmod(path.c_str(), mode)) << path;
}

// A shell script run in `directory` as nobody, with no groups; V names the
// victim and PID the daemon.
ProgramRun as_nobody(std::string const& script, std::string const& directory, std::string const& victim,
                     pid_t daemon = 0) {
    return orv::test::run_program({"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody().pw_uid),
                                   "--regid=" + std::to_string(nobody().pw_gid), "--clear-groups", "/bin/sh", "-c",
                                   "cd \"$1\" && V=$2 PID=$3 && " + script, "sh", directory, victim,
                                   std::to_string(daemon)});
}

// Every regular file in the directory, one after the other.
std::string everything_in(std::string const& directory) {
    std::string text;
    for (auto const& entry : fs::directory_iterator(directory)) {
        if (entry.is_regular_file() && !entry.is_symlink()) text += read_file(entry.path().string());
    }
    return text;
}

std::string replaced(std::string text, std::string const& from, std::string const& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Links at the names the daemon (pid $PID) or the logging library will make
// in the coming ten seconds, when those names carry a time stamp.
std::string ahead(std::string const& name) {
    return "now=$(date +%s); for s in 0 1 2 3 4 5 6 7 8 9 10; do t=$(date -d @$((now + s)) +%Y%m%d-%H%M%S); "
           "ln -s \"$V\" \"" + name + "\"; done";
}

// A root-owned file of root's own, which no row may change.
class Victim {
public:
    Victim() {
        char pattern[] = "/tmp/orv-victim-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) dir_ = pattern;
        ::chmod(dir_.c_str(), 0755);
        path_ = dir_ + "/V";
        std::ofstream(path_) << "root only\n";
        ::chmod(path_.c_str(), 0600);
    }
    ~Victim() { fs::remove_all(dir_); }
    std::string const& path() const { return path_; }
    bool unchanged() const {
        struct stat info;
        return ::lstat(path_.c_str(), &info) == 0 && (info.st_mode & 07777) == 0600 && info.st_uid == 0 &&
               read_file(path_) == "root only\n";
    }

private:
    std::string dir_;
    std::string path_;
};

// Each row: what nobody plants while the log directory D is his (before the
// start, or for a while after it), how D is left for the daemon, and what
// the daemon then does. "$D" in the texts stands for the directory.
TEST(HostileUser, PlantedLinksNeverReachRootsFiles) {
    struct Row {
        char const* name;
        std::string before;       // planted before the start
        uid_t owner;              // D's owner at the start
        mode_t mode;              // and its mode
        std::vector<std::string> options;
        int code;                 // the launcher's exit status
        std::string err;          // its standard error
        std::string after;        // planted once the daemon runs, then D is root's again
        int signal;               // sent after that
        std::string logged;       // what the files in D say afterwards
    } const rows[] = {
        {"a log directory of nobody's", "", nobody().pw_uid, 0755, {}, 2,
         "Log directory $D belongs to another user (uid " + std::to_string(nobody().pw_uid) + ").\n", "", 0, ""},
        {"a log directory writable by all", "", 0, 0777, {}, 2, "Log directory $D is writable by others.\n", "", 0, ""},
        {"a log directory writable by its group", "", 0, 0775, {}, 2, "Log directory $D is writable by its group.\n", "", 0, ""},
        {"a pid file directory of nobody's", "mkdir run", 0, 0755, {"--pid-file", "$D/run/svc.pid"}, 2,
         "Pid file directory $D/run belongs to another user (uid " + std::to_string(nobody().pw_uid) + ").\n", "", 0, ""},
        {"the lock file a link", "ln -s \"$V\" svc.lock", 0, 0755, {}, 1,
         "Unable to open the lock file $D/svc.lock: Too many levels of symbolic links.\n", "", 0, ""},
        {"the pid file, its temporary and every link a link",
         "for n in pid pid.new svc.INFO svc.ERROR svc.stderr.log svc.stdout.log; do ln -s \"$V\" $n; done", 0, 0755,
         {}, 0, "", "", 0, ""},
        {"the capture files of the coming seconds, then SIGUSR1", "", 0, 0755, {}, 0, "",
         ahead("svc.stderr.log.$t.$PID") + "; " + ahead("svc.stdout.log.$t.$PID"), SIGUSR1,
         "Failed to reopen the capture files: Unable to open log file $D/svc.stderr.log."},
        {"the library's ERROR files of the coming seconds", "", 0, 0755, {}, 0, "",
         ahead("svc.error$t.$PID.log."), 0,
         "Could not create log file: File exists\nCOULD NOT CREATE LOGFILE '"},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Victim const victim;
        Daemon daemon;
        std::string const dir = daemon.log_dir();
        own(dir, nobody().pw_uid, nobody().pw_gid, 0755);
        ASSERT_EQ(0, as_nobody(row.before.empty() ? "true" : row.before, dir, victim.path()).exit_code());
        own(dir, row.owner, 0, row.mode);
        if (row.code != 0) {
            std::vector<std::string> args = {"--log-dir", dir};
            for (auto const& option : row.options) args.push_back(replaced(option, "$D", dir));
            args.insert(args.end(), {"svc", std::to_string(orv::test::free_port()), TEST_WORKER_BIN});
            ProgramRun const launcher = orv::test::launch(args);
            EXPECT_EQ(row.code, launcher.exit_code());
            EXPECT_EQ(replaced(row.err, "$D", dir), launcher.err);
            EXPECT_TRUE(victim.unchanged());
            continue;
        }
        daemon.start(orv::test::worker({"crash-on:boom"}), row.options);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir + "/pid")));
        // Past the second of the start, whose capture files exist already.
        std::time_t const started = std::time(nullptr);
        ASSERT_TRUE(orv::test::eventually([&] { return std::time(nullptr) > started; }));
        if (!row.after.empty()) {
            own(dir, nobody().pw_uid, nobody().pw_gid, 0755);
            EXPECT_EQ(0, as_nobody(row.after, dir, victim.path(), daemon.pid()).exit_code());
            own(dir, 0, 0, 0755);
        }
        if (row.signal != 0) ::kill(daemon.pid(), row.signal);
        // An ERROR record, which makes the library open its ERROR file.
        EXPECT_EQ(orv::test::UNAVAILABLE, orv::test::post(daemon.port(), "/svc/boom", "{}"));
        EXPECT_EQ(orv::test::json_response("{}"), orv::test::post(daemon.port(), "/svc/x", "{}"));
        std::string const logged = replaced(row.logged, "$D", dir);
        EXPECT_TRUE(orv::test::eventually([&] { return everything_in(dir).find(logged) != std::string::npos; }))
            << logged;
        // The daemon's own files are still there, behind their links.
        EXPECT_TRUE(fs::is_regular_file(dir + "/svc.stderr.log"));
        EXPECT_TRUE(fs::is_regular_file(dir + "/svc.INFO"));
        EXPECT_TRUE(orv::test::exited_with(daemon.stop(SIGTERM), 0));
        EXPECT_TRUE(victim.unchanged());
    }
}

std::vector<unsigned> numbers_after(std::string const& text, std::string const& field) {
    std::vector<unsigned> numbers;
    auto const at = text.find("\n" + field + ":\t");
    if (at == std::string::npos) return numbers;
    std::istringstream line(text.substr(at + field.size() + 3, text.find('\n', at + 1) - at - field.size() - 3));
    for (unsigned n; line >> n;) numbers.push_back(n);
    return numbers;
}

// The supplementary groups of a user's entry, as the kernel lists them.
std::vector<unsigned> groups_of(char const* user, gid_t gid) {
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    ::getgrouplist(user, gid, groups.data(), &count);
    std::vector<unsigned> sorted(groups.begin(), groups.begin() + count);
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

// The workers take on the user and group; the daemon, still root, reaps and
// kills them, and their output lands in the capture file through the
// descriptors they inherit.
TEST(HostileUser, WorkersRunAsTheGivenUserAndGroup) {
    uid_t const uid = nobody().pw_uid;
    gid_t const gid = nobody().pw_gid;
    gid_t const other = ::getgrnam("daemon")->gr_gid;
    struct Row {
        std::vector<std::string> options;
        unsigned uid, gid;
        std::vector<unsigned> groups;
    } const rows[] = {
        {{"--user", "nobody"}, uid, gid, groups_of("nobody", gid)},
        {{"--user", std::to_string(uid), "--group", "daemon"}, uid, other, groups_of("nobody", other)},
        {{"--group", std::to_string(gid)}, 0, gid, {}},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.options.at(1));
        Daemon daemon;
        // Where nobody may run it, whatever the checkout's directories allow.
        std::string const program = daemon.log_dir() + "/worker";
        fs::copy_file(TEST_WORKER_BIN, program);
        own(daemon.log_dir(), 0, 0, 0755);
        daemon.start({program, "pid", "chatty", "one-write"}, row.options);
        for (int round = 0; round < 2; ++round) {
            std::string const reply = orv::test::post(daemon.port(), "/svc/x", "{}");
            std::string const pid = reply.substr(reply.find("\"pid\":") + 6, reply.rfind('}') - reply.find("\"pid\":") - 6);
            std::string const status = read_file("/proc/" + pid + "/status");
            EXPECT_EQ(std::vector<unsigned>(4, row.uid), numbers_after(status, "Uid")) << status;
            EXPECT_EQ(std::vector<unsigned>(4, row.gid), numbers_after(status, "Gid"));
            EXPECT_EQ(row.groups, numbers_after(status, "Groups"));
            EXPECT_EQ("request 1\n", read_file(daemon.log_dir() + "/svc.stderr.log").substr(0, 10));
            if (round == 1) break;
            ::kill(daemon.pid(), SIGUSR2);
            EXPECT_TRUE(daemon.wait_for_log("Every worker has been replaced."));
            EXPECT_TRUE(orv::test::eventually([&] { return !fs::exists("/proc/" + pid); }));
        }
        EXPECT_TRUE(daemon.wait_for_log("Workers run as "));
        EXPECT_TRUE(orv::test::exited_with(daemon.stop(SIGTERM), 0));
        EXPECT_TRUE(daemon.workers().empty());
    }
}

}  // namespace
