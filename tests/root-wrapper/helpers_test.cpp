// The wrapper's parsing and decision helpers, called directly.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

bool operator==(const LineRead& a, const LineRead& b) { return a.status == b.status && a.text == b.text; }
typedef std::vector<LineRead> Lines;

TEST(ReadLine, SplitsLinesAndDropsTheRestOfOverLongOnes) {
  const std::string fits(1022, 'a');
  EXPECT_EQ(read_all("one\n\ntwo"), (Lines{{LINE_OK, "one"}, {LINE_OK, ""}, {LINE_OK, "two"}}));
  EXPECT_TRUE(read_all("").empty());
  EXPECT_EQ(read_all(fits + "\n" + std::string(1023, 'b') + "\nnext\n"),
            (Lines{{LINE_OK, fits}, {LINE_TOO_LONG, std::string(1022, 'b')}, {LINE_OK, "next"}}));
  // The tail of a long comment must not come back as a line of its own.
  const std::string comment = "#" + std::string(1021, ' ');
  EXPECT_EQ(read_all(comment + "ls /bin/ls 0\nend"), (Lines{{LINE_TOO_LONG, comment}, {LINE_OK, "end"}}));

  const char with_nul[] = "ls /bin/ls 1\0" "000\nx\n";
  auto nul = read_all(std::string(with_nul, sizeof with_nul - 1));
  ASSERT_EQ(nul.size(), 2u);
  EXPECT_EQ(nul[0].status, LINE_HAS_NUL);
  EXPECT_EQ(nul[1], (LineRead{LINE_OK, "x"}));
}

// The process tests cover the line format as the wrapper sees it; these are
// the splitting and number edges.
TEST(ParseLine, FieldSplittingUserIdsAndPaths) {
  struct Case {
    const char* line;
    parse_result result;
    int has_uid;
    int uid;
  };
  const Case cases[] = {
      {"ls\t/bin/ls \t 1000 more fields\n", PARSE_ENTRY, 1, 1000},
      {"x /bin/ls 000000000000000000001000", PARSE_ENTRY, 1, 1000},
      {"x /bin/ls 2147483647", PARSE_ENTRY, 1, INT_MAX},
      {"x /bin/ls 2147483648", PARSE_BAD_UID, 0, 0},
      {"x /bin/ls 4294967296", PARSE_BAD_UID, 0, 0},  // atoi would wrap this to 0
      {"x /bin/ls 0x3e8", PARSE_NOT_NUMBER, 0, 0},    // atoi would read 0
      {"x /bin/ls 1e3", PARSE_NOT_NUMBER, 0, 0},
      {"x /bin/ls 1000x", PARSE_NOT_NUMBER, 0, 0},
      {"x /bin/ls 1,000", PARSE_NOT_NUMBER, 0, 0},
      {"x /bin/ls -", PARSE_ENTRY, 0, 0},
      // Words would have run as the caller unnoticed.
      {"x /bin/ls x1000", PARSE_NOT_USER, 0, 0},
      {"x /bin/ls root", PARSE_NOT_USER, 0, 0},
      {"x /bin/ls -1", PARSE_NOT_USER, 0, 0},
      {"x /bin/ls --", PARSE_NOT_USER, 0, 0},
      {"x /bin/ls +1000", PARSE_NOT_USER, 0, 0},
      {"ls ls 0", PARSE_RELATIVE, 0, 0},
      {"rel bin/ls -", PARSE_RELATIVE, 0, 0},
      {"rel ./bin/ls 0x3e8", PARSE_RELATIVE, 0, 0},
      {"ls /bin/ls \t\n", PARSE_NONE, 0, 0},
      {"\n", PARSE_NONE, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string line = c.line;
    cmd_entry e{};
    ASSERT_EQ(parse_line(line.data(), &e), c.result);
    if (c.result != PARSE_ENTRY) continue;
    EXPECT_STREQ(e.path, "/bin/ls");
    EXPECT_EQ(e.has_uid, c.has_uid);
    EXPECT_EQ(e.uid, c.uid);
  }
}

// The kernel's own table (the test's limits), and the ways it could differ.
TEST(ReadLimits, TakesTheKernelsTableAndNothingElse) {
  const std::string own = rwtest::read_text("/proc/self/limits");
  const auto open_files = own.find("Max open files ");
  const auto line_end = own.find('\n', open_files);
  auto with_open_files = [&](const std::string& line) {
    return own.substr(0, open_files) + line + own.substr(line_end);
  };
  struct Case {
    std::string text;
    bool ok;
  };
  const Case cases[] = {
      {own, true},
      {with_open_files("Max open files 100 200 files"), true},
      {with_open_files("Max open files 18446744073709551614 unlimited files"), true},
      {with_open_files("Max open files 18446744073709551615 unlimited files"), false},  // RLIM_INFINITY
      {with_open_files("Max open files 184467440737095516150 unlimited files"), false},
      {with_open_files("Max open files 0100 200 files"), false},
      {with_open_files("Max open files -1 200 files"), false},
      {with_open_files("Max open files 300 200 files"), false},
      {with_open_files("Max open files 100 files"), false},
      {with_open_files("Max open files 100 200"), false},
      {with_open_files("Max open files 100 200 bytes"), false},
      {with_open_files("Max open files 100 200 files x"), false},
      {with_open_files("Max open files\t100 200 files"), false},
      {with_open_files("Max open filesx 100 200 files"), false},
      {with_open_files("Max locked memory 100 200 bytes"), false},  // out of order
      {"Limit Soft Limit Hard Units\n" + own.substr(own.find('\n') + 1), false},
      {own.substr(0, own.rfind("Max realtime timeout")), false},
      {own + "Max new thing 1 1 things\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FILE* f = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "r");
    ASSERT_NE(f, nullptr);
    rlimit limits[RLIM_NLIMITS];
    errno = 0;
    const int got = read_limits(f, limits);
    fclose(f);
    ASSERT_EQ(got, c.ok ? 0 : -1);
    if (!c.ok) {
      EXPECT_EQ(errno, EBADMSG);
    } else if (c.text == own) {
      for (int r = 0; r < RLIM_NLIMITS; ++r) {
        rlimit want{};
        ASSERT_EQ(getrlimit(static_cast<__rlimit_resource>(r), &want), 0);
        EXPECT_EQ(limits[r].rlim_cur, want.rlim_cur) << r;
        EXPECT_EQ(limits[r].rlim_max, want.rlim_max) << r;
      }
    } else {
      EXPECT_EQ(limits[RLIMIT_NOFILE].rlim_cur, c.text.find(" 100 ") != std::string::npos ? 100u : RLIM_INFINITY - 1);
    }
  }
}

// Lookup never reads past the filled part of the table.
TEST(FindCmd, StopsAtTheCountAndAtANullName) {
  char ls[] = "ls", bin_ls[] = "/bin/ls", cat[] = "cat", bin_cat[] = "/bin/cat";
  cmd_entry table[] = {
      {ls, bin_ls, 0, 0, 0, 0},
      {nullptr, nullptr, 0, 0, 0, 0},
      {cat, bin_cat, 0, 0, 0, 0},
  };
  EXPECT_EQ(find_cmd(table, 3, "/usr/bin/ls"), &table[0]);
  EXPECT_EQ(find_cmd(table, 3, "cat"), nullptr);
  EXPECT_EQ(find_cmd(table, 0, "ls"), nullptr);
  EXPECT_EQ(find_cmd(table, 3, ""), nullptr);
  EXPECT_STREQ(base_name("/a/b/"), "");
}

TEST(Environment, OnlySaneValuesOfTheTableReachAnotherUser) {
  const char* kept[] = {
      "TERM=xterm-256color", "TERM=", "LANG=C.UTF-8", "LANGUAGE=en_GB:en", "LC_ALL=C",
      "LC_TIME=en_GB.UTF-8", "TZ=UTC", "TZ=CET-1CEST", "COLUMNS=132", "LINES=0043",
  };
  const char* dropped[] = {
      // Set by the wrapper whatever their value.
      "PATH=/usr/bin:/bin", "HOME=/root", "SHELL=/bin/sh", "USER=root", "LOGNAME=root",
      // Values that could name a file.
      "TERM=../../tmp/x", "TERM=/tmp/x", "LANG=../../tmp/x", "LANG=..", "LANGUAGE=en:..",
      "LC_ALL=x/y", "TZ=/etc/localtime", "TZ=:UTC", "TZ=Europe/Berlin", "TZ=../../tmp/zone",
      "COLUMNS=80x", "COLUMNS=", "LINES=-1", "LINES= 24",
      // Everything outside the table, whatever the value.
      "LD_PRELOAD=/x.so", "BASH_ENV=/x", "BASH_FUNC_f%%=() { id; }", "GIT_CONFIG_COUNT=1",
      "PYTHONPATH=/x", "TEMP=/x", "TERMINFO=/x", "TERMX=xterm", "XLANG=C", "LC=C",
      "LANG", "=C", "",
  };
  for (const char* e : kept) EXPECT_TRUE(env_keeps(e)) << e;
  for (const char* e : dropped) EXPECT_FALSE(env_keeps(e)) << e;

  char name[] = "svc", dir[] = "/srv/svc", shell[] = "", password[] = "x";
  const passwd pw{name, password, 1234, 1234, name, dir, shell};
  std::vector<char*> caller;
  for (const char* e : {"PATH=/x", "TERM=vt100", "HOME=/h", "LC_ALL=C", "LD_PRELOAD=/x", "LINES=24"})
    caller.push_back(const_cast<char*>(e));
  caller.push_back(nullptr);
  char** env = build_env(caller.data(), &pw);
  ASSERT_NE(env, nullptr);
  std::vector<std::string> got;
  for (char** e = env; *e != nullptr; ++e) got.push_back(*e);
  EXPECT_EQ(got, (std::vector<std::string>{"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/srv/svc", "SHELL=/bin/sh",
                                           "USER=svc", "LOGNAME=svc", "TERM=vt100", "LC_ALL=C",
                                           "LINES=24"}));
  EXPECT_EQ(env[5], caller[1]);  // kept entries are the caller's own strings
  free(env);
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
