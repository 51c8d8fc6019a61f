// POSIX shared-memory objects that exist only through their descriptor.
#pragma once

#include <cstdint>
#include <string>

#include "tensor/error.hpp"
#include "tensor/fd_buffer.hpp"

namespace tallowind::tensor {

/// "/" followed by the first 16 hex digits of a fresh random version-4 UUID.
Result<std::string> random_shm_name();

/// Creates the object `name` exclusively (an existing object is an IoError,
/// never reused), unlinks it at once and sizes it to `size` bytes. Nothing
/// is left open or named when this fails.
Result<FdBuffer> create_shm_object(const std::string& name, std::uint64_t size);

}  // namespace tallowind::tensor
