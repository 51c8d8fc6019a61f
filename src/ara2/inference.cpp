#include "ara2/inference.hpp"

#include <utility>

namespace tallowind::ara2 {
namespace {

using tallowind::tensor::TensorMap;

constexpr std::uint32_t kPendingQueued = 0;
constexpr std::uint32_t kPendingRunning = 1;
constexpr std::uint32_t kCompleted = 2;
constexpr std::uint32_t kFailedOnNpu = 4;

// Stands in for the address of an empty buffer and for an empty array, so the
// library never sees a null data pointer.
alignas(8) constinit std::uint8_t empty_bytes[8] = {};
constinit records::TensorIoDescriptor empty_array[1] = {};

Result<void> describe(const std::vector<TensorSlot>& slots, InferenceIo& io) {
  for (const TensorSlot& slot : slots) {
    if (slot.registration != nullptr) {
      io.descriptors.push_back(records::registered_tensor(slot.registration, slot.size()));
      continue;
    }
    auto map = slot.tensor.map();
    if (!map) return fail(CoreError::tensor(map.error().display()));
    void* address = map->data() != nullptr ? static_cast<void*>(map->data()) : empty_bytes;
    io.descriptors.push_back(records::mapped_tensor(address, slot.size()));
    io.mappings.push_back(std::move(*map));
  }
  return {};
}

}  // namespace

void* InferenceIo::inputs() noexcept {
  return input_count == 0 ? static_cast<void*>(empty_array) : static_cast<void*>(descriptors.data());
}

void* InferenceIo::outputs() noexcept {
  return descriptors.size() == input_count ? static_cast<void*>(empty_array)
                                           : static_cast<void*>(descriptors.data() + input_count);
}

Result<InferenceIo> build_inference_io(const Model& model) {
  InferenceIo io;
  // One allocation each for the descriptors and the maps: run() is called per frame.
  const std::size_t count = model.inputs().size() + model.outputs().size();
  io.descriptors.reserve(count);
  io.mappings.reserve(count);
  if (auto built = describe(model.inputs(), io); !built) return fail(std::move(built.error()));
  io.input_count = io.descriptors.size();
  if (auto built = describe(model.outputs(), io); !built) return fail(std::move(built.error()));
  return io;
}

Result<ModelTiming> run_inference(Model& model) {
  std::unique_ptr<InferenceIo>& io = model.run_io();
  if (!io) {
    auto built = build_inference_io(model);
    if (!built) return fail(std::move(built.error()));
    io = std::make_unique<InferenceIo>(std::move(*built));
  }
  const SessionShared& session = model.session();
  void* request = nullptr;
  auto called = session.library().call<Entry::dv_infer_sync>(session.handle(), model.endpoint_record(),
                                                              model.handle(), io->inputs(),
                                                              io->outputs(), model.timeout_ms(), 1,
                                                              &request);
  if (!called) return fail(std::move(called.error()));
  // Nothing to read or free; reading through it would crash the process.
  if (request == nullptr) return fail(CoreError::null_pointer("dv_infer_sync returned null request pointer"));
  auto timing = records::read_request_timing(request);
  auto freed = session.library().call<Entry::dv_infer_free>(request);
  // A failed free only matters when there was a timing to hand back.
  if (timing && !freed) return fail(std::move(freed.error()));
  return timing;
}

Result<PendingRequest> PendingRequest::submit(const Model& model) {
  auto io = build_inference_io(model);
  if (!io) return fail(std::move(io.error()));
  const SessionShared& session = model.session();
  void* request = nullptr;
  auto called = session.library().call<Entry::dv_infer_async>(session.handle(), model.endpoint_record(),
                                                               model.handle(), io->inputs(),
                                                               io->outputs(), 1, &request);
  if (!called) return fail(std::move(called.error()));
  if (request == nullptr) return fail(CoreError::null_pointer("dv_infer_async returned null request pointer"));
  return PendingRequest(model.session_share(), request, std::move(io->mappings));
}

PendingRequest::PendingRequest(PendingRequest&& other) noexcept
    : session_(std::move(other.session_)),
      request_(std::exchange(other.request_, nullptr)),
      mappings_(std::move(other.mappings_)) {}

PendingRequest& PendingRequest::operator=(PendingRequest&& other) noexcept {
  if (this != &other) {
    release();
    session_ = std::move(other.session_);
    request_ = std::exchange(other.request_, nullptr);
    mappings_ = std::move(other.mappings_);
  }
  return *this;
}

Result<std::uint64_t> PendingRequest::request_id() const {
  std::uint64_t id = 0;
  auto called = session_->library().call<Entry::dv_infer_get_req_id>(request_, &id);
  if (!called) return fail(std::move(called.error()));
  return id;
}

Result<ModelTiming> PendingRequest::wait(std::uint32_t timeout_ms) && {
  auto outcome = wait_loop(timeout_ms);
  release();
  return outcome;
}

Result<ModelTiming> PendingRequest::wait_loop(std::uint32_t timeout_ms) const {
  const SessionShared& session = *session_;
  void* requests[1] = {request_};
  for (;;) {
    void* completed = nullptr;
    auto called = session.library().call<Entry::dv_infer_wait_for_completion>(session.handle(), requests, 1,
                                                                              timeout_ms, &completed);
    if (!called) return fail(std::move(called.error()));
    if (completed == nullptr) {
      return fail(CoreError::null_pointer("dv_infer_wait_for_completion returned null completed pointer"));
    }
    const std::uint32_t state = records::read_request_state(completed);
    if (state == kPendingQueued || state == kPendingRunning) continue;
    if (state == kCompleted) return records::read_request_timing(completed);
    if (state == kFailedOnNpu) return fail(CoreError::async_inference_failed());
    return fail(CoreError::inference_incomplete(state));
  }
}

void PendingRequest::release() noexcept {
  if (request_ == nullptr) return;
  (void)session_->library().call_raw<Entry::dv_infer_free>(std::exchange(request_, nullptr));
  session_.reset();
  mappings_.clear();
}

}  // namespace tallowind::ara2
