// What the descriptor-backed allocators hand to a tensor.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "tensor/unique_fd.hpp"

namespace tallowind::tensor {

struct FdBuffer {
  UniqueFd fd;
  std::uint64_t capacity = 0;
  // Identity of the underlying object, as fstat reports it.
  dev_t device = 0;
  ino_t inode = 0;
};

}  // namespace tallowind::tensor
