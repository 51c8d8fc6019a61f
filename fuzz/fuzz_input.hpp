// What the fuzz targets share: a memory-backed file for readers that take a
// path, and a cursor that cuts an input into fields.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace fuzz {

/// An anonymous file, reachable by path as /proc/self/fd/N, rewritten for each input.
class MemFile {
 public:
  explicit MemFile(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;
  ~MemFile() { ::close(fd_); }

  const std::string& path() const { return path_; }

  void assign(std::span<const std::uint8_t> bytes) const {
    if (::ftruncate(fd_, 0) != 0) std::abort();
    if (!bytes.empty() && ::pwrite(fd_, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
      std::abort();
    }
  }

 private:
  int fd_;
  std::string path_;
};

/// Little-endian fields off the input. A read past the end yields what is
/// left (zero for a number), so every input decodes to something.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool at_end() const { return pos_ == size_; }

  template <class T>
  T get() {
    static_assert(std::is_integral_v<T>);
    T value = 0;
    if (size_ - pos_ >= sizeof(T)) std::memcpy(&value, data_ + pos_, sizeof(T));
    pos_ = std::min(size_, pos_ + sizeof(T));
    return value;
  }

  std::span<const std::uint8_t> bytes(std::size_t length) {
    length = std::min(length, size_ - pos_);
    const std::span<const std::uint8_t> out(data_ + pos_, length);
    pos_ += length;
    return out;
  }

  std::string_view text(std::size_t length) {
    const auto out = bytes(length);
    return {reinterpret_cast<const char*>(out.data()), out.size()};
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace fuzz
