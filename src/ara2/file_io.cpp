#include "ara2/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tallowind::ara2 {

UniqueFd open_for_reading(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
}

std::expected<RegularFile, OsError> open_regular_file(const std::string& path) {
  UniqueFd fd = open_for_reading(path);
  if (!fd) return std::unexpected(OsError::from_errno(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::unexpected(OsError::from_errno(errno));
  if (S_ISDIR(info.st_mode)) return std::unexpected(OsError::from_errno(EISDIR));
  if (!S_ISREG(info.st_mode)) return std::unexpected(OsError::custom("not a regular file"));
  return RegularFile{std::move(fd), static_cast<std::uint64_t>(info.st_size)};
}

std::expected<std::size_t, int> read_at(int fd, std::uint64_t offset, void* buffer, std::size_t length) {
  std::size_t total = 0;
  while (total < length) {
    const ssize_t n = ::pread(fd, static_cast<char*>(buffer) + total, length - total,
                              static_cast<off_t>(offset + total));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  return total;
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

}  // namespace tallowind::ara2
