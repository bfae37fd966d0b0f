#pragma once
// A throw-away directory tree that the program's path root points at while a test runs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "machine/paths.h"

// The path root while no fixture tree could be made: a path that does not exist, so nothing a
// test does can reach the machine's real /proc, /sys or /tmp through an empty root.
inline constexpr const char* NO_TREE_ROOT = "/nonexistent/tallyfox-no-fixture-tree";

class TempTree {
 public:
  // A tree that cannot be made is a fatal failure: a fixture holding one never runs its body,
  // and a test that makes one itself stops at ASSERT_TRUE(tree.ok()).
  // The root in force before is restored at the end, so a tree made inside another's lifetime
  // (a helper that makes its own) hands back the outer tree, never the machine's real paths.
  TempTree() : outer_(path_root()) {
    char tmpl[] = "/tmp/tfx-tree-XXXXXX";
    ok_ = mkdtemp(tmpl) != nullptr;
    const int err = errno;
    root_ = ok_ ? tmpl : NO_TREE_ROOT;
    set_path_root(root_.c_str());
    if (!ok_) [err] { FAIL() << "cannot make a fixture tree under /tmp: " << std::strerror(err); }();
  }
  ~TempTree() {
    set_path_root(outer_.c_str());
    std::error_code ec;
    if (ok_) std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  bool ok() const { return ok_; }

  // Writes (or rewrites) root + abs_path with the given content, creating directories. Without
  // a tree nothing is written.
  void write(const std::string& abs_path, const std::string& content) const {
    if (!ok()) return;
    const std::string p = root_ + abs_path;
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
  }
  void mkdir(const std::string& abs_path) const {
    if (ok()) std::filesystem::create_directories(root_ + abs_path);
  }
  // The tree's directory, or NO_TREE_ROOT when none could be made.
  const std::string& root() const { return root_; }

 private:
  bool ok_;
  std::string outer_;  // the root in force before this tree
  std::string root_;
};
