#include "harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace rwtest {

const std::string kWrapper = ORV_RW_WRAPPER;
const std::string kProbe = ORV_RW_PROBE;
const std::string kConf = "/etc/orv-root-wrapper.conf";

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string make_temp_dir(const char* stem) {
  std::string tmpl = std::string(ORV_RW_SCRATCH) + "/" + stem + "-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) fail("mkdtemp " + tmpl);
  return tmpl;
}

std::vector<char*> c_strings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// The overlay keeps the rest of /etc (passwd above all) in view.
const char kMountScript[] =
    "mount -t overlay overlay -o \"lowerdir=/etc,upperdir=$1,workdir=$2\" /etc || exit 99\n"
    "shift 2\n"
    "exec \"$@\"\n";

}  // namespace

Result spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) fail("pipe2");
  auto args = c_strings(argv);
  auto envp = c_strings(env);
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(126);
  }
  close(out[1]);
  close(err[1]);

  Result r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

ConfDir::ConfDir() : dir_(make_temp_dir("conf")) {
  if (mkdir((dir_ + "/upper").c_str(), 0755) != 0 || mkdir((dir_ + "/work").c_str(), 0755) != 0)
    fail("mkdir in " + dir_);
}

ConfDir::~ConfDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string ConfDir::file() const { return dir_ + "/upper/orv-root-wrapper.conf"; }

void ConfDir::write(const std::string& text, mode_t mode, uid_t owner) {
  std::error_code ignored;
  std::filesystem::remove_all(file(), ignored);
  int fd = open(file().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) fail("open " + file());
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            fchown(fd, owner, 0) == 0 && fchmod(fd, mode) == 0;
  close(fd);
  if (!ok) fail("write " + file());
}

void ConfDir::make_missing() {
  std::error_code ignored;
  std::filesystem::remove_all(file(), ignored);
  // An overlay whiteout: a character device with number 0:0.
  if (mknod(file().c_str(), S_IFCHR | 0600, makedev(0, 0)) != 0) fail("mknod " + file());
}

void ConfDir::make_directory() {
  std::error_code ignored;
  std::filesystem::remove_all(file(), ignored);
  if (mkdir(file().c_str(), 0755) != 0) fail("mkdir " + file());
}

Result ConfDir::run(const std::string& wrapper, const std::vector<std::string>& args,
                    const std::vector<std::string>& env, const std::optional<Caller>& caller) const {
  std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private",
                                   "/bin/sh", "-c", kMountScript, "sh",
                                   dir_ + "/upper", dir_ + "/work"};
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

SetuidCopy::SetuidCopy() : dir_(make_temp_dir("suid")), path_(dir_ + "/orv-root-wrapper") {
  struct statvfs fs;
  if (chmod(dir_.c_str(), 0755) != 0 || statvfs(dir_.c_str(), &fs) != 0) fail("set up " + dir_);
  if (fs.f_flag & ST_NOSUID) {
    unusable_ = dir_ + " is on a file system mounted nosuid";
    return;
  }
  // Another user has to reach both the copy and the probe.
  for (const std::string& leaf : {path_, kProbe}) {
    for (auto p = std::filesystem::path(leaf).parent_path(); p != p.root_path(); p = p.parent_path()) {
      struct stat st;
      if (stat(p.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) {
        unusable_ = p.string() + " cannot be searched by other users";
        return;
      }
    }
  }
  std::filesystem::copy_file(kWrapper, path_);
  // chown clears the set-user-ID bit, so the mode comes last.
  if (chown(path_.c_str(), 0, 0) != 0 || chmod(path_.c_str(), 04755) != 0) fail("set up " + path_);
}

SetuidCopy::~SetuidCopy() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
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
    } else if (key == "env") {
      auto eq = rest.find('=');
      p.env[rest.substr(0, eq)] = eq == std::string::npos ? "" : rest.substr(eq + 1);
    }
  }
  return p;
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
