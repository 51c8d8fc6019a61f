// A scratch directory removed with everything in it when the test ends, with
// helpers to lay out files, links and directories by relative path.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

class TempTree {
 public:
  TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ara2-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
    root_ = pattern;
  }
  ~TempTree() {
    // Restore permissions first so that directories a test locked can be removed.
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) ::chmod(it->path().c_str(), 0700);
    }
    std::filesystem::remove_all(root_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(std::string_view relative) const { return root_ + "/" + std::string(relative); }

  std::string write(std::string_view relative, std::string_view content) const {
    const std::string full = path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
    return full;
  }
  std::string mkdir(std::string_view relative) const {
    const std::string full = path(relative);
    std::filesystem::create_directories(full);
    return full;
  }
  /// A symbolic link whose target is any text, as /proc's fd links are.
  void link(std::string_view relative, std::string_view target) const {
    const std::string full = path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    if (::symlink(std::string(target).c_str(), full.c_str()) != 0) ADD_FAILURE() << "symlink failed: " << full;
  }

 private:
  std::string root_;
};
