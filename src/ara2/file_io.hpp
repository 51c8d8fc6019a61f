// Descriptor ownership and the bounded reads shared by the core's file readers.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "ara2/core_error.hpp"
#include "tensor/unique_fd.hpp"

namespace tallowind::ara2 {

using UniqueFd = tallowind::tensor::UniqueFd;

/// Opens `path` read-only and non-blocking, so a FIFO without a writer cannot
/// stall the caller; on failure the result is empty and errno says why.
UniqueFd open_for_reading(const std::string& path);

/// A regular file opened for reading, with its size when opened.
struct RegularFile {
  UniqueFd fd;
  std::uint64_t size = 0;
};

/// Opens `path` as open_for_reading does and checks that it is a regular
/// file: a directory fails with EISDIR, anything else that is not a regular
/// file (a FIFO, a device, a socket) with the text "not a regular file".
std::expected<RegularFile, OsError> open_regular_file(const std::string& path);

/// Reads up to `length` bytes at `offset` (pread, EINTR retried); fewer at
/// the end of the file. Errors are errno values.
std::expected<std::size_t, int> read_at(int fd, std::uint64_t offset, void* buffer, std::size_t length);

/// Reads `fd` to its end but stops once more than `limit` bytes arrived, so a
/// result longer than `limit` (exactly limit + 1 bytes) means "too large".
/// `size_hint` (a regular file's st_size) sizes the first read. Errors are
/// errno values; EINTR is retried.
std::expected<std::string, int> read_up_to(int fd, std::uint64_t limit, std::uint64_t size_hint = 0);

}  // namespace tallowind::ara2
