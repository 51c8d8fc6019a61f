#include "ara2/pipeline.hpp"

#include <utility>

namespace tallowind::ara2 {

Result<Pipeline> Pipeline::open(std::span<const EndpointRef> endpoints, std::string_view path_bytes,
                                std::size_t requests, std::optional<tallowind::tensor::TensorMemory> memory) {
  if (endpoints.empty() || requests == 0) return fail(CoreError::internal("a pipeline needs endpoints and requests"));
  std::vector<LoadedModelPtr> models;
  models.reserve(endpoints.size());
  for (const EndpointRef& endpoint : endpoints) {
    auto loaded = LoadedModel::load(endpoint, path_bytes);
    if (!loaded) return fail(std::move(loaded.error()));
    models.push_back(std::move(*loaded));
  }
  // Built into a pipeline at once, so that a failure releases in its order.
  Pipeline pipeline(std::move(models), {});
  const std::size_t capacity = endpoints.size() * requests;
  pipeline.slots_.reserve(capacity);
  for (std::size_t index = 0; index < capacity; ++index) {
    const std::size_t worker = index % endpoints.size();
    auto set = TensorSet::create(*pipeline.models_[worker], memory);
    if (!set) return fail(std::move(set.error()));
    pipeline.slots_.push_back(Slot{worker, std::move(*set), std::nullopt, std::nullopt});
  }
  return pipeline;
}

Pipeline::Pipeline(Pipeline&& other) noexcept
    : models_(std::move(other.models_)),
      slots_(std::move(other.slots_)),
      head_(std::exchange(other.head_, 0)),
      count_(std::exchange(other.count_, 0)),
      retired_(std::exchange(other.retired_, 0)) {
  other.models_.clear();
  other.slots_.clear();
}

void Pipeline::submit_next() {
  Slot& slot = slots_[next_index()];
  auto request = PendingRequest::submit(models_[slot.worker], slot.set);
  if (request) {
    slot.request.emplace(std::move(*request));
  } else {
    slot.failure.emplace(std::move(request.error()));
  }
  ++count_;
}

void Pipeline::retire_oldest() noexcept {
  Slot& slot = slots_[head_];
  slot.request.reset();
  slot.failure.reset();
  head_ = (head_ + 1) % slots_.size();
  --count_;
  ++retired_;
}

void Pipeline::close() noexcept {
  for (; count_ > 0; --count_) {
    slots_[head_].request.reset();
    head_ = (head_ + 1) % slots_.size();
  }
  models_.clear();
  slots_.clear();
  head_ = 0;
}

}  // namespace tallowind::ara2
