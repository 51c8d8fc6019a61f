// A fake file tree built from a fuzz input, the discovery target's input.
//
// An input is a list of entries, each: u8 kind (0 file, 1 symbolic link,
// 2 directory; taken modulo 3), u8 path length, the path below the root
// ('/'-separated), u16 content length, the content (a file's bytes or a
// link's target). A link target "@/x" stands for the root's absolute path +
// "/x", so a process's working directory can point into the tree. Entries
// that would leave the tree ("..", a path through a link) are skipped, so
// nothing outside the root is ever written.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.hpp"

namespace fuzz {

inline constexpr std::size_t kMaxTreeDepth = 8;
inline constexpr std::size_t kMaxTreeEntries = 256;

inline std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    const std::size_t slash = std::min(path.find('/'), path.size());
    if (slash > 0) parts.emplace_back(path.substr(0, slash));
    path.remove_prefix(std::min(slash + 1, path.size()));
  }
  return parts;
}

/// The directory that holds the entry's last component, created as needed
/// and reached without following links; -1 when that is not possible.
inline int open_parent(int root, const std::vector<std::string>& parts) {
  int dir = ::dup(root);
  for (std::size_t i = 0; dir >= 0 && i + 1 < parts.size(); ++i) {
    ::mkdirat(dir, parts[i].c_str(), 0755);
    const int next = ::openat(dir, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(dir);
    dir = next;
  }
  return dir;
}

inline void add_entry(int root, const std::string& root_path, unsigned kind, std::string_view path,
                      std::string_view content) {
  const auto parts = components(path);
  if (parts.empty() || parts.size() > kMaxTreeDepth) return;
  for (const auto& part : parts) {
    if (part == "." || part == ".." || part.find('\0') != std::string::npos) return;
  }
  const int dir = open_parent(root, parts);
  if (dir < 0) return;
  const char* name = parts.back().c_str();
  if (kind == 0) {
    const int fd = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      (void)!::write(fd, content.data(), content.size());
      ::close(fd);
    }
  } else if (kind == 1) {
    std::string target(content);
    if (target.starts_with("@/")) target = root_path + target.substr(1);
    if (target.find('\0') == std::string::npos) ::symlinkat(target.c_str(), dir, name);
  } else {
    ::mkdirat(dir, name, 0755);
  }
  ::close(dir);
}

/// Builds the entries of the input under `root`, an existing directory.
inline void build_fake_tree(const std::string& root, const std::uint8_t* data, std::size_t size) {
  const int root_fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root_fd < 0) return;
  Cursor in(data, size);
  for (std::size_t i = 0; i < kMaxTreeEntries && !in.at_end(); ++i) {
    const unsigned kind = in.get<std::uint8_t>() % 3;
    const auto path = in.text(in.get<std::uint8_t>());
    const auto content = in.text(in.get<std::uint16_t>());
    add_entry(root_fd, root, kind, path, content);
  }
  ::close(root_fd);
}

}  // namespace fuzz
