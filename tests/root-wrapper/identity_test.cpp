// A set-user-ID root copy of the wrapper run by an unprivileged caller.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.hpp"

namespace {

using rwtest::kProbe;

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!suid_.unusable().empty()) GTEST_SKIP() << suid_.unusable();
    nobody_ = rwtest::user_id("nobody");
    nogroup_ = rwtest::primary_gid("nobody");
    // Supplementary groups the caller holds; no group entries needed.
    caller_ = rwtest::Caller{nobody_, nogroup_, {4, 24}};
  }
  rwtest::Probe run(const std::string& user, const std::vector<std::string>& env = {}) {
    conf_.write("probe " + kProbe + " " + user + "\n");
    auto r = conf_.run(suid_.path(), {"probe", "arg"}, env, caller_);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return rwtest::parse_probe(r.out);
  }

  rwtest::SetuidCopy suid_;
  rwtest::ConfDir conf_;
  uid_t nobody_ = 0;
  gid_t nogroup_ = 0;
  rwtest::Caller caller_{};
};

TEST_F(IdentityTest, SwitchingUserTakesThePasswdIdsAndNoGroups) {
  auto root = run("0");
  EXPECT_EQ(root.uids, (std::vector<unsigned>{0, 0, 0}));
  EXPECT_EQ(root.gids, (std::vector<unsigned>{0, 0, 0}));
  EXPECT_TRUE(root.groups.empty());
  EXPECT_EQ(root.args, (std::vector<std::string>{kProbe, "arg"}));

  const uid_t daemon = rwtest::user_id("daemon");
  const unsigned daemon_gid = rwtest::primary_gid("daemon");
  auto other = run(std::to_string(daemon));
  EXPECT_EQ(other.uids, (std::vector<unsigned>{daemon, daemon, daemon}));
  EXPECT_EQ(other.gids, (std::vector<unsigned>{daemon_gid, daemon_gid, daemon_gid}));
  EXPECT_TRUE(other.groups.empty());
  EXPECT_EQ(other.capeff, 0u);
}

TEST_F(IdentityTest, OwnUserKeepsGroupsButTakesThePrimaryGroup) {
  caller_.gid = 24;  // a current group other than the primary one
  for (const char* user : {"-", "x1"}) {
    auto self = run(user);
    EXPECT_EQ(self.uids, (std::vector<unsigned>{nobody_, nobody_, nobody_})) << user;
    EXPECT_EQ(self.gids, (std::vector<unsigned>{nogroup_, nogroup_, nogroup_})) << user;
    EXPECT_EQ(self.groups, (std::vector<unsigned>{4, 24})) << user;
    EXPECT_EQ(self.capeff, 0u) << user;
  }
  EXPECT_EQ(run(std::to_string(nobody_)).groups, (std::vector<unsigned>{4, 24}));
}

TEST_F(IdentityTest, EnvironmentReachesOnlyTheCallersOwnPrograms) {
  // glibc drops the first group itself for a set-user-ID program; the wrapper
  // has to drop the second.
  const std::vector<std::string> loader = {"LD_PRELOAD=/nonexistent.so",
                                           "LD_LIBRARY_PATH=/nonexistent", "GCONV_PATH=/nonexistent"};
  const std::vector<std::string> ours = {"BASH_ENV=/tmp/x", "BASH_FUNC_f%%=() { id; }",
                                         "PYTHONPATH=/tmp", "PERL5OPT=-Mx", "NODE_OPTIONS=-r x",
                                         "IFS=/", "PS4=$(id)"};
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "ORV_MARK=kept"};
  env.insert(env.end(), loader.begin(), loader.end());
  env.insert(env.end(), ours.begin(), ours.end());

  auto root = run("0", env);
  for (const auto& e : loader) EXPECT_EQ(root.env.count(e.substr(0, e.find('='))), 0u) << e;
  for (const auto& e : ours) EXPECT_EQ(root.env.count(e.substr(0, e.find('='))), 0u) << e;
  EXPECT_EQ(root.env["ORV_MARK"], "kept");
  EXPECT_EQ(root.env["PATH"], "/usr/bin:/bin");

  auto self = run("-", env);
  for (const auto& e : ours) {
    auto eq = e.find('=');
    EXPECT_EQ(self.env[e.substr(0, eq)], e.substr(eq + 1));
  }
  EXPECT_EQ(self.env["ORV_MARK"], "kept");
}

TEST_F(IdentityTest, WithoutSetuidAnotherUserIsRefused) {
  conf_.write("probe " + kProbe + " 0\n");
  auto r = conf_.run(rwtest::kWrapper, {"probe"}, {}, caller_);
  EXPECT_EQ(r.status, 253);
  EXPECT_EQ(r.err, "setgroups: Operation not permitted\n");
  EXPECT_EQ(r.out, "");
}

}  // namespace
