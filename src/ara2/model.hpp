// A compiled model loaded on an endpoint: its library handle, the tensor
// descriptions read from it, and the input and output tensors allocated for it
// and registered with the client library.
//
// A Model holds the EndpointRef it was loaded through, so the endpoint array
// (and through it the session) stays valid for as long as the model may pass
// the record to the library. Closing unloads the model, withdraws the tensors'
// registrations, then drops that share, then releases the input tensors and
// the output tensors, in index order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ara2/core_error.hpp"
#include "ara2/records.hpp"
#include "ara2/session.hpp"
#include "ara2/values.hpp"
#include "tensor/tensor.hpp"

namespace tallowind::ara2 {

struct InferenceIo;  // inference.hpp

/// One allocated input or output: the byte tensor and, for a descriptor-backed
/// tensor, what dv_shmfd_register returned (null for heap tensors). The
/// registration is withdrawn (dv_shmfd_unregister) before the tensor is released.
struct TensorSlot {
  tallowind::tensor::Tensor tensor;
  void* registration = nullptr;

  /// Byte size as the library is told it (product of the tensor's shape).
  std::uint64_t size() const noexcept { return tensor.size_bytes(); }
};

/// The model name the library is given for a path: the last component's file
/// stem (its final extension removed unless the component starts with its
/// only dot), decoded lossily; "model" when the path has no last component
/// (empty, the root, or ending in "..").
std::string model_name_for_path(std::string_view path_bytes);

/// "dma", "shm" or "mem".
std::string_view memory_kind_name(tallowind::tensor::TensorMemory memory) noexcept;

/// "input index 3 out of range (model has 1 inputs)".
std::string index_error_text(Direction direction, std::uint64_t index, std::uint64_t count);

class Model {
 public:
  static constexpr std::uint32_t kDefaultTimeoutMs = 1000;

  /// dv_model_load_from_file with the path and its stem as the name. An
  /// interior NUL is NullPointer "Invalid model path" (checked first) or
  /// "Invalid model name"; a failed load leaves nothing behind.
  static Result<Model> load(const EndpointRef& endpoint, std::string_view path_bytes);

  Model(Model&& other) noexcept;
  Model& operator=(Model&& other) noexcept;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;
  /// Closes the model if it is still open (status of the unload ignored).
  ~Model();

  bool is_open() const noexcept { return handle_ != nullptr; }
  bool is_allocated() const noexcept { return allocated_; }

  /// Unloads the model (status ignored), withdraws the registrations, releases
  /// the endpoint and session share, then the input slots and the output
  /// slots in index order. Does nothing on a closed model. Fails only when the library lacks
  /// dv_model_unload (Internal); the model is closed all the same.
  Result<void> close() noexcept;

  // Everything below requires an open model unless noted.

  /// Counts from the handle, sign-extended.
  std::uint64_t count(Direction direction) const noexcept;
  records::ModelCounts counts() const noexcept;
  /// The handle's i32 counts as the library wrote them.
  std::int32_t raw_count(Direction direction) const noexcept;
  bool index_in_range(Direction direction, std::uint64_t index) const noexcept {
    return index < count(direction);
  }

  /// Descriptions; the index must be in range.
  Result<InputTensorInfo> input_info(std::uint64_t index) const;
  Result<OutputTensorInfo> output_info(std::uint64_t index) const;
  /// Sizing fields of record `index`; the index must be in range.
  Result<TensorFields> tensor_fields(Direction direction, std::uint64_t index) const;

  /// Replaces every tensor: heap, shared memory or DMA-BUF, or automatic
  /// selection (DMA-BUF, else heap) when `memory` is empty. Inputs are
  /// (nch, height, width) bytes, outputs `size` bytes; descriptor-backed
  /// tensors are registered through a private close-on-exec duplicate that
  /// is closed after the call. Replaced tensors are withdrawn and released
  /// once their successors are installed. A failure among the inputs changes
  /// nothing; a failure among the outputs leaves the new inputs installed, the
  /// previous outputs in place and the allocated flag as it was.
  Result<void> allocate_tensors(std::optional<tallowind::tensor::TensorMemory> memory);

  /// Slots in index order; empty until tensors are allocated (and after close).
  const std::vector<TensorSlot>& slots(Direction direction) const noexcept {
    return direction == Direction::Input ? inputs_ : outputs_;
  }
  const std::vector<TensorSlot>& inputs() const noexcept { return inputs_; }
  const std::vector<TensorSlot>& outputs() const noexcept { return outputs_; }

  void* handle() const noexcept { return handle_; }
  /// The endpoint the model was loaded on; its record stays valid while the model is open.
  const EndpointRef& endpoint() const noexcept { return endpoint_; }
  void* endpoint_record() const noexcept { return endpoint_.record(); }
  const SessionShared& session() const noexcept { return endpoint_.session(); }
  /// A share of the session state, for objects that outlive a call (requests).
  const SessionPtr& session_share() const noexcept { return endpoint_.session_share(); }
  Abi abi() const noexcept { return session().abi(); }

  /// Timeout of synchronous inference; valid open or closed.
  std::uint32_t timeout_ms() const noexcept { return timeout_ms_; }
  void set_timeout_ms(std::uint32_t timeout_ms) noexcept { timeout_ms_ = timeout_ms; }

  /// The descriptor arrays of synchronous inference, built at the first run
  /// and kept until the slots change (allocate_tensors, close), so run()
  /// allocates nothing. Only dv_infer_sync is given them: it reads them
  /// within the call, never while a submitted request is pending.
  std::unique_ptr<InferenceIo>& run_io() noexcept { return run_io_; }

 private:
  Model(EndpointRef endpoint, void* handle) noexcept;

  Result<std::vector<TensorSlot>> create_slots(Direction direction,
                                               std::optional<tallowind::tensor::TensorMemory> memory) const;

  std::vector<TensorSlot> inputs_;
  std::vector<TensorSlot> outputs_;
  EndpointRef endpoint_;  // empty once closed
  void* handle_ = nullptr;
  std::uint32_t timeout_ms_ = kDefaultTimeoutMs;
  bool allocated_ = false;
  std::unique_ptr<InferenceIo> run_io_;
};

/// Withdraws the slots' registrations from the library in index order
/// (dv_shmfd_unregister, status ignored) and clears them; the tensors stay.
void unregister_slots(const SessionShared& session, std::vector<TensorSlot>& slots) noexcept;

/// Releases slots one by one in index order and leaves the list empty.
void release_slots(std::vector<TensorSlot>& slots) noexcept;

}  // namespace tallowind::ara2
