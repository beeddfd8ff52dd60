// The wrapper's parsing and decision helpers, called directly.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.hpp"
#include "wrapper.h"

namespace {

struct LineRead {
  line_status status;
  std::string text;
};

std::vector<LineRead> read_all(const std::string& input) {
  std::vector<LineRead> out;
  FILE* f = tmpfile();
  if (f == nullptr || fwrite(input.data(), 1, input.size(), f) != input.size()) return out;
  rewind(f);
  char buf[LINE_BUF_SIZE];
  line_status s;
  while ((s = read_line(f, buf, LINE_READ_MAX)) != LINE_EOF && out.size() < 10)
    out.push_back({s, buf});
  fclose(f);
  return out;
}

TEST(ReadLine, SplitsLinesAndDropsTheRestOfOverLongOnes) {
  const std::string fits(1022, 'a');
  const std::string over(1023, 'b');
  const std::string comment = "#" + std::string(1021, ' ') + "ls /bin/ls 0\n";

  auto plain = read_all("one\n\ntwo");
  ASSERT_EQ(plain.size(), 3u);
  EXPECT_EQ(plain[0].text, "one");
  EXPECT_EQ(plain[1].text, "");
  EXPECT_EQ(plain[2].status, LINE_OK);
  EXPECT_EQ(plain[2].text, "two");
  EXPECT_TRUE(read_all("").empty());

  auto edge = read_all(fits + "\n" + over + "\nnext\n");
  ASSERT_EQ(edge.size(), 3u);
  EXPECT_EQ(edge[0].status, LINE_OK);
  EXPECT_EQ(edge[0].text, fits);
  EXPECT_EQ(edge[1].status, LINE_TOO_LONG);
  EXPECT_EQ(edge[1].text, std::string(1022, 'b'));
  EXPECT_EQ(edge[2].text, "next");

  // The tail of a long comment must not come back as a line of its own.
  auto hidden = read_all(comment + "end");
  ASSERT_EQ(hidden.size(), 2u);
  EXPECT_EQ(hidden[0].status, LINE_TOO_LONG);
  EXPECT_EQ(hidden[1].text, "end");

  const char with_nul[] = "ls /bin/ls 1\0" "000\nx\n";
  auto nul = read_all(std::string(with_nul, sizeof with_nul - 1));
  ASSERT_EQ(nul.size(), 2u);
  EXPECT_EQ(nul[0].status, LINE_HAS_NUL);
  EXPECT_EQ(nul[1].status, LINE_OK);
}

TEST(ParseLine, FieldsCommentsAndUserIds) {
  struct Case {
    const char* line;
    parse_result result;
    const char* name;
    const char* path;
    int has_uid;
    int uid;
  };
  const Case cases[] = {
      {"ls /bin/ls 0", PARSE_ENTRY, "ls", "/bin/ls", 1, 0},
      {"ls\t/bin/ls \t 1000 more fields\n", PARSE_ENTRY, "ls", "/bin/ls", 1, 1000},
      {"a#b /c 0", PARSE_ENTRY, "a#b", "/c", 1, 0},
      {"me /c -", PARSE_ENTRY, "me", "/c", 0, 0},
      {"x /c x1000", PARSE_ENTRY, "x", "/c", 0, 0},
      {"x /c 1000x", PARSE_ENTRY, "x", "/c", 1, 1000},
      {"x /c 000000000000000000001000", PARSE_ENTRY, "x", "/c", 1, 1000},
      {"x /c 2147483647", PARSE_ENTRY, "x", "/c", 1, INT_MAX},
      {"x /c 2147483648", PARSE_BAD_UID, nullptr, nullptr, 0, 0},
      {"x /c 4294967296", PARSE_BAD_UID, nullptr, nullptr, 0, 0},  // would wrap to 0
      {"#ls /bin/ls 0", PARSE_NONE, nullptr, nullptr, 0, 0},
      {" ls /bin/ls 0", PARSE_NONE, nullptr, nullptr, 0, 0},
      {"\tls /bin/ls 0", PARSE_NONE, nullptr, nullptr, 0, 0},
      {"ls /bin/ls", PARSE_NONE, nullptr, nullptr, 0, 0},
      {"ls /bin/ls \t\n", PARSE_NONE, nullptr, nullptr, 0, 0},
      {"", PARSE_NONE, nullptr, nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string line = c.line;
    cmd_entry e{};
    ASSERT_EQ(parse_line(line.data(), &e), c.result);
    if (c.result != PARSE_ENTRY) continue;
    EXPECT_STREQ(e.name, c.name);
    EXPECT_STREQ(e.path, c.path);
    EXPECT_EQ(e.has_uid, c.has_uid);
    if (c.has_uid) {
      EXPECT_EQ(e.uid, c.uid);
    }
  }
}

TEST(FindCmd, BaseNameOrExactPathAndFirstMatchWins) {
  char ls[] = "ls", bin_ls[] = "/bin/ls", usr_ls[] = "/usr/bin/ls";
  char tool[] = "tool", run[] = "/opt/t/run", cat[] = "cat", bin_cat[] = "/bin/cat";
  cmd_entry table[] = {
      {ls, bin_ls, 0, 0, 0, 0},
      {ls, usr_ls, 0, 0, 0, 0},
      {tool, run, 0, 0, 0, 0},
      {nullptr, nullptr, 0, 0, 0, 0},
      {cat, bin_cat, 0, 0, 0, 0},
  };
  const size_t n = sizeof table / sizeof table[0];
  struct Case {
    const char* command;
    const cmd_entry* expected;
  };
  const Case cases[] = {
      {"ls", &table[0]},
      {"/opt/x/ls", &table[0]},
      {"/usr/bin/ls", &table[0]},  // its base name already matches the first
      {"/opt/t/run", &table[2]},
      {"tool", &table[2]},
      {"run", nullptr},
      {"/opt/t/run/", nullptr},
      {"ls/", nullptr},
      {"", nullptr},
      {"cat", nullptr},  // behind the null name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(find_cmd(table, n, c.command), c.expected);
  }
  EXPECT_EQ(find_cmd(table, 2, "tool"), nullptr);
  EXPECT_STREQ(base_name("/a/b/c"), "c");
  EXPECT_STREQ(base_name("c"), "c");
}

TEST(ConfFileProblem, OnlyRootMayWrite) {
  auto problem = [](mode_t mode, uid_t uid) {
    struct stat st {};
    st.st_mode = mode;
    st.st_uid = uid;
    return conf_file_problem(&st);
  };
  EXPECT_EQ(problem(S_IFREG | 0644, 0), nullptr);
  EXPECT_EQ(problem(S_IFREG | 0400, 0), nullptr);
  EXPECT_STREQ(problem(S_IFREG | 0644, 1000), "is not owned by root");
  EXPECT_STREQ(problem(S_IFREG | 0664, 0), "is writable by group or others");
  EXPECT_STREQ(problem(S_IFREG | 0602, 0), "is writable by group or others");
  EXPECT_STREQ(problem(S_IFDIR | 0755, 0), "is not a regular file");
}

TEST(Environment, UnsafeVariablesAreDroppedAndTheRestKeptInOrder) {
  const char* unsafe[] = {
      "LD_PRELOAD=/x.so", "LD_LIBRARY_PATH=/x", "LD_AUDIT=/x", "LD_PRELOAD",
      "GCONV_PATH=/x", "LOCPATH=/x", "MALLOC_CHECK_=3", "GLIBC_TUNABLES=x=1",
      "TMPDIR=/x", "BASH_ENV=/x", "ENV=/x", "BASH_FUNC_f%%=() { :; }",
      "SHELLOPTS=xtrace", "BASHOPTS=x", "PS4=$(x)", "IFS=/", "CDPATH=/x",
      "GLOBIGNORE=*", "PYTHONPATH=/x", "PYTHONHOME=/x", "PYTHONSTARTUP=/x",
      "PYTHONWARNINGS=x", "PERL5LIB=/x", "PERLLIB=/x", "PERL5OPT=-Mx",
      "RUBYLIB=/x", "RUBYOPT=-rx", "NODE_OPTIONS=--require=x",
      "JAVA_TOOL_OPTIONS=-javaagent:x", "LUA_INIT_5_4=x", "OPENSSL_CONF=/x",
      "OLDSTYLE=() { x; }",
  };
  const char* safe[] = {
      "PATH=/usr/bin:/bin", "HOME=/root", "LANG=C.UTF-8", "TERM=xterm", "TZ=UTC",
      "LD=ld", "XLD_PRELOAD=/x", "ENVIRONMENT=x", "MY_PYTHONPATH=/x", "EMPTY=", "NOEQUALS",
  };
  for (const char* e : unsafe) EXPECT_TRUE(env_is_unsafe(e)) << e;
  for (const char* e : safe) EXPECT_FALSE(env_is_unsafe(e)) << e;

  std::vector<char*> env;
  std::vector<std::string> expected;
  for (size_t i = 0; i < sizeof safe / sizeof safe[0]; ++i) {
    env.push_back(const_cast<char*>(unsafe[i]));
    env.push_back(const_cast<char*>(safe[i]));
    expected.push_back(safe[i]);
  }
  env.push_back(const_cast<char*>(unsafe[sizeof unsafe / sizeof unsafe[0] - 1]));
  env.push_back(nullptr);
  ASSERT_EQ(scrub_env(env.data()), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(env[i], expected[i]);
  EXPECT_EQ(env[expected.size()], nullptr);
}

// The capability steps change the calling process, so they run in a child;
// its exit status tells which check failed.
TEST(Capabilities, OneCapabilitySurvivesTheUserChangeAndNothingElse) {
  const uid_t nobody = rwtest::user_id("nobody");
  const gid_t nogroup = rwtest::primary_gid("nobody");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    cap_t state = nullptr;
    if (caps_keep(CAP_NET_BIND_SERVICE, &state) != nullptr) _exit(1);
    if (setgroups(0, nullptr) != 0 || setresgid(nogroup, nogroup, nogroup) != 0 ||
        setresuid(nobody, nobody, nobody) != 0)
      _exit(2);
    if (caps_reapply(CAP_NET_BIND_SERVICE, state) != nullptr) _exit(3);
    cap_t now = cap_get_proc();
    cap_t want = cap_from_text("cap_net_bind_service=eip");
    _exit(now != nullptr && want != nullptr && cap_compare(now, want) == 0 ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: caps_keep, 2: identity change, 3: caps_reapply, 4: result";
}

}  // namespace
