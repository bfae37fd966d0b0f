#pragma once
// A throw-away directory tree that the program's path root points at while a test runs.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "machine/paths.h"

class TempTree {
 public:
  TempTree() {
    char tmpl[] = "/tmp/tfx-tree-XXXXXX";
    root_ = mkdtemp(tmpl) ? tmpl : "";
    set_path_root(root_.c_str());
  }
  ~TempTree() {
    set_path_root("");
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // Writes (or rewrites) root + abs_path with the given content, creating directories.
  void write(const std::string& abs_path, const std::string& content) const {
    const std::string p = root_ + abs_path;
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
  }
  void mkdir(const std::string& abs_path) const { std::filesystem::create_directories(root_ + abs_path); }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};
