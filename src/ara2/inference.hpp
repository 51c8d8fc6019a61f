// Running a loaded model on one of its tensor sets: synchronous inference,
// and asynchronous requests with their wait loop. Nothing here touches
// Python, so a request can be waited for with the interpreter lock released.
#pragma once

#include <cstdint>
#include <optional>

#include "ara2/core_error.hpp"
#include "ara2/loaded_model.hpp"
#include "ara2/session.hpp"
#include "ara2/tensor_set.hpp"
#include "ara2/values.hpp"

namespace tallowind::ara2 {

/// dv_infer_sync with `timeout_ms` on the set's kept descriptor arrays, then
/// the statistics and the free of the request. Requires an allocated set.
Result<ModelTiming> run_inference(const LoadedModel& model, TensorSet& set, std::uint32_t timeout_ms);

/// A request submitted with dv_infer_async, with shares of everything the
/// library may still read or write until it is freed: the loaded model, the
/// tensor set and the session. Releasing it (after a wait, or by destroying
/// a request that was never waited for, which frees it at once) goes in this
/// order: dv_infer_free (status ignored), the set's pending count, the model
/// (unloaded if this was its last holder), the set (withdrawn and released
/// if last), the session share.
class PendingRequest {
 public:
  /// dv_infer_async on `set`; a null request is a NullPointer error. Requires
  /// an allocated set of `model`. The set counts the request as pending.
  static Result<PendingRequest> submit(const LoadedModelPtr& model, const TensorSetPtr& set);

  PendingRequest(PendingRequest&& other) noexcept;
  PendingRequest& operator=(PendingRequest&& other) noexcept;
  PendingRequest(const PendingRequest&) = delete;
  PendingRequest& operator=(const PendingRequest&) = delete;
  ~PendingRequest() { release(); }

  /// dv_infer_get_req_id.
  Result<std::uint64_t> request_id() const;

  /// Waits until the request leaves the pending states (each library wait
  /// bounded by `timeout_ms`, no overall limit), then releases it whatever
  /// the outcome.
  Result<ModelTiming> wait(std::uint32_t timeout_ms) &&;

  /// One library wait of at most `timeout_ms`. nullopt while the request is
  /// still queued or running (nothing released); otherwise its outcome, and
  /// the request is released. Lets a caller check for interruptions between waits.
  std::optional<Result<ModelTiming>> wait_once(std::uint32_t timeout_ms);

 private:
  PendingRequest(void* request, LoadedModelPtr model, TensorSetPtr set, std::uint64_t submitted_ns) noexcept;

  /// The outcome of one library wait; nullopt while queued or running.
  std::optional<Result<ModelTiming>> poll(std::uint32_t timeout_ms) const;
  void release() noexcept;

  void* request_ = nullptr;  // null once released
  LoadedModelPtr model_;
  TensorSetPtr set_;
  SessionPtr session_;
  std::uint64_t submitted_ns_ = 0;  // for the latency counted and traced at completion
  std::int32_t endpoint_ = 0;
};

}  // namespace tallowind::ara2
