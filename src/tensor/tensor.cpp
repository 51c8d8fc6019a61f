#include "tensor/tensor.hpp"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "base/utf8.hpp"
#include "tensor/dma.hpp"
#include "tensor/shm.hpp"

namespace tallowind::tensor {

namespace {

// Address of every size-0 view, so callers never see a null data pointer.
std::uint8_t empty_view_byte;

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) noexcept {
  return std::ranges::equal(a, b, [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

std::shared_ptr<std::uint8_t[]> allocate_zeroed(std::uint64_t size) {
  // calloc leaves large buffers to fresh zero pages instead of writing them;
  // one byte at least so that a size-0 tensor still has an address.
  auto* bytes = static_cast<std::uint8_t*>(std::calloc(std::max<std::uint64_t>(size, 1), 1));
  if (bytes == nullptr) return nullptr;
  return std::shared_ptr<std::uint8_t[]>(bytes, [](std::uint8_t* p) { std::free(p); });
}

}  // namespace

std::string_view memory_name(TensorMemory memory) noexcept {
  switch (memory) {
    case TensorMemory::Mem: return "Mem";
    case TensorMemory::Shm: return "Shm";
    case TensorMemory::DmaBuf: return "DmaBuf";
    case TensorMemory::IoSurface: return "IoSurface";
    case TensorMemory::Pbo: return "Pbo";
  }
  return "Unknown";
}

bool force_mem_requested(const char* value) noexcept {
  if (value == nullptr) return false;
  const std::string_view text(value);
  if (!base::is_valid_utf8(text)) return false;
  return text != "0" && !equals_ignoring_ascii_case(text, "false");
}

TensorMap::TensorMap(TensorMap&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      sync_fd_(std::exchange(other.sync_fd_, -1)),
      memory_(std::move(other.memory_)) {}

TensorMap& TensorMap::operator=(TensorMap&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    sync_fd_ = std::exchange(other.sync_fd_, -1);
    memory_ = std::move(other.memory_);
  }
  return *this;
}

void TensorMap::release() noexcept {
  if (sync_fd_ >= 0) {
    // Failure to end the access cannot be acted on here; the map ends regardless.
    sync_dma_buf(sync_fd_, kDmaBufSyncEnd | kDmaBufSyncReadWrite);
    ::close(sync_fd_);
    sync_fd_ = -1;
  }
  memory_.reset();
  data_ = nullptr;
  size_ = 0;
}

Result<Tensor> Tensor::create(std::span<const std::uint64_t> shape, std::optional<TensorMemory> memory) {
  if (shape.empty() || shape.size() > kMaxRank) return fail(Error::plain(ErrorKind::InvalidShape));
  std::uint64_t size = 1;
  for (std::uint64_t dim : shape)
    if (__builtin_mul_overflow(size, dim, &size)) return fail(Error::plain(ErrorKind::InvalidSize));

  if (!memory) {
    if (force_mem_requested(std::getenv(kForceMemEnv))) {
      memory = TensorMemory::Mem;
    } else {
      auto dma = create(shape, TensorMemory::DmaBuf);
      if (dma) return dma;
      memory = TensorMemory::Mem;
    }
  }

  Tensor tensor;
  tensor.memory_ = *memory;
  tensor.rank_ = std::uint8_t(shape.size());
  std::ranges::copy(shape, tensor.dims_.begin());
  tensor.size_ = size;
  switch (*memory) {
    case TensorMemory::Mem:
      tensor.memory_bytes_ = allocate_zeroed(size);
      if (!tensor.memory_bytes_) return fail(Error::io(ENOMEM));
      break;
    case TensorMemory::Shm: {
      auto name = random_shm_name();
      if (!name) return fail(std::move(name.error()));
      auto object = create_shm_object(*name, size);
      if (!object) return fail(std::move(object.error()));
      tensor.buffer_ = std::move(*object);
      break;
    }
    case TensorMemory::DmaBuf: {
      auto buffer = allocate_dma_buf(size);
      if (!buffer) return fail(std::move(buffer.error()));
      tensor.buffer_ = std::move(*buffer);
      break;
    }
    case TensorMemory::IoSurface:
    case TensorMemory::Pbo:
      return fail(Error::plain(ErrorKind::InvalidMemoryType));
  }
  return tensor;
}

std::uint64_t Tensor::capacity() const noexcept {
  return memory_ == TensorMemory::Mem ? size_ : buffer_.capacity;
}

Result<TensorMap> Tensor::map() const {
  TensorMap view;
  if (memory_ != TensorMemory::Mem && !memory_bytes_) {
    if (!buffer_.fd) return fail(Error::plain(ErrorKind::InvalidOperation));  // moved-from
    if (size_ == 0) {
      // mmap refuses length 0; an empty view needs no mapping and no cache maintenance.
      view.data_ = &empty_view_byte;
      return view;
    }
    void* address = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, buffer_.fd.get(), 0);
    if (address == MAP_FAILED) return fail_errno();
    const std::size_t length = size_;
    memory_bytes_ = std::shared_ptr<std::uint8_t[]>(static_cast<std::uint8_t*>(address),
                                                    [length](std::uint8_t* p) { munmap(p, length); });
  }
  if (!memory_bytes_) return fail(Error::plain(ErrorKind::InvalidOperation));  // moved-from
  if (memory_ == TensorMemory::DmaBuf) {
    // The sync descriptor is private to the map so that its END sync works
    // even after the tensor itself is gone.
    UniqueFd sync_fd(fcntl(buffer_.fd.get(), F_DUPFD_CLOEXEC, 3));
    if (!sync_fd) return fail_errno();
    if (sync_dma_buf(sync_fd.get(), kDmaBufSyncStart | kDmaBufSyncReadWrite) != 0) return fail_errno();
    view.sync_fd_ = sync_fd.release();
  }
  view.data_ = memory_bytes_.get();
  view.size_ = size_;
  view.memory_ = memory_bytes_;
  return view;
}

Result<UniqueFd> Tensor::clone_fd() const {
  if (memory_ == TensorMemory::Mem) return fail(Error::not_implemented("MemTensor does not support clone_fd"));
  UniqueFd fd(fcntl(buffer_.fd.get(), F_DUPFD_CLOEXEC, 3));
  if (!fd) return fail_errno();
  return fd;
}

}  // namespace tallowind::tensor
