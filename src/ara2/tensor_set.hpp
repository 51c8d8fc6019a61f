// One set of input and output tensors of a loaded model: the byte tensors,
// their registrations with the client library, the descriptor arrays that
// inference hands the library, and how many submitted requests still use it.
//
// A Model has a default set (what allocate_tensors() fills) and may create
// more, so that several requests can be in flight on one loaded model, each
// with its own buffers. Sets are shared (TensorSetPtr) by their owner and by
// every pending request that uses them, so a set outlives a reallocation or
// a close for as long as the library may still read or write it.
//
// A set holds a share of its session: when it goes, it withdraws its
// registrations (dv_shmfd_unregister) while the session is surely still
// open, then releases its tensors in index order, inputs first, then the share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "ara2/core_error.hpp"
#include "ara2/loaded_model.hpp"
#include "ara2/records.hpp"
#include "ara2/session.hpp"
#include "ara2/values.hpp"
#include "tensor/tensor.hpp"

namespace tallowind::ara2 {

/// One allocated input or output: the byte tensor and, for a descriptor-backed
/// tensor, what dv_shmfd_register returned (null for heap tensors). The
/// registration is withdrawn (dv_shmfd_unregister) before the tensor is released.
struct TensorSlot {
  tallowind::tensor::Tensor tensor;
  void* registration = nullptr;

  /// Byte size as the library is told it (product of the tensor's shape).
  std::uint64_t size() const noexcept { return tensor.size_bytes(); }
};

/// "dma", "shm" or "mem".
std::string_view memory_kind_name(tallowind::tensor::TensorMemory memory) noexcept;

/// Withdraws the slots' registrations from the library in index order
/// (dv_shmfd_unregister, status ignored) and clears them; the tensors stay.
void unregister_slots(const SessionShared& session, std::vector<TensorSlot>& slots) noexcept;

/// Releases slots one by one in index order and leaves the list empty.
void release_slots(std::vector<TensorSlot>& slots) noexcept;

/// The descriptor arrays of an inference (inputs, then outputs, in one
/// block), and the maps of the heap tensors whose addresses they hold (the
/// addresses stay valid while the maps live).
struct InferenceIo {
  std::vector<records::TensorIoDescriptor> descriptors;
  std::size_t input_count = 0;
  std::vector<tallowind::tensor::TensorMap> mappings;

  /// The arrays as the library takes them; never null, even when empty.
  void* inputs() noexcept;
  void* outputs() noexcept;
};

class TensorSet;
using TensorSetPtr = std::shared_ptr<TensorSet>;

class TensorSet {
 public:
  /// An empty set (no tensors, not allocated) of a model of `session`.
  explicit TensorSet(SessionPtr session) noexcept : session_(std::move(session)) {}
  TensorSet(const TensorSet&) = delete;
  TensorSet& operator=(const TensorSet&) = delete;
  /// Withdraws the registrations, then releases inputs and outputs in index order.
  ~TensorSet();

  /// A new set with every tensor of `model` allocated, or an error and nothing left behind.
  static Result<TensorSetPtr> create(const LoadedModel& model, std::optional<tallowind::tensor::TensorMemory> memory);

  /// Replaces every tensor: heap, shared memory or DMA-BUF, or automatic
  /// selection (DMA-BUF, else heap) when `memory` is empty. Inputs are
  /// (nch, height, width) bytes, outputs `size` bytes; descriptor-backed
  /// tensors are registered through a private close-on-exec duplicate that
  /// is closed after the call. Replaced tensors are withdrawn and released
  /// once their successors are installed. A failure among the inputs changes
  /// nothing; a failure among the outputs leaves the new inputs installed, the
  /// previous outputs in place and the allocated flag as it was. Only for a
  /// set no request uses (the library may be reading the tensors it replaces).
  Result<void> allocate(const LoadedModel& model, std::optional<tallowind::tensor::TensorMemory> memory);

  bool is_allocated() const noexcept { return allocated_; }

  /// Slots in index order; empty until allocated.
  const std::vector<TensorSlot>& slots(Direction direction) const noexcept {
    return direction == Direction::Input ? inputs_ : outputs_;
  }
  const std::vector<TensorSlot>& inputs() const noexcept { return inputs_; }
  const std::vector<TensorSlot>& outputs() const noexcept { return outputs_; }

  /// The descriptor arrays of every inference on this set, built at the
  /// first use after an allocation and kept until the slots change, so an
  /// inference allocates nothing. The library reads them within the call;
  /// the heap maps they point into live as long as the set. Requires an
  /// allocated set; a heap tensor that cannot be mapped is a Tensor error.
  Result<InferenceIo*> io();

  /// Requests submitted on this set and not yet released (PendingRequest
  /// counts itself). Its inputs may not be written while any is pending.
  std::uint32_t pending() const noexcept { return pending_; }

  // Every access to the tensors' bytes from outside goes through these, so
  // their checks are made in one place, in this order: no request pending
  // (InputsInUse, inputs only), the index (IndexOutOfRange), the size
  // (InputSizeMismatch, before anything is mapped), the map (TensorAccess).

  /// InputsInUse while a request is pending on the set: for callers that
  /// would refuse a write before preparing its bytes.
  Result<void> check_inputs_writable() const;

  /// Calls `fill(bytes)` with input `index` mapped for writing, when it holds
  /// exactly `size` bytes; a writer that makes the bytes itself (a converted
  /// image) fills the tensor directly. The map ends after `fill` returns.
  template <class Fill>
  Result<void> with_input(std::uint64_t index, std::uint64_t size, Fill fill) {
    if (auto checked = check_input(index, size); !checked) return checked;
    auto map = inputs_[index].tensor.map();
    if (!map) return fail(CoreError::tensor_access(map.error().display()));
    fill(map->bytes());
    return {};
  }

  /// Copies `bytes` into input `index`, under with_input's checks.
  Result<void> write_input(std::uint64_t index, std::span<const std::uint8_t> bytes);

  /// Calls `read(bytes)` with output `index` mapped for reading and returns
  /// what it returns. The map ends after `read` returns.
  template <class Read>
  auto with_output(std::uint64_t index, Read read) const
      -> Result<std::invoke_result_t<Read, std::span<const std::uint8_t>>> {
    if (index >= outputs_.size()) return fail(index_error(Direction::Output, index, outputs_.size()));
    auto map = outputs_[index].tensor.map();
    if (!map) return fail(CoreError::tensor_access(map.error().display()));
    return read(std::span<const std::uint8_t>(map->data(), map->size()));
  }

 private:
  friend class PendingRequest;  // counts itself pending while it may use the tensors
  void add_pending() noexcept { ++pending_; }
  void drop_pending() noexcept { --pending_; }

  /// The checks of a write of `size` bytes to input `index`, but the map.
  Result<void> check_input(std::uint64_t index, std::uint64_t size) const;
  static CoreError index_error(Direction direction, std::uint64_t index, std::size_t count);

  Result<std::vector<TensorSlot>> create_slots(const LoadedModel& model, Direction direction,
                                               std::optional<tallowind::tensor::TensorMemory> memory) const;
  /// Slots that were never installed or were replaced: withdrawn, then released.
  void discard(std::vector<TensorSlot>& slots) const noexcept;

  SessionPtr session_;  // declared first: dropped after the tensors are withdrawn and released
  std::vector<TensorSlot> inputs_;
  std::vector<TensorSlot> outputs_;
  bool allocated_ = false;
  std::optional<InferenceIo> io_;
  // Counted on the owning thread only: requests belong to the thread of their set.
  std::uint32_t pending_ = 0;
};

}  // namespace tallowind::ara2
