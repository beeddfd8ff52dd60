// Runs the real wrapper as a user would, with a test allow-list seen at the
// fixed configuration path inside a private mount namespace only.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rwtest {

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Starts argv[0] (an absolute path) with exactly env, collects both output
// streams and reaps it.
Result spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env);

// Who runs the wrapper; without one it is root, the test's own identity.
struct Caller {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
};

// A scratch overlay for /etc: the file written here shadows the configuration
// path in the namespace the wrapper runs in, and nowhere else.
class ConfDir {
 public:
  ConfDir();
  ~ConfDir();
  ConfDir(const ConfDir&) = delete;
  ConfDir& operator=(const ConfDir&) = delete;

  void write(const std::string& text, mode_t mode = 0644, uid_t owner = 0);
  void make_missing();    // hidden even if the machine has one
  void make_directory();

  // Runs wrapper with args; env is the wrapper's whole environment.
  Result run(const std::string& wrapper, const std::vector<std::string>& args,
             const std::vector<std::string>& env = {},
             const std::optional<Caller>& caller = std::nullopt) const;

 private:
  std::string file() const;
  std::string dir_;
};

// A set-user-ID root copy of the wrapper on a file system that honours it.
class SetuidCopy {
 public:
  SetuidCopy();
  ~SetuidCopy();
  SetuidCopy(const SetuidCopy&) = delete;
  SetuidCopy& operator=(const SetuidCopy&) = delete;

  const std::string& path() const { return path_; }
  // Empty when the copy works; otherwise why it cannot.
  const std::string& unusable() const { return unusable_; }

 private:
  std::string dir_;
  std::string path_;
  std::string unusable_;
};

// What the probe program reported.
struct Probe {
  std::vector<unsigned> uids;  // real, effective, saved
  std::vector<unsigned> gids;
  std::vector<unsigned> groups;
  unsigned long long capeff = ~0ULL;
  std::vector<std::string> args;
  std::map<std::string, std::string> env;
};
Probe parse_probe(const std::string& out);

// Ids of passwd entries the tests use; fails the test when missing.
uid_t user_id(const char* name);
gid_t primary_gid(const char* name);
uid_t unused_uid();

extern const std::string kWrapper;
extern const std::string kProbe;
extern const std::string kConf;

}  // namespace rwtest
