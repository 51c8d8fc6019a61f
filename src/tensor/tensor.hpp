// tallowind-tensor: byte tensors in DMA-BUF, POSIX shared memory or heap
// memory, mappable for CPU access and, when descriptor-backed, shareable
// through duplicated descriptors. No call throws; failures are `Error` values.
//
//   auto tensor = Tensor::create(std::array<std::uint64_t, 3>{3, 224, 224}, std::nullopt);
//   if (!tensor) return tensor.error().display();
//   {
//     auto map = tensor->map();            // Result<TensorMap>
//     std::memcpy(map->data(), src, map->size());
//   }                                      // DMA-BUF: cache sync END here
//   auto fd = tensor->clone_fd();          // Result<UniqueFd>; heap: NotImplemented
//
// Tensors and maps belong to one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "tensor/error.hpp"
#include "tensor/fd_buffer.hpp"
#include "tensor/unique_fd.hpp"

namespace tallowind::tensor {

/// Where a tensor's bytes live. IoSurface and Pbo exist for numbering only
/// and are never created.
enum class TensorMemory : std::uint8_t { Mem = 0, Shm = 1, DmaBuf = 2, IoSurface = 3, Pbo = 4 };

/// "Mem", "Shm", "DmaBuf", "IoSurface", "Pbo".
std::string_view memory_name(TensorMemory memory) noexcept;

/// The environment variable that forces heap memory for automatic creation.
inline constexpr const char* kForceMemEnv = "TALLOWIND_TENSOR_FORCE_MEM";

/// Whether a value of TALLOWIND_TENSOR_FORCE_MEM forces heap memory: any
/// valid UTF-8 text except "0" and "false" in any letter case (so the empty
/// string forces). nullptr (unset) and invalid UTF-8 do not force.
bool force_mem_requested(const char* value) noexcept;

/// An exclusive read-write view of a tensor's bytes, released on destruction
/// (or by `release()`). A map may outlive its tensor: it shares ownership of
/// the heap buffer or of the tensor's mapping. A size-0 map has a non-null
/// address.
class TensorMap {
 public:
  TensorMap() noexcept = default;
  TensorMap(TensorMap&& other) noexcept;
  TensorMap& operator=(TensorMap&& other) noexcept;
  TensorMap(const TensorMap&) = delete;
  TensorMap& operator=(const TensorMap&) = delete;
  ~TensorMap() { release(); }

  std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::span<std::uint8_t> bytes() const noexcept { return {data_, size_}; }

  /// Ends the access now. DMA-BUF: the END sync (its failure is ignored)
  /// and the close of the map's sync descriptor happen here.
  void release() noexcept;

 private:
  friend class Tensor;

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  int sync_fd_ = -1;                       // DMA-BUF only
  std::shared_ptr<std::uint8_t[]> memory_;  // keeps the bytes valid
};

/// A byte tensor of 1 to 3 dimensions; its byte size is their product.
/// Move-only; destruction releases it and never fails visibly. Descriptors
/// handed out by `clone_fd` keep the buffer alive on their own.
class Tensor {
 public:
  static constexpr std::size_t kMaxRank = 3;

  /// Creates a tensor in the requested memory, or by automatic selection
  /// when `memory` is empty: heap if TALLOWIND_TENSOR_FORCE_MEM forces it
  /// (read on every call), else DMA-BUF, falling back to heap when that
  /// fails. Shared memory is only made on request.
  ///   Mem: zero-filled heap buffer.
  ///   Shm: fresh randomly named object, created exclusively and unlinked at once.
  ///   DmaBuf: "/dev/dma_heap/linux,cma", then "/dev/dma_heap/system".
  /// Errors: InvalidShape (rank not 1..3), InvalidSize (byte size overflows
  /// 64 bits), InvalidMemoryType (IoSurface, Pbo), IoError (allocation).
  static Result<Tensor> create(std::span<const std::uint64_t> shape, std::optional<TensorMemory> memory);
  static Result<Tensor> create(std::initializer_list<std::uint64_t> shape, std::optional<TensorMemory> memory) {
    return create(std::span<const std::uint64_t>(shape.begin(), shape.size()), memory);
  }

  Tensor(Tensor&&) noexcept = default;
  Tensor& operator=(Tensor&&) noexcept = default;
  Tensor(const Tensor&) = delete;
  Tensor& operator=(const Tensor&) = delete;
  ~Tensor() = default;

  TensorMemory memory() const noexcept { return memory_; }
  std::span<const std::uint64_t> shape() const noexcept { return {dims_.data(), rank_}; }
  std::uint64_t size_bytes() const noexcept { return size_; }
  /// Bytes the backing object really holds (>= size_bytes(); DMA heaps round up).
  std::uint64_t capacity() const noexcept;

  /// Read-write map of size_bytes() bytes. DMA-BUF and shared memory are
  /// mmapped (shared, read-write) at the first map and stay mapped until the
  /// tensor and its last map are gone, so repeated maps cost no page
  /// faults. DMA-BUF: every map takes a private duplicate of the descriptor
  /// that carries DMA_BUF_IOCTL_SYNC START|RW now and END|RW when the map is
  /// released. Errors: IoError.
  Result<TensorMap> map() const;

  /// A new close-on-exec descriptor (>= 3) of the DMA-BUF or shared-memory
  /// object, owned by the caller. Heap: NotImplemented("MemTensor does not
  /// support clone_fd"). Errors: IoError.
  Result<UniqueFd> clone_fd() const;

 private:
  Tensor() = default;

  TensorMemory memory_ = TensorMemory::Mem;
  std::uint8_t rank_ = 0;
  std::array<std::uint64_t, kMaxRank> dims_{};
  std::uint64_t size_ = 0;
  FdBuffer buffer_;  // Shm, DmaBuf
  // Mem: the heap buffer. Shm, DmaBuf: the mapping, once mapped. Shared with the maps.
  mutable std::shared_ptr<std::uint8_t[]> memory_bytes_;
};

/// "tallowind-tensor"
const char* library_name() noexcept;

}  // namespace tallowind::tensor
