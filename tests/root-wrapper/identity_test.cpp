// A set-user-ID root copy of the wrapper run by `nobody`, who tries what a
// local attacker would.  Each table row is one attempt.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

using rwtest::kConf;
using rwtest::kDir;
using rwtest::kProbe;

const std::string kAttacker = kDir + "/attacker";  // owned by the caller

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nobody_ = rwtest::user_id("nobody");
    nogroup_ = rwtest::primary_gid("nobody");
    // Supplementary groups the caller holds; no group entries needed.
    caller_ = rwtest::Caller{nobody_, nogroup_, {4, 24}, ""};
    box_.make_dir("attacker", 0755, nobody_);
  }
  rwtest::Result run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return box_.run(args, env, caller_);
  }
  rwtest::Probe probe(const std::string& user, const std::vector<std::string>& env = {}) {
    box_.write_conf("probe " + kProbe + " " + user + "\n");
    auto r = run({"probe", "arg"}, env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return rwtest::parse_probe(r.out);
  }

  rwtest::Sandbox box_;
  uid_t nobody_ = 0;
  gid_t nogroup_ = 0;
  rwtest::Caller caller_{};
};

TEST_F(IdentityTest, SwitchingUserTakesThePasswdIdsAndNoGroups) {
  auto root = probe("0");
  EXPECT_EQ(root.uids, (std::vector<unsigned>{0, 0, 0}));
  EXPECT_EQ(root.gids, (std::vector<unsigned>{0, 0, 0}));
  EXPECT_TRUE(root.groups.empty());
  EXPECT_EQ(root.args, (std::vector<std::string>{kProbe, "arg"}));

  const uid_t daemon = rwtest::user_id("daemon");
  const unsigned daemon_gid = rwtest::primary_gid("daemon");
  auto other = probe(std::to_string(daemon));
  EXPECT_EQ(other.uids, (std::vector<unsigned>{daemon, daemon, daemon}));
  EXPECT_EQ(other.gids, (std::vector<unsigned>{daemon_gid, daemon_gid, daemon_gid}));
  EXPECT_TRUE(other.groups.empty());
  EXPECT_EQ(other.capeff, 0u);
}

TEST_F(IdentityTest, OwnUserKeepsCurrentGroupAndGroups) {
  caller_.gid = 24;  // a current group other than the primary one
  for (const std::string& user : {std::string("-"), std::to_string(nobody_)}) {
    auto self = probe(user);
    EXPECT_EQ(self.uids, (std::vector<unsigned>{nobody_, nobody_, nobody_})) << user;
    EXPECT_EQ(self.gids, (std::vector<unsigned>{24, 24, 24})) << user;
    EXPECT_EQ(self.groups, (std::vector<unsigned>{4, 24})) << user;
    EXPECT_EQ(self.capeff, 0u) << user;
  }
}

// What the caller passes, one run per table.  None of these reach another
// user: the wrapper's own values replace PATH and the like, nothing outside
// the table passes, nor any of its names with a value that could name a file.
const std::vector<std::string> kHostileEnv = {
    "PATH=/attacker/bin:/usr/bin:/bin", "HOME=/attacker/home", "SHELL=/attacker/sh", "USER=nobody",
    "LOGNAME=nobody", "GIT_CONFIG_COUNT=1", "GIT_CONFIG_KEY_0=core.fsmonitor",
    "GIT_CONFIG_VALUE_0=/attacker/x.sh", "TEMP=/attacker", "TMP=/attacker", "PYTHONUSERBASE=/attacker",
    "PYTHONPATH=/attacker", "XDG_CONFIG_HOME=/attacker", "XDG_DATA_DIRS=/attacker", "PAGER=/attacker/x",
    "EDITOR=/attacker/x", "VISUAL=/attacker/x", "LESSOPEN=|/attacker/x %s", "GIT_SSH_COMMAND=/attacker/x",
    "SSL_CERT_FILE=/attacker/ca.pem", "https_proxy=http://127.0.0.1:9", "KRB5_CONFIG=/attacker/krb5.conf",
    "GNUPGHOME=/attacker", "VIMINIT=:!/attacker/x", "GTK_MODULES=/attacker/m.so", "GIO_EXTRA_MODULES=/attacker",
    "QT_PLUGIN_PATH=/attacker", "PROMPT_COMMAND=/attacker/x", "HISTFILE=/attacker/history",
    "INPUTRC=/attacker/inputrc", "BASH_ENV=/attacker/x", "BASH_FUNC_f%%=() { id; }", "ORV_MARK=anything",
    "TERM=../../attacker/x", "LANG=../../attacker", "LANGUAGE=en:../x", "LC_ALL=C/../../x", "LC_MESSAGES=..",
    "TZ=/attacker/zone", "COLUMNS=80;x", "LINES=",
};
// These reach another user as they are, PATH aside.
const std::vector<std::string> kSaneEnv = {
    "PATH=/usr/bin:/bin", "TERM=xterm-256color", "LANG=C.UTF-8", "LANGUAGE=en_GB:en", "LC_ALL=C",
    "LC_TIME=en_GB.UTF-8", "TZ=CET-1CEST", "COLUMNS=132", "LINES=43",
};

std::set<std::string> env_set(const rwtest::Probe& p) {
  std::set<std::string> out;
  for (const auto& [name, value] : p.env) out.insert(name + "=" + value);
  return out;
}

TEST_F(IdentityTest, EnvironmentOfAnotherUserComesFromTheTable) {
  const uid_t daemon = rwtest::user_id("daemon");
  for (const auto* env : {&kHostileEnv, &kSaneEnv}) {
    for (uid_t target : {uid_t{0}, daemon}) {
      const passwd* pw = getpwuid(target);
      ASSERT_NE(pw, nullptr);
      std::set<std::string> want = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                                    std::string("HOME=") + pw->pw_dir, std::string("SHELL=") + pw->pw_shell,
                                    std::string("USER=") + pw->pw_name, std::string("LOGNAME=") + pw->pw_name};
      if (env == &kSaneEnv) want.insert(kSaneEnv.begin() + 1, kSaneEnv.end());
      EXPECT_EQ(env_set(probe(std::to_string(target), *env)), want) << env->front();
    }
    EXPECT_EQ(env_set(probe("-", *env)), std::set<std::string>(env->begin(), env->end()))
        << "the caller's own program gets it all";
  }
}

// The caller's process state, and what the probe reports of it when it runs
// as root and as the caller.
TEST_F(IdentityTest, ProcessStateOfAnotherUserIsReset) {
  struct Row {
    std::string prelude;
    std::string launch;
    std::string key;
    std::string root;
    std::string self;
  };
  const Row rows[] = {
      {"umask 0", "", "umask", "0022", "0000"},
      {"umask 077", "", "umask", "0077", "0077"},
      {"trap '' XFSZ INT", "", "sigign", "0000000000000000", "0000000001000002"},
      {"", "--hostile", "sigblk", "0000000000000000", "0000000000004200"},
      {"", "--hostile", "alarm", "off", "armed"},
      {"ulimit -S -f 1", "", "Max file size", "unlimited unlimited", "512 unlimited"},
      {"ulimit -c unlimited", "", "Max core file size", "0 0", "unlimited unlimited"},
      {"exec 9</dev/null", "", "fds", "0 1 2", "0 1 2 9"},
      // Descriptors are closed where close_range is missing too.
      {"", "--no-close-range", "close_range", "Function not implemented", "Function not implemented"},
      {"exec 9</dev/null", "--no-close-range", "fds", "0 1 2", "0 1 2 9"},
      {"cd " + kAttacker, "", "cwd", kAttacker, kAttacker},  // kept for scripts
  };
  for (const Row& row : rows) {
    caller_.prelude = row.prelude;
    caller_.launch = row.launch;
    EXPECT_EQ(probe("0").state[row.key], row.root) << row.prelude << " " << row.key;
    EXPECT_EQ(probe("-").state[row.key], row.self) << row.prelude << " " << row.key;
  }
}

// Limits a caller lowered could cut a program run as another user short;
// it gets those of PID 1, with which the system's own services start, and
// nice value 0.
TEST_F(IdentityTest, LimitsAndNiceOfAnotherUserAreThoseOfPid1) {
  // A PID 1 whose soft limits differ from the test's own; its hard limits
  // are the test's, which the wrapper can set without CAP_SYS_RESOURCE.
  std::string pid1 = rwtest::read_text("/proc/self/limits");
  for (const auto& [name, soft] : {std::pair<std::string, std::string>{"Max open files", "1000"},
                                   {"Max stack size", "4194304"}, {"Max cpu time", "100000"}}) {
    const auto at = pid1.find("\n" + name + " ") + 1 + 26;  // "%-25s %-20s " as the kernel writes
    pid1.replace(at, 20, soft + std::string(20 - soft.size(), ' '));
  }
  box_.pid1_limits(pid1);
  caller_.prelude = "ulimit -S -n 64; ulimit -S -s 2048; ulimit -S -t 5000; ulimit -S -v 4000000; "
                    "ulimit -S -d 4000000; ulimit -S -p 200; ulimit -S -l 32; ulimit -S -w 100; "
                    "renice -n 5 -p $$ >/dev/null";
  auto expect_limits_of = [](rwtest::Probe p, const std::string& table) {
    auto want = rwtest::limits_table(table);
    want["Max core file size"] = "0 0";
    for (const auto& [name, limits] : want) EXPECT_EQ(p.state[name], limits) << name;
  };
  auto root = probe("0");
  expect_limits_of(root, pid1);
  EXPECT_EQ(root.state["nice"], "0");
  auto self = probe("-");
  const std::string open_files = rwtest::limits_table(pid1)["Max open files"];
  EXPECT_EQ(self.state["Max open files"], "64" + open_files.substr(open_files.find(' ')));
  EXPECT_EQ(self.state["nice"], "5");

  // The real PID 1, unless lifting a hard limit to its needs a capability
  // root lacks here.
  bool within = true;  // the test's hard limits reach PID 1's (the core size is lowered)
  for (int r = 0; r < RLIM_NLIMITS; ++r) {
    rlimit own{}, init{};
    within = within && getrlimit(static_cast<__rlimit_resource>(r), &own) == 0 &&
             prlimit(1, static_cast<__rlimit_resource>(r), nullptr, &init) == 0 &&
             (r == RLIMIT_CORE || own.rlim_max >= init.rlim_max);
  }
  const bool can_lift = within || prctl(PR_CAPBSET_READ, CAP_SYS_RESOURCE, 0, 0, 0) == 1;
  box_.real_pid1_limits();
  box_.write_conf("probe " + kProbe + " 0\n");
  auto real = run({"probe"});
  if (can_lift) {
    expect_limits_of(rwtest::parse_probe(real.out), rwtest::read_text("/proc/1/limits"));
  } else {
    EXPECT_EQ(real.status, 253);
    EXPECT_EQ(real.err, "setrlimit: Operation not permitted\n");
  }

  // A table the wrapper cannot read in full leaves it nothing to go by.
  box_.pid1_limits(pid1.substr(0, pid1.rfind("Max realtime")));
  auto cut = run({"probe"});
  EXPECT_EQ(cut.status, 253);
  EXPECT_EQ(cut.err, "/proc/1/limits: Bad message\n");
  EXPECT_EQ(cut.out, "");
}

// Root-owned scripts on the allow-list, each run as root by a caller who has
// set up what once let him run code as root or spoil the script's work.
TEST_F(IdentityTest, ScriptsRunAsRootGiveTheCallerNothing) {
  const std::string python = std::filesystem::canonical("/usr/bin/python3").filename();
  const std::string pwned = "#!/bin/sh\necho PWNED >&2\n";
  box_.write("attacker/bin/date", pwned, 0755, nobody_);
  box_.write("attacker/x.sh", pwned, 0755, nobody_);
  box_.write("attacker/home/.local/lib/" + python + "/site-packages/x.pth",
             "import sys; sys.stderr.write('PWNED\\n')\n", 0644, nobody_);
  box_.make_dir("attacker/cwd", 0755, nobody_);
  box_.make_dir("out");
  auto init = rwtest::spawn({"/usr/bin/git", "init", "-q", box_.outside(kDir + "/repo")}, {});
  ASSERT_EQ(init.status, 0) << init.err;

  const std::string backup = "#!/bin/sh\nhead -c 2000 /dev/zero >" + kDir + "/out/backup && stat -c '%s %a' " +
                             kDir + "/out/backup\n";
  // Without CAP_SYS_RESOURCE (in some containers) a lowered hard limit
  // cannot be lifted, and the wrapper refuses instead.
  const bool can_lift = prctl(PR_CAPBSET_READ, CAP_SYS_RESOURCE, 0, 0, 0) == 1;

  struct Row {
    const char* what;
    std::string prelude;
    std::vector<std::string> env;
    std::string script;
    std::string out;
    int status = 0;
    std::string err = "";
  };
  const Row rows[] = {
      {"PATH before the system's", "", {"PATH=" + kAttacker + "/bin:/usr/bin:/bin"},
       "#!/bin/sh\ndate -u -d @0 +%Y\n", "1970\n"},
      {"HOME with Python user site-packages", "", {"HOME=" + kAttacker + "/home"},
       "#!/usr/bin/python3\nprint('plain')\n", "plain\n"},
      {"TEMP and TMP", "", {"TEMP=" + kAttacker, "TMP=" + kAttacker},
       "#!/usr/bin/python3\nimport tempfile\nprint(tempfile.gettempdir())\n", "/tmp\n"},
      {"git configuration from the environment", "",
       {"GIT_CONFIG_COUNT=1", "GIT_CONFIG_KEY_0=core.fsmonitor", "GIT_CONFIG_VALUE_0=" + kAttacker + "/x.sh"},
       "#!/bin/sh\ncd " + kDir + "/repo && /usr/bin/git status --porcelain && echo clean\n", "clean\n"},
      {"umask, ignored XFSZ and a soft file-size limit", "umask 0; trap '' XFSZ; ulimit -S -f 1", {},
       backup, "2000 644\n"},
      {"umask, ignored XFSZ and a hard file-size limit", "umask 0; trap '' XFSZ; ulimit -f 1", {},
       backup, can_lift ? "2000 644\n" : "", can_lift ? 0 : 253,
       can_lift ? "" : "setrlimit: Operation not permitted\n"},
      {"core files in the caller's directory", "ulimit -c unlimited; cd " + kAttacker + "/cwd", {},
       "#!/bin/sh\n{ sh -c 'kill -SEGV $$'; } 2>/dev/null\nls -A\n", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    box_.write_conf("job " + box_.write("job", row.script) + " 0\n");
    caller_.prelude = row.prelude;
    auto r = run({"job"}, row.env);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
  }
}

// Allow-lists and programs that only root may be able to change, and lines
// whose meaning depends on the caller.  Root is told why a command does not
// run; nobody learns no more than he would of a name the list lacks.
TEST_F(IdentityTest, AllowListAndProgramsMustBeRootsAlone) {
  const std::string daemon = " " + std::to_string(rwtest::user_id("daemon")) + "\n";
  const std::string good = "probe " + kProbe + " 0\n";
  for (const char* name : {"attacker/tool", "attacker/ls", "attacker/bin/tool"})
    box_.copy(box_.outside(kProbe), name, 0755, nobody_);
  box_.copy(box_.outside(kProbe), "daemons", 0755, rwtest::user_id("daemon"));
  box_.copy(box_.outside(kProbe), "loose", 0775);
  box_.copy(box_.outside(kProbe), "plain", 0644);
  box_.make_dir("shared", 0775);
  box_.copy(box_.outside(kProbe), "shared/tool");
  box_.make_dir("open", 01777);
  box_.copy(box_.outside(kProbe), "open/tool");
  box_.write("open/conf", good, 0644);
  box_.write("lists/conf", good, 0644);
  box_.write("attacker/conf", good, 0644);
  std::filesystem::create_symlink(kDir + "/open/tool", box_.outside(kDir + "/link"));
  caller_.prelude = "cd " + kAttacker;  // where relative paths would be found
  const rwtest::Caller root{0, 0, {}, caller_.prelude};
  const std::string refused = "; refusing to run.\n";
  const std::string warning = "WARNING: " + kConf + " line ";
  const std::string not_user = " names a user that is neither - nor a user id; line ignored.\n";
  std::string words;
  for (const char* user : {"root", "-1", "admin", "--", "0x3e8"}) words += "w " + kProbe + " " + user + "\n";

  struct Row {
    const char* what;
    std::function<void()> setup;
    std::string command;
    int status;  // and message, for root
    std::string err;
    bool for_root_only = false;
  };
  auto conf = [&](const std::string& text) { return [&, text] { box_.write_conf(text); }; };
  const Row rows[] = {
      {"users that are neither - nor a user id", conf(words), "w", 127,
       warning + "1" + not_user + warning + "2" + not_user + warning + "3" + not_user + warning + "4" +
           not_user + warning + "5 names a user id that is not a plain decimal number; line ignored.\n"
           "ERROR: Disallowed command w\n"},
      {"relative paths", conf("ls ls 0\nrel bin/tool 0\n"), "rel", 127,
       warning + "1 names a relative path; line ignored.\n" + warning +
           "2 names a relative path; line ignored.\nERROR: Disallowed command rel\n"},
      {"name not listed", conf(good), "nope", 127, "ERROR: Disallowed command nope\n"},
      {"program of another user than the target", conf("t " + kAttacker + "/tool" + daemon), "t", 1,
       "ERROR: " + kAttacker + "/tool is owned by neither root nor the target user" + refused, true},
      {"program writable by its group", conf("t " + kDir + "/loose" + daemon), "t", 1,
       "ERROR: " + kDir + "/loose is writable by group or others" + refused, true},
      {"group-writable directory above", conf("t " + kDir + "/shared/tool" + daemon), "t", 1,
       "ERROR: " + kDir + "/shared is writable by group or others" + refused, true},
      {"sticky world-writable directory above", conf("t " + kDir + "/open/tool" + daemon), "t", 1,
       "ERROR: " + kDir + "/open is writable by group or others" + refused, true},
      {"link into a world-writable directory", conf("t " + kDir + "/link" + daemon), "t", 1,
       "ERROR: " + kDir + "/open is writable by group or others" + refused, true},
      {"program missing", conf("t " + kDir + "/missing" + daemon), "t", 255,
       kDir + "/missing: No such file or directory\n", true},
      {"program missing, run as the caller", conf("t " + kDir + "/missing -\n"), "t", 255,
       kDir + "/missing: No such file or directory\n", true},
      {"program not executable", conf("t " + kDir + "/plain" + daemon), "t", 255,
       kDir + "/plain: Permission denied\n", true},
      {"user id without a passwd entry", conf("t " + kProbe + " " + std::to_string(rwtest::unused_uid()) + "\n"),
       "t", 253, "getpwuid: No such file or directory\n", true},
      {"program of the target user", conf("t " + kDir + "/daemons" + daemon), "t", 0, ""},
      {"the caller's own program", conf("t " + kAttacker + "/tool -\n"), "t", 0, ""},
      {"list is a FIFO", [&] { box_.conf_fifo(); }, "probe", 1,
       "ERROR: " + kConf + " is not a regular file" + refused},
      {"list linked into a world-writable directory", [&] { box_.conf_link(kDir + "/open/conf"); },
       "probe", 1, "ERROR: " + kDir + "/open is writable by group or others" + refused},
      {"list linked into a directory of an ordinary user", [&] { box_.conf_link(kAttacker + "/conf"); },
       "probe", 1, "ERROR: " + kAttacker + " is not owned by root" + refused},
      {"list linked into a safe directory", [&] { box_.conf_link(kDir + "/lists/conf"); }, "probe", 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    row.setup();
    for (const rwtest::Caller& who : {root, caller_}) {
      const bool told = who.uid == 0 || !row.for_root_only;
      auto r = box_.run({row.command}, {}, who);
      EXPECT_EQ(r.status, told ? row.status : 127) << who.uid;
      EXPECT_EQ(r.err, told ? row.err : "ERROR: Disallowed command " + row.command + "\n") << who.uid;
      if (row.status != 0) {
        EXPECT_EQ(r.out, "");
      }
    }
  }
}

TEST_F(IdentityTest, WithoutSetuidAnotherUserIsRefused) {
  box_.write_conf("probe " + kProbe + " 0\n");
  auto r = box_.run({"probe"}, {}, caller_, box_.copy(rwtest::kBuiltWrapper, "plain-wrapper"));
  EXPECT_EQ(r.status, 253);
  EXPECT_EQ(r.err, "setgroups: Operation not permitted\n");
  EXPECT_EQ(r.out, "");
}

}  // namespace