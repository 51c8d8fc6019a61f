#include "ara2/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ara2 {

UniqueFd open_for_reading(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
}

std::expected<std::string, int> read_up_to(int fd, std::uint64_t limit, std::uint64_t size_hint) {
  // Keeps limit + 1 from overflowing.
  limit = std::min(limit, std::uint64_t{1} << 62);
  constexpr std::uint64_t kFirstChunk = 1u << 16;
  std::string data;
  // One byte past the hint lets a regular file end on the second read without a resize.
  data.resize(size_hint > 0 ? std::min(size_hint, limit) + 1 : std::min(limit + 1, kFirstChunk));
  std::uint64_t total = 0;
  for (;;) {
    if (total == data.size()) {
      if (data.size() > limit) return data;
      data.resize(std::min<std::uint64_t>(limit + 1, std::max<std::uint64_t>(data.size() * 2, kFirstChunk)));
    }
    const ssize_t n = ::read(fd, data.data() + total, data.size() - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) break;
    total += static_cast<std::uint64_t>(n);
  }
  data.resize(total);
  return data;
}

}  // namespace ara2
