// Runs the real wrapper as a user would, inside a private mount namespace in
// which /etc is an overlay on a scratch directory: the allow-list the test
// writes shows at the fixed configuration path, and the programs the test
// lays out show under kDir, reachable by every user wherever the checkout
// lies.  /proc/1/limits shows the test's own limits unless a test chooses
// others: a root without CAP_SYS_RESOURCE (in some containers) could not
// lift his limits to those of the real PID 1.  Nothing outside the namespace
// changes.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rwtest {

// Paths as the wrapper sees them inside the namespace.  Inline, so that the
// tests' own constants built from them are initialised after them.
inline const std::string kConf = "/etc/orv-root-wrapper.conf";
inline const std::string kDir = "/etc/orv-test";  // root-owned 0755, as is all above it
inline const std::string kProbe = kDir + "/probe";  // reports how it was started
inline const std::string kWrapper = kDir + "/orv-root-wrapper";  // set-user-ID root
// The build's own wrapper, outside the namespace.
extern const std::string kBuiltWrapper;

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs argv[0] (an absolute path) with exactly env and nothing open but
// standard input (/dev/null), output and error.
Result spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env);

// Who runs the wrapper, and the process state he passes on: prelude is shell
// code run just before (umask, ulimit, trap, cd, exec 9<...); launch is a
// flag of the probe program, which root runs on the way: with "--hostile"
// SIGTERM and SIGUSR1 arrive blocked and an alarm armed, with
// "--no-close-range" the system seems to lack close_range.  Without a caller
// it is root, the test's own identity.
struct Caller {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
  std::string prelude;
  std::string launch = "";
};

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  void write_conf(const std::string& text, mode_t mode = 0644, uid_t owner = 0);
  void conf_missing();  // hidden even if the machine has one
  void conf_directory();
  void conf_fifo();
  void conf_link(const std::string& target);
  // What /proc/1/limits shows; real_pid1_limits shows the real one.
  void pid1_limits(const std::string& text);
  void real_pid1_limits() { pid1_limits_.clear(); }

  // A file or directory below kDir (parents made root-owned 0755); returns
  // its path inside the namespace.
  std::string write(const std::string& name, const std::string& text, mode_t mode = 0755,
                    uid_t owner = 0);
  std::string copy(const std::string& from, const std::string& name, mode_t mode = 0755,
                   uid_t owner = 0);
  std::string make_dir(const std::string& name, mode_t mode = 0755, uid_t owner = 0);
  // Where a path inside the namespace below kDir lies for the test itself.
  std::string outside(const std::string& inside) const;

  // Runs wrapper with args; env is the wrapper's whole environment.
  Result run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
             const std::optional<Caller>& caller = std::nullopt,
             const std::string& wrapper = kWrapper) const;

 private:
  std::string upper() const { return dir_ + "/upper"; }
  std::string replace(const std::string& path) const;
  std::string dir_;
  std::string pid1_limits_;  // empty: the real one
};

// What the probe program reported.
struct Probe {
  std::vector<unsigned> uids;  // real, effective, saved
  std::vector<unsigned> gids;
  std::vector<unsigned> groups;
  unsigned long long capeff = ~0ULL;
  std::vector<std::string> args;
  std::map<std::string, std::string> env;
  // umask, sigblk, sigign, alarm, fds, close_range, nice, cwd; and each
  // limit by its name in /proc/self/limits ("soft hard").
  std::map<std::string, std::string> state;
};
Probe parse_probe(const std::string& out);

// A table in the format of /proc/PID/limits: "soft hard" by name.
std::map<std::string, std::string> limits_table(const std::string& text);
std::string read_text(const std::string& path);

// Ids of passwd entries the tests use; fails the test when missing.
uid_t user_id(const char* name);
gid_t primary_gid(const char* name);
uid_t unused_uid();

}  // namespace rwtest
