#include "ara2/inference.hpp"

#include <utility>

#include "ara2/counters.hpp"
#include "ara2/trace.hpp"

namespace tallowind::ara2 {
namespace {

constexpr std::uint32_t kPendingQueued = 0;
constexpr std::uint32_t kPendingRunning = 1;
constexpr std::uint32_t kCompleted = 2;
constexpr std::uint32_t kFailedOnNpu = 4;

/// Counts an inference that ended (observability hook) and, when a trace is
/// recorded, draws the host's span and the device's.
void observe_end(trace::Phase phase, std::int32_t endpoint, std::uint64_t begun_ns,
                 const Result<ModelTiming>& outcome) noexcept {
  const std::uint64_t ended_ns = trace::now_ns();
  counters::completed(begun_ns, ended_ns, outcome.has_value());
  if (!trace::on()) return;
  if (phase == trace::Phase::Run) trace::span(phase, begun_ns, endpoint);
  if (outcome) trace::device(endpoint, begun_ns, ended_ns, *outcome);
}

std::int32_t endpoint_index(const LoadedModel& model) noexcept {
  return static_cast<std::int32_t>(model.endpoint().index);
}

Result<ModelTiming> run_and_free(const LoadedModel& model, TensorSet& set, std::uint32_t timeout_ms) {
  auto io = set.io();
  if (!io) return fail(std::move(io.error()));
  const SessionShared& session = model.session();
  void* request = nullptr;
  auto called = session.library().call<Entry::dv_infer_sync>(session.handle(), model.endpoint_record(),
                                                              model.handle(), (*io)->inputs(), (*io)->outputs(),
                                                              timeout_ms, 1, &request);
  if (!called) return fail(std::move(called.error()));
  // Nothing to read or free; reading through it would crash the process.
  if (request == nullptr) return fail(CoreError::null_pointer("dv_infer_sync returned null request pointer"));
  auto timing = records::read_request_timing(request);
  auto freed = session.library().call<Entry::dv_infer_free>(request);
  // A failed free only matters when there was a timing to hand back.
  if (timing && !freed) return fail(std::move(freed.error()));
  return timing;
}

/// When an inference began, for the counters and the trace; 0 when neither wants it.
std::uint64_t observed_start() noexcept { return counters::counting() || trace::on() ? trace::now_ns() : 0; }

}  // namespace

Result<ModelTiming> run_inference(const LoadedModel& model, TensorSet& set, std::uint32_t timeout_ms) {
  const std::uint64_t begun_ns = observed_start();
  auto timing = run_and_free(model, set, timeout_ms);
  if (begun_ns != 0) observe_end(trace::Phase::Run, endpoint_index(model), begun_ns, timing);
  return timing;
}

Result<PendingRequest> PendingRequest::submit(const LoadedModelPtr& model, const TensorSetPtr& set) {
  const trace::Scope span(trace::Phase::Submit, endpoint_index(*model));
  const std::uint64_t begun_ns = observed_start();
  // The set's kept arrays: the library reads them within the call, and the
  // heap maps they point into live as long as the set, which the request holds.
  auto io = set->io();
  if (!io) return fail(std::move(io.error()));
  const SessionShared& session = model->session();
  void* request = nullptr;
  auto called = session.library().call<Entry::dv_infer_async>(session.handle(), model->endpoint_record(),
                                                               model->handle(), (*io)->inputs(), (*io)->outputs(),
                                                               1, &request);
  if (!called) return fail(std::move(called.error()));
  if (request == nullptr) return fail(CoreError::null_pointer("dv_infer_async returned null request pointer"));
  return PendingRequest(request, model, set, begun_ns);
}

PendingRequest::PendingRequest(void* request, LoadedModelPtr model, TensorSetPtr set,
                               std::uint64_t submitted_ns) noexcept
    : request_(request),
      model_(std::move(model)),
      set_(std::move(set)),
      session_(model_->session_share()),
      submitted_ns_(submitted_ns),
      endpoint_(endpoint_index(*model_)) {
  set_->add_pending();
  counters::in_flight(endpoint_, 1);
}

PendingRequest::PendingRequest(PendingRequest&& other) noexcept
    : request_(std::exchange(other.request_, nullptr)),
      model_(std::move(other.model_)),
      set_(std::move(other.set_)),
      session_(std::move(other.session_)),
      submitted_ns_(other.submitted_ns_),
      endpoint_(other.endpoint_) {}

PendingRequest& PendingRequest::operator=(PendingRequest&& other) noexcept {
  if (this != &other) {
    release();
    request_ = std::exchange(other.request_, nullptr);
    model_ = std::move(other.model_);
    set_ = std::move(other.set_);
    session_ = std::move(other.session_);
    submitted_ns_ = other.submitted_ns_;
    endpoint_ = other.endpoint_;
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
  const trace::Scope span(trace::Phase::Wait, endpoint_);
  for (;;) {
    if (auto outcome = wait_once(timeout_ms)) return std::move(*outcome);
  }
}

std::optional<Result<ModelTiming>> PendingRequest::wait_once(std::uint32_t timeout_ms) {
  auto outcome = poll(timeout_ms);
  if (outcome) {
    if (submitted_ns_ != 0) observe_end(trace::Phase::Wait, endpoint_, submitted_ns_, *outcome);
    release();
  }
  return outcome;
}

std::optional<Result<ModelTiming>> PendingRequest::poll(std::uint32_t timeout_ms) const {
  const SessionShared& session = *session_;
  void* requests[1] = {request_};
  void* completed = nullptr;
  auto called =
      session.library().call<Entry::dv_infer_wait_for_completion>(session.handle(), requests, 1, timeout_ms, &completed);
  if (!called) return Result<ModelTiming>(fail(std::move(called.error())));
  if (completed == nullptr) {
    return Result<ModelTiming>(
        fail(CoreError::null_pointer("dv_infer_wait_for_completion returned null completed pointer")));
  }
  const std::uint32_t state = records::read_request_state(completed);
  if (state == kPendingQueued || state == kPendingRunning) return std::nullopt;
  if (state == kCompleted) return records::read_request_timing(completed);
  if (state == kFailedOnNpu) return Result<ModelTiming>(fail(CoreError::async_inference_failed()));
  return Result<ModelTiming>(fail(CoreError::inference_incomplete(state)));
}

void PendingRequest::release() noexcept {
  if (request_ == nullptr) return;
  (void)session_->library().call_raw<Entry::dv_infer_free>(std::exchange(request_, nullptr));
  counters::in_flight(endpoint_, -1);
  set_->drop_pending();
  model_.reset();
  set_.reset();
  session_.reset();
}

}  // namespace tallowind::ara2
