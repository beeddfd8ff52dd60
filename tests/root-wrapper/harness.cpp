#include "harness.hpp"

#include "run_program.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rwtest {

const std::string kBuiltWrapper = ORV_RW_WRAPPER;

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Exactly the mode asked for, whatever the test's umask.  chown clears the
// set-user-ID bit, so the mode comes last.
void set_owner_mode(const std::string& path, uid_t owner, mode_t mode) {
  if (chown(path.c_str(), owner, 0) != 0 || chmod(path.c_str(), mode) != 0) fail("set up " + path);
}

void write_file(const std::string& path, const std::string& text, mode_t mode, uid_t owner) {
  std::ofstream out(path, std::ios::binary);
  if (!(out << text) || !out.flush()) fail("write " + path);
  set_owner_mode(path, owner, mode);
}

void make_dirs(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) {
    set_owner_mode(path, 0, 0755);
  } else if (errno == ENOENT) {
    make_dirs(std::filesystem::path(path).parent_path());
    make_dirs(path);
  } else if (errno != EEXIST) {
    fail("mkdir " + path);
  }
}

// $1 upper, $2 work, $3 the caller's prelude, $4 the limits PID 1 shows (or
// nothing), then the command.  The overlay keeps the rest of /etc (passwd
// above all) in view.
const char kMountScript[] =
    "mount -t overlay overlay -o \"lowerdir=/etc,upperdir=$1,workdir=$2\" /etc || exit 99\n"
    "[ -z \"$4\" ] || mount --bind \"$4\" /proc/1/limits || exit 99\n"
    "eval \"$3\"\n"
    "shift 4\n"
    "exec \"$@\"\n";

// The name, then the soft and hard limit, each column padded with spaces.
void add_limit(std::map<std::string, std::string>& table, const std::string& line) {
  const auto end = line.find("  ");
  std::istringstream values(line.substr(end == std::string::npos ? line.size() : end));
  std::string soft, hard;
  if (values >> soft >> hard) table[line.substr(0, end)] = soft + " " + hard;
}

}  // namespace

Result spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<std::string> words = {"/usr/bin/env", "-i"};
  words.insert(words.end(), env.begin(), env.end());
  words.insert(words.end(), argv.begin(), argv.end());
  const orv::test::ProgramRun run = orv::test::run_program(words);
  if (run.status < 0) throw std::runtime_error(argv[0] + " did not end in time");
  return {WIFEXITED(run.status) ? WEXITSTATUS(run.status) : 128 + WTERMSIG(run.status), run.out, run.err};
}

Sandbox::Sandbox() {
  std::string tmpl = std::string(ORV_RW_SCRATCH) + "/sandbox-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) fail("mkdtemp " + tmpl);
  dir_ = tmpl;
  // The upper layer's root is /etc itself inside: root-owned 0755.
  make_dirs(upper() + "/orv-test");
  make_dirs(dir_ + "/work");
  copy(ORV_RW_PROBE, "probe");
  copy(kBuiltWrapper, "orv-root-wrapper", 04755);
  pid1_limits(read_text("/proc/self/limits"));
}

Sandbox::~Sandbox() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string Sandbox::outside(const std::string& inside) const {
  return upper() + inside.substr(std::string("/etc").size());
}

std::string Sandbox::replace(const std::string& path) const {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
  make_dirs(std::filesystem::path(path).parent_path());
  return path;
}

void Sandbox::write_conf(const std::string& text, mode_t mode, uid_t owner) {
  write_file(replace(outside(kConf)), text, mode, owner);
}

void Sandbox::pid1_limits(const std::string& text) {
  pid1_limits_ = dir_ + "/pid1-limits";
  write_file(pid1_limits_, text, 0444, 0);
}

void Sandbox::conf_missing() {
  // An overlay whiteout: a character device with number 0:0.
  const std::string file = replace(outside(kConf));
  if (mknod(file.c_str(), S_IFCHR | 0600, makedev(0, 0)) != 0) fail("mknod " + file);
}

void Sandbox::conf_directory() { make_dirs(replace(outside(kConf))); }

void Sandbox::conf_fifo() {
  const std::string file = replace(outside(kConf));
  if (mkfifo(file.c_str(), 0644) != 0) fail("mkfifo " + file);
}

void Sandbox::conf_link(const std::string& target) {
  const std::string file = replace(outside(kConf));
  if (symlink(target.c_str(), file.c_str()) != 0) fail("symlink " + file);
}

std::string Sandbox::write(const std::string& name, const std::string& text, mode_t mode,
                           uid_t owner) {
  write_file(replace(outside(kDir + "/" + name)), text, mode, owner);
  return kDir + "/" + name;
}

std::string Sandbox::copy(const std::string& from, const std::string& name, mode_t mode,
                          uid_t owner) {
  return write(name, read_text(from), mode, owner);
}

std::string Sandbox::make_dir(const std::string& name, mode_t mode, uid_t owner) {
  const std::string dir = outside(kDir + "/" + name);
  make_dirs(dir);
  set_owner_mode(dir, owner, mode);
  return kDir + "/" + name;
}

Result Sandbox::run(const std::vector<std::string>& args, const std::vector<std::string>& env,
                    const std::optional<Caller>& caller, const std::string& wrapper) const {
  std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private",
                                   "/bin/sh", "-c", kMountScript, "sh",
                                   upper(), dir_ + "/work", caller ? caller->prelude : "", pid1_limits_};
  if (caller && !caller->launch.empty()) {
    argv.push_back(kProbe);
    argv.push_back(caller->launch);
  }
  if (caller) {
    argv.push_back("/usr/bin/setpriv");
    argv.push_back("--reuid=" + std::to_string(caller->uid));
    argv.push_back("--regid=" + std::to_string(caller->gid));
    if (caller->groups.empty()) {
      argv.push_back("--clear-groups");
    } else {
      std::string list;
      for (gid_t g : caller->groups) list += (list.empty() ? "" : ",") + std::to_string(g);
      argv.push_back("--groups=" + list);
    }
  }
  // Only the wrapper sees the test's variables; sh and setpriv keep a plain one.
  argv.push_back("/usr/bin/env");
  argv.push_back("-i");
  argv.insert(argv.end(), env.begin(), env.end());
  argv.push_back(wrapper);
  argv.insert(argv.end(), args.begin(), args.end());
  return spawn(argv, {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"});
}

Probe parse_probe(const std::string& out) {
  Probe p;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::string key = line.substr(0, line.find(' '));
    std::string rest = line.size() > key.size() ? line.substr(key.size() + 1) : "";
    std::istringstream words(rest);
    unsigned n;
    if (key == "ids") {
      for (int i = 0; i < 6 && words >> n; ++i) (i < 3 ? p.uids : p.gids).push_back(n);
    } else if (key == "groups") {
      while (words >> n) p.groups.push_back(n);
    } else if (key == "capeff") {
      p.capeff = std::stoull(rest, nullptr, 16);
    } else if (key == "arg") {
      p.args.push_back(rest);
    } else if (key == "limit") {
      add_limit(p.state, rest);
    } else if (key == "env") {
      auto eq = rest.find('=');
      p.env[rest.substr(0, eq)] = eq == std::string::npos ? "" : rest.substr(eq + 1);
    } else {
      p.state[key] = rest;
    }
  }
  return p;
}

std::map<std::string, std::string> limits_table(const std::string& text) {
  std::map<std::string, std::string> table;
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) add_limit(table, line);
  return table;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!(text << in.rdbuf())) fail("read " + path);
  return text.str();
}

uid_t user_id(const char* name) {
  const passwd* pw = getpwnam(name);
  if (pw == nullptr) throw std::runtime_error(std::string("no passwd entry for ") + name);
  return pw->pw_uid;
}

gid_t primary_gid(const char* name) {
  const passwd* pw = getpwnam(name);
  if (pw == nullptr) throw std::runtime_error(std::string("no passwd entry for ") + name);
  return pw->pw_gid;
}

uid_t unused_uid() {
  for (uid_t uid = 54321; uid < 64000; ++uid) {
    if (getpwuid(uid) == nullptr) return uid;
  }
  throw std::runtime_error("no unused uid found");
}

}  // namespace rwtest
