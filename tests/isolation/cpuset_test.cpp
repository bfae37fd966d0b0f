#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "isolation/cpuset.h"
#include "machine/topology.h"
#include "run/config.h"
#include "temp_tree.h"

namespace {

const std::string kRoot = "/sys/fs/cgroup/cpuset";

std::string slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A plain-directory copy of a flat cgroup-v1 cpuset hierarchy on an 8-CPU machine.
class Cpuset : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_config();
    g_machine.ncpu = 8;
    for (int i = 0; i < 8; ++i) g_machine.cpu_ids[i] = i;
    tree.write(kRoot + "/cpuset.cpus", "0-7\n");
    tree.write(kRoot + "/cpuset.mems", "0\n");
    tree.write(kRoot + "/cgroup.procs", "");
    tree.write(kRoot + "/tasks", "1\n2\n" + std::to_string(getpid()) + "\n300\n301\nnot-a-pid\n302\n");
  }
  void TearDown() override { release_isolation(); }
  std::string root(const std::string& rel) const { return tree.root() + kRoot + rel; }
  int isolate(std::initializer_list<int> bench) {
    std::vector<int> b(bench);
    msg[0] = '\0';
    return isolate_rest(b.data(), static_cast<int>(b.size()), msg, sizeof msg);
  }
  TempTree tree;
  char msg[192];
};

TEST_F(Cpuset, MovesEveryOtherTaskAndBringsThemBack) {
  ASSERT_EQ(isolate({2, 3, 4, 5}), 0) << msg;
  EXPECT_TRUE(isolation_active());
  EXPECT_EQ(slurp(root("/tallyfox_rest/cpuset.cpus")), "0,1,6,7");
  EXPECT_EQ(slurp(root("/tallyfox_rest/cpuset.mems")), "0");
  // init (1) and our own pid stay; ids that do not parse are skipped.
  EXPECT_EQ(slurp(root("/tallyfox_rest/tasks")), "2\n300\n301\n302\n");
  tree.write(kRoot + "/tasks", "");
  release_isolation();
  EXPECT_FALSE(isolation_active());
  EXPECT_EQ(slurp(root("/tasks")), "2\n300\n301\n302\n");
  EXPECT_FALSE(std::filesystem::exists(root("/tallyfox_rest")));
}

TEST_F(Cpuset, LeftoverRestCpusetIsReusedAndEmptiedFirst) {
  tree.write(kRoot + "/tallyfox_rest/tasks", "900\n901\n");
  tree.write(kRoot + "/tallyfox_rest/cpuset.cpus", "7");
  tree.write(kRoot + "/tasks", "");
  ASSERT_EQ(isolate({0, 1}), 0) << msg;
  // The crashed run's tasks went back to the root before anything was moved.
  EXPECT_EQ(slurp(root("/tasks")), "900\n901\n");
  EXPECT_EQ(slurp(root("/tallyfox_rest/cpuset.cpus")), "2,3,4,5,6,7");
}

TEST_F(Cpuset, Refusals) {
  tree.write(kRoot + "/docker/cpuset.cpus", "0-1");
  EXPECT_EQ(isolate({0}), -1);
  EXPECT_STREQ(msg, "cpuset hierarchy is not flat (found 'docker')");
  std::filesystem::remove_all(root("/docker"));

  EXPECT_EQ(isolate({0, 1, 2, 3, 4, 5, 6, 7}), -1);
  EXPECT_STREQ(msg, "every cpu is a bench cpu — nowhere to move anything");
  EXPECT_FALSE(std::filesystem::exists(root("/tallyfox_rest")));

  tree.write("/proc/mdstat", "md0 : active raid1 sdb1[1] sda1[0]\n      [2/1] [U_]\n");
  EXPECT_EQ(isolate({0}), -1);
  EXPECT_STREQ(msg, "an md array is degraded (use --i-accept-the-risk to override)");
  g_config.accept_risk = 1;
  EXPECT_EQ(isolate({0}), 0) << msg;
  release_isolation();

  std::filesystem::remove(root("/cpuset.cpus"));
  EXPECT_EQ(isolate({0}), -1);
  EXPECT_STREQ(msg, "no cgroup-v1 cpuset at /sys/fs/cgroup/cpuset");
}

TEST_F(Cpuset, EmptyRootMemsWritesZero) {
  tree.write(kRoot + "/cpuset.mems", "");
  ASSERT_EQ(isolate({0}), 0) << msg;
  EXPECT_EQ(slurp(root("/tallyfox_rest/cpuset.mems")), "0");
}

TEST_F(Cpuset, FileInPlaceOfTheRestDirectoryFailsCleanly) {
  std::filesystem::remove_all(tree.root() + kRoot);
  tree.write(kRoot + "/cpuset.cpus", "0-7");
  tree.write(kRoot + "/tallyfox_rest", "a file where the directory should go");
  // An existing non-directory: mkdir fails with EEXIST and the reuse then cannot write.
  EXPECT_EQ(isolate({0}), -1);
  EXPECT_FALSE(isolation_active());
}

// What a start finds: a rest cpuset a dead run left, its tasks confined, the root's list without
// them. They go back, the cpuset goes, and the line says what happened.
TEST_F(Cpuset, StartRepairsALeftoverRestCpuset) {
  char repaired[256];
  EXPECT_EQ(repair_leftover_rest(repaired, sizeof repaired), 0);
  EXPECT_STREQ(repaired, "");

  tree.write(kRoot + "/tallyfox_rest/tasks", "900\n901\n");
  tree.write(kRoot + "/tallyfox_rest/cpuset.cpus", "7");
  tree.write(kRoot + "/tasks", "");
  EXPECT_EQ(repair_leftover_rest(repaired, sizeof repaired), 1);
  EXPECT_STREQ(repaired,
               "cpuset tallyfox_rest of a run that is no longer running was left behind: moved its 2 tasks back "
               "and removed it");
  EXPECT_EQ(slurp(root("/tasks")), "900\n901\n");
  EXPECT_FALSE(std::filesystem::exists(root("/tallyfox_rest")));

  // Something in the directory that is not the cpuset's keeps it: said, not hidden.
  tree.write(kRoot + "/tallyfox_rest/tasks", "");
  tree.write(kRoot + "/tallyfox_rest/stray", "");
  EXPECT_EQ(repair_leftover_rest(repaired, sizeof repaired), -1);
  EXPECT_NE(std::strstr(repaired, "moved 0 tasks back but cannot remove it"), nullptr) << repaired;
}

// The guardian's undo: every task in the rest cpuset goes back, the cpuset goes; the run's own
// list of moved tasks is not needed (the guardian is forked before any task moves).
TEST_F(Cpuset, UndoRestGroupWritesBackWhatTheRestHolds) {
  ASSERT_EQ(isolate({2, 3}), 0) << msg;
  tree.write(kRoot + "/tasks", "");                       // the kernel: moved tasks left the root
  tree.write(kRoot + "/tallyfox_rest/tasks", "300\n777\n");  // and one was forked in the rest
  EXPECT_EQ(undo_rest_group(), 2);
  EXPECT_EQ(slurp(root("/tasks")), "300\n777\n");
  EXPECT_FALSE(std::filesystem::exists(root("/tallyfox_rest")));
}

}  // namespace
