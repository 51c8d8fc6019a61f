// DMA-BUF allocation from the kernel's DMA heaps, and CPU-access synchronisation.
#pragma once

#include <cstdint>

#include "tensor/error.hpp"
#include "tensor/fd_buffer.hpp"

namespace tallowind::tensor {

inline constexpr const char* kCmaHeapPath = "/dev/dma_heap/linux,cma";
inline constexpr const char* kSystemHeapPath = "/dev/dma_heap/system";

inline constexpr unsigned long kDmaHeapIoctlAlloc = 0xc0184800;
inline constexpr unsigned long kDmaBufIoctlSync = 0x40086200;
inline constexpr std::uint64_t kDmaBufSyncRead = 1;
inline constexpr std::uint64_t kDmaBufSyncWrite = 2;
inline constexpr std::uint64_t kDmaBufSyncReadWrite = kDmaBufSyncRead | kDmaBufSyncWrite;
inline constexpr std::uint64_t kDmaBufSyncStart = 0;
inline constexpr std::uint64_t kDmaBufSyncEnd = 4;

/// Allocates `size` bytes from `first_heap`, else from `second_heap`. When
/// both fail the error is the first heap's if it could be opened (its
/// allocation failed), else the second heap's. Capacity is the larger of
/// `size` and the buffer's fstat size.
Result<FdBuffer> allocate_dma_buf(std::uint64_t size, const char* first_heap = kCmaHeapPath,
                                  const char* second_heap = kSystemHeapPath);

/// DMA_BUF_IOCTL_SYNC with `flags`; 0 or -1 with errno like ioctl.
int sync_dma_buf(int fd, std::uint64_t flags) noexcept;

}  // namespace tallowind::tensor
