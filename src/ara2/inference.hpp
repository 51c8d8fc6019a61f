// Running a loaded model: the tensor I/O descriptor arrays built from its
// slots, synchronous inference, and asynchronous requests with their wait
// loop. Nothing here touches Python, so a request can be waited for with the
// interpreter lock released.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ara2/core_error.hpp"
#include "ara2/model.hpp"
#include "ara2/records.hpp"
#include "ara2/session.hpp"
#include "ara2/values.hpp"
#include "tensor/tensor.hpp"

namespace tallowind::ara2 {

/// The descriptor arrays of one inference (inputs, then outputs, in one
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

/// One descriptor per slot, inputs then outputs in index order: registered
/// tensors by registration, heap tensors by the address of a fresh map. A
/// failed map is a Tensor error; whatever was mapped is released.
Result<InferenceIo> build_inference_io(const Model& model);

/// dv_infer_sync with the model's timeout, then the statistics and the free
/// of the request. Requires allocated tensors. The descriptor arrays are the
/// model's run_io(), built on the first call after an allocation.
Result<ModelTiming> run_inference(Model& model);

/// A request submitted with dv_infer_async, with everything it needs until it
/// is freed: the session share and the heap-tensor maps. Destroying a request
/// that was not waited for frees it at once (dv_infer_free, status ignored).
class PendingRequest {
 public:
  /// dv_infer_async; a null request is a NullPointer error. Requires allocated tensors.
  static Result<PendingRequest> submit(const Model& model);

  PendingRequest(PendingRequest&& other) noexcept;
  PendingRequest& operator=(PendingRequest&& other) noexcept;
  PendingRequest(const PendingRequest&) = delete;
  PendingRequest& operator=(const PendingRequest&) = delete;
  ~PendingRequest() { release(); }

  /// dv_infer_get_req_id.
  Result<std::uint64_t> request_id() const;

  /// Waits until the request leaves the pending states (each library wait
  /// bounded by `timeout_ms`, no overall limit), then frees the request, the
  /// session share and the maps whatever the outcome.
  Result<ModelTiming> wait(std::uint32_t timeout_ms) &&;

 private:
  PendingRequest(SessionPtr session, void* request, std::vector<tallowind::tensor::TensorMap> mappings) noexcept
      : session_(std::move(session)), request_(request), mappings_(std::move(mappings)) {}

  Result<ModelTiming> wait_loop(std::uint32_t timeout_ms) const;
  /// dv_infer_free (status ignored), then the session share, then the maps.
  void release() noexcept;

  SessionPtr session_;
  void* request_ = nullptr;
  std::vector<tallowind::tensor::TensorMap> mappings_;
};

}  // namespace tallowind::ara2
