// Descriptor ownership and the bounded reads shared by the core's file readers.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "tensor/unique_fd.hpp"

namespace ara2 {

using UniqueFd = tallowind::tensor::UniqueFd;

/// Opens `path` read-only and non-blocking, so a FIFO without a writer cannot
/// stall the caller; on failure the result is empty and errno says why.
UniqueFd open_for_reading(const std::string& path);

/// Reads `fd` to its end but stops once more than `limit` bytes arrived, so a
/// result longer than `limit` (exactly limit + 1 bytes) means "too large".
/// `size_hint` (a regular file's st_size) sizes the first read. Errors are
/// errno values; EINTR is retried.
std::expected<std::string, int> read_up_to(int fd, std::uint64_t limit, std::uint64_t size_hint = 0);

}  // namespace ara2
