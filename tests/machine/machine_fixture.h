#pragma once
// Test base for the machine readers: points the path root at a committed fixture tree or at a
// scratch tree built by the test, fakes the online CPU count, and gives each test the zero
// MachineInfo of program start. Everything is restored afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "machine/paths.h"
#include "machine/topology.h"
#include "temp_tree.h"

inline long g_fake_online = 1;
inline long fake_online_cpus() { return g_fake_online; }

class MachineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_machine_ = g_machine;
    saved_online_ = g_online_cpus;
    g_online_cpus = fake_online_cpus;
    reset_machine();
    // Made up front, so a tree that cannot be made stops the test before its body runs.
    make_scratch();
  }

  void TearDown() override {
    set_path_root("");
    g_online_cpus = saved_online_;
    g_machine = saved_machine_;
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_);
  }

  static void reset_machine() { std::memset(&g_machine, 0, sizeof g_machine); }
  static void set_online(long n) { g_fake_online = n; }

  // A committed tree under tests/fixtures.
  static void use_fixture(const std::string& name) {
    set_path_root((std::string(TFX_FIXTURES) + "/" + name).c_str());
  }

  // The test's tree in the temporary directory (a fresh one after scratch_ was cleared), made the
  // path root. When none can be made the root names nothing, never the machine's own files.
  void use_scratch() {
    if (scratch_.empty()) make_scratch();
    set_path_root(scratch_.empty() ? NO_TREE_ROOT : scratch_.c_str());
  }

  // Writes bytes to root + absolute path, creating the directories on the way.
  void put(const std::string& abs_path, const std::string& bytes) {
    ASSERT_FALSE(scratch_.empty());
    std::filesystem::path p = scratch_ + abs_path;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
  }
  void put_dir(const std::string& abs_path) {
    ASSERT_FALSE(scratch_.empty());
    std::filesystem::create_directories(scratch_ + abs_path);
  }
  void put_fifo(const std::string& abs_path) {
    ASSERT_FALSE(scratch_.empty());
    std::filesystem::path p = scratch_ + abs_path;
    std::filesystem::create_directories(p.parent_path());
    ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
  }

  std::string scratch_;

 private:
  void make_scratch() {
    char tmpl[] = "/tmp/tfx-machine-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr) << "cannot make a fixture tree under /tmp";
    scratch_ = tmpl;
  }

  MachineInfo saved_machine_{};
  long (*saved_online_)() = nullptr;
};
