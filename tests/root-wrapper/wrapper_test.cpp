// The wrapper run by root, against test allow-lists.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

using rwtest::kConf;
using rwtest::kProbe;

class WrapperTest : public ::testing::Test {
 protected:
  rwtest::Result run(const std::vector<std::string>& args) { return box_.run(args); }
  // Runs COMMAND and returns the uid the probe ran as, or -1 when it did not run.
  long uid_of(const std::string& command) {
    auto r = run({command});
    if (r.status != 0) return -1;
    auto p = rwtest::parse_probe(r.out);
    return p.uids.empty() ? -1 : static_cast<long>(p.uids[0]);
  }
  rwtest::Sandbox box_;
};

TEST_F(WrapperTest, UsageAndFileErrors) {
  box_.conf_missing();
  // Without a command the configuration is not even opened.
  auto usage = run({});
  EXPECT_EQ(usage.status, 127);
  EXPECT_EQ(usage.err, "ERROR: must supply a command to run, as a command-line argument.\n");

  auto missing = run({"ls"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, kConf + ": No such file or directory\n");

  struct Case {
    mode_t mode;
    uid_t owner;
    const char* why;
  };
  for (const Case& c : {Case{0644, 1000, "is not owned by root"},
                        Case{0664, 0, "is writable by group or others"},
                        Case{0646, 0, "is writable by group or others"}}) {
    box_.write_conf("probe " + kProbe + " 0\n", c.mode, c.owner);
    auto r = run({"probe"});
    EXPECT_EQ(r.status, 1) << c.why;
    EXPECT_EQ(r.err, "ERROR: " + kConf + " " + c.why + "; refusing to run.\n");
    EXPECT_EQ(r.out, "");
  }
  box_.conf_directory();
  auto dir = run({"probe"});
  EXPECT_EQ(dir.status, 1);
  EXPECT_EQ(dir.err, "ERROR: " + kConf + " is not a regular file; refusing to run.\n");
}

TEST_F(WrapperTest, RunsTheConfiguredPathWithTheCallersArguments) {
  const std::string nobody = std::to_string(rwtest::user_id("nobody"));
  box_.write_conf("probe " + kProbe + " 0\n"
              "other " + kProbe + " " + nobody + "\n"
              "nope /nonexistent/program 0\n");
  auto r = run({"probe", "-l", "/tmp", "two words", ""});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  auto p = rwtest::parse_probe(r.out);
  EXPECT_EQ(p.args, (std::vector<std::string>{kProbe, "-l", "/tmp", "two words", ""}));
  EXPECT_EQ(p.uids, (std::vector<unsigned>{0, 0, 0}));
  EXPECT_EQ(p.gids, (std::vector<unsigned>{0, 0, 0}));

  // Any directory with the right base name, or the exact configured path.
  EXPECT_EQ(rwtest::parse_probe(run({"/opt/x/probe", "a"}).out).args,
            (std::vector<std::string>{kProbe, "a"}));
  EXPECT_EQ(uid_of(kProbe), 0);  // the first entry with that path

  auto denied = run({"probe/", "a"});
  EXPECT_EQ(denied.status, 127);
  EXPECT_EQ(denied.err, "ERROR: Disallowed command probe/\n");
  EXPECT_EQ(run({"/opt/probe/other2"}).err, "ERROR: Disallowed command /opt/probe/other2\n");

  auto gone = run({"nope"});
  EXPECT_EQ(gone.status, 255);
  EXPECT_EQ(gone.err, "/nonexistent/program: No such file or directory\n");
}

TEST_F(WrapperTest, LineFormat) {
  const uid_t nobody = rwtest::user_id("nobody");
  const std::string n = std::to_string(nobody);
  const std::string p = " " + kProbe + " ";
  const std::string fits = "fits" + p + n + " " + std::string(1022 - 5 - p.size() - n.size(), 'x');
  ASSERT_EQ(fits.size(), 1022u);
  box_.write_conf("#comment" + p + "0\n"
              " lead" + p + "0\n"
              "\n"
              "a#b" + p + n + "\n"
              "two" + p + "\n"
              "dup" + p + n + "\n"
              "dup" + p + "0\n"
              "x1" + p + "x" + n + "\n"
              "x2" + p + n + "x\n"  // not a plain number
              "huge" + p + "4294967296\n" +
              fits + "\n"
              "long" + p + n + " " + std::string(1100, 'x') + "\n"
              "#" + std::string(1021, ' ') + "tail" + p + "0\n");
  struct Case {
    const char* command;
    long uid;  // -1: disallowed
  };
  for (const Case& c : {Case{"#comment", -1}, Case{"lead", -1}, Case{"a#b", long(nobody)},
                        Case{"two", -1}, Case{"dup", long(nobody)}, Case{"x1", -1},
                        Case{"x2", -1}, Case{"huge", -1}, Case{"fits", long(nobody)},
                        Case{"long", -1}, Case{"tail", -1}}) {
    EXPECT_EQ(uid_of(c.command), c.uid) << c.command;
  }
  auto r = run({"tail"});
  EXPECT_EQ(r.status, 127);
  EXPECT_EQ(r.err, "WARNING: " + kConf + " line 8 names a user that is neither - nor a user id; line ignored.\n"
                   "WARNING: " + kConf + " line 9 names a user id that is not a plain decimal number; line ignored.\n"
                   "WARNING: " + kConf + " line 10 names a user id out of range; line ignored.\n"
                   "WARNING: " + kConf + " line 12 is longer than 1022 bytes; line ignored.\n"
                   "ERROR: Disallowed command tail\n");
}

// Standard descriptors the caller closed are /dev/null before the wrapper
// opens anything, and stay so for the program.
TEST_F(WrapperTest, ClosedStandardDescriptorsAreDevNull) {
  const std::string out = box_.make_dir("out") + "/stdio";
  box_.write_conf("job " + box_.write("job", "#!/bin/sh\nfds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\necho \"$fds\" >" + out + "\n") +
                  " -\n");
  struct Row {
    std::string prelude;
    std::string stdio;  // the targets, up to the first "pipe:"
  };
  for (const Row& row : {Row{"exec 0<&- 1>&- 2>&-", "/dev/null\n/dev/null\n/dev/null\n"},
                         Row{"exec 0<&- 2>&-", "/dev/null\npipe:"}, Row{"exec 1>&-", "/dev/null\n/dev/null\npipe:"}}) {
    auto r = box_.run({"job"}, {}, rwtest::Caller{0, 0, {}, row.prelude});
    EXPECT_EQ(r.status, 0) << row.prelude;
    std::ifstream in(box_.outside(out));
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got.substr(0, row.stdio.size()), row.stdio) << row.prelude;
  }
}

TEST_F(WrapperTest, TableHoldsEightyCommandsAndSaysSo) {
  std::string text = "# 82 commands\n";
  for (int i = 0; i < 82; ++i) text += "c" + std::to_string(i) + " " + kProbe + " 0\n";
  box_.write_conf(text);
  const std::string warning = "WARNING: " + kConf +
                              " holds more than 80 commands; line 82 and those after it are ignored.\n";
  for (const char* last : {"c0", "c79"}) {
    auto r = run({last});
    EXPECT_EQ(r.status, 0) << last;
    EXPECT_EQ(r.err, warning);
  }
  auto r = run({"c80"});
  EXPECT_EQ(r.status, 127);
  EXPECT_EQ(r.err, warning + "ERROR: Disallowed command c80\n");
}

}  // namespace
