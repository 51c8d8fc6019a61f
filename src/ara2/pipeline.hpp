// The request bookkeeping of a pipeline: one model loaded per endpoint, a
// ring of slots (each a tensor set of one of those models and the request
// in flight on it), and the order frames were put in.
//
// Frame n goes to slot n mod capacity, and slot k belongs to model k mod
// endpoints, so consecutive frames go round the endpoints and each model has
// `requests` slots. The frames in flight are the slots from the oldest
// onwards, in submission order: a result is always taken from the oldest,
// which frees the slot the next frame needs. The caller writes a free
// slot's inputs, submits it, and later waits for the oldest (PendingRequest::
// wait_once, without the interpreter lock) and reads its outputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "ara2/core_error.hpp"
#include "ara2/inference.hpp"
#include "ara2/loaded_model.hpp"
#include "ara2/session.hpp"
#include "ara2/tensor_set.hpp"
#include "tensor/tensor.hpp"

namespace tallowind::ara2 {

class Pipeline {
 public:
  struct Slot {
    std::size_t worker = 0;  // index of its model, the position of its endpoint
    TensorSetPtr set;
    /// In flight on the device.
    std::optional<PendingRequest> request;
    /// In flight, but its submission failed: reported when its turn comes.
    std::optional<CoreError> failure;
  };

  /// Loads the model at `path_bytes` once per endpoint and gives each
  /// `requests` tensor sets in `memory` (automatic selection when empty).
  /// Requires at least one endpoint and one request. A failure leaves nothing behind.
  static Result<Pipeline> open(std::span<const EndpointRef> endpoints, std::string_view path_bytes,
                               std::size_t requests, std::optional<tallowind::tensor::TensorMemory> memory);

  Pipeline(Pipeline&& other) noexcept;
  Pipeline& operator=(Pipeline&&) noexcept = delete;
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  ~Pipeline() { close(); }

  bool is_open() const noexcept { return !slots_.empty(); }
  std::size_t capacity() const noexcept { return slots_.size(); }
  std::size_t in_flight() const noexcept { return count_; }
  bool full() const noexcept { return count_ == slots_.size(); }
  /// The first endpoint's model, for the descriptions every model shares.
  const LoadedModel& model() const noexcept { return *models_.front(); }

  Slot& slot(std::size_t index) noexcept { return slots_[index]; }
  /// The free slot the next frame goes to; requires an open pipeline that is not full.
  std::size_t next_index() const noexcept { return (head_ + count_) % slots_.size(); }
  /// The slot of the oldest frame in flight; requires in_flight() > 0.
  std::size_t oldest_index() const noexcept { return head_; }
  /// The number of the oldest frame in flight, counting frames from 0 in the order they were put.
  std::uint64_t oldest_number() const noexcept { return retired_; }

  /// Puts the next slot in flight: dv_infer_async on its set. A failed
  /// submission is kept in the slot and reported in the frame's turn.
  void submit_next();
  /// The oldest frame's turn is over; its request must have been released.
  void retire_oldest() noexcept;

  /// Releases everything, in this order: every request in flight (freed
  /// without waiting, oldest first), the models (unloaded), the tensor sets
  /// (registrations withdrawn, tensors released), and with the last of them
  /// the session shares. Idempotent.
  void close() noexcept;

 private:
  Pipeline(std::vector<LoadedModelPtr> models, std::vector<Slot> slots) noexcept
      : models_(std::move(models)), slots_(std::move(slots)) {}

  std::vector<LoadedModelPtr> models_;
  std::vector<Slot> slots_;  // empty once closed
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::uint64_t retired_ = 0;
};

}  // namespace tallowind::ara2
