// Proxy discovery over a fake process file system built from each input
// (fake_tree.hpp describes the input format).
//
// Configuration paths come from the input and are opened wherever they
// point, so every input runs with the file-system identity of an
// unprivileged user: root could open devices that act on being opened.
#include <grp.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ara2/discovery.hpp"
#include "fake_tree.hpp"

namespace {

constexpr uid_t kNobody = 65534;

/// The directory the fake trees are built in, owned by the unprivileged user
/// and removed at exit.
class Scratch {
 public:
  Scratch() : path_((std::filesystem::temp_directory_path() / "ara2-fuzz-discovery-XXXXXX").string()) {
    if (!::mkdtemp(path_.data())) std::abort();
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::chown(path_.c_str(), kNobody, kNobody) != 0)) {
      std::abort();
    }
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// Switches the thread's file-system identity to the unprivileged user; a
/// process that is not root keeps its own, which is unprivileged already.
class Unprivileged {
 public:
  Unprivileged() : gid_(::setfsgid(kNobody)), uid_(::setfsuid(kNobody)) {}
  ~Unprivileged() {
    ::setfsuid(uid_);
    ::setfsgid(gid_);
  }
  Unprivileged(const Unprivileged&) = delete;
  Unprivileged& operator=(const Unprivileged&) = delete;

 private:
  int gid_, uid_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Scratch scratch;
  const std::string root = scratch.path() + "/proc";
  const Unprivileged identity;
  if (::mkdir(root.c_str(), 0755) != 0) std::abort();
  fuzz::build_fake_tree(root, data, size);

  const auto found = tallowind::ara2::discover(root);
  // The listing is promised in pid order.
  if (found && !std::is_sorted(found->begin(), found->end(),
                               [](const tallowind::ara2::Proxy& a, const tallowind::ara2::Proxy& b) { return a.pid < b.pid; })) {
    std::abort();
  }
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  if (std::filesystem::exists(root, ignored)) std::abort();
  return 0;
}
