#include "tensor/dma.hpp"

#include <fcntl.h>
#include <linux/dma-buf.h>
#include <linux/dma-heap.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace tallowind::tensor {

static_assert(DMA_HEAP_IOCTL_ALLOC == kDmaHeapIoctlAlloc);
static_assert(DMA_BUF_IOCTL_SYNC == kDmaBufIoctlSync);
static_assert(DMA_BUF_SYNC_RW == kDmaBufSyncReadWrite && DMA_BUF_SYNC_END == kDmaBufSyncEnd);

namespace {

struct HeapAttempt {
  bool opened = false;
  int os_code = 0;
  UniqueFd buffer;
};

HeapAttempt allocate_from(const char* heap_path, std::uint64_t size) {
  HeapAttempt attempt;
  UniqueFd heap(open(heap_path, O_RDONLY | O_CLOEXEC));
  if (!heap) {
    attempt.os_code = errno;
    return attempt;
  }
  attempt.opened = true;
  dma_heap_allocation_data request{};
  request.len = size;
  request.fd_flags = O_RDWR | O_CLOEXEC;
  request.heap_flags = 0;
  if (ioctl(heap.get(), kDmaHeapIoctlAlloc, &request) != 0) {
    attempt.os_code = errno;
    return attempt;
  }
  attempt.buffer.reset(int(request.fd));
  return attempt;
}

}  // namespace

Result<FdBuffer> allocate_dma_buf(std::uint64_t size, const char* first_heap, const char* second_heap) {
  HeapAttempt first = allocate_from(first_heap, size);
  UniqueFd buffer = std::move(first.buffer);
  if (!buffer) {
    HeapAttempt second = allocate_from(second_heap, size);
    if (!second.buffer) return fail(Error::io(first.opened ? first.os_code : second.os_code));
    buffer = std::move(second.buffer);
  }
  struct stat st {};
  if (fstat(buffer.get(), &st) != 0) return fail_errno();
  const std::uint64_t reported = st.st_size > 0 ? std::uint64_t(st.st_size) : 0;
  return FdBuffer{std::move(buffer), std::max(size, reported), st.st_dev, st.st_ino};
}

int sync_dma_buf(int fd, std::uint64_t flags) noexcept {
  struct dma_buf_sync request {};
  request.flags = flags;
  return ioctl(fd, kDmaBufIoctlSync, &request);
}

}  // namespace tallowind::tensor
