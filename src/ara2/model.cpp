#include "ara2/model.hpp"

#include <utility>

namespace tallowind::ara2 {

Result<Model> Model::load(const EndpointRef& endpoint, std::string_view path_bytes) {
  auto loaded = LoadedModel::load(endpoint, path_bytes);
  if (!loaded) return fail(std::move(loaded.error()));
  return Model(std::move(*loaded));
}

Model& Model::operator=(Model&& other) noexcept {
  if (this != &other) {
    (void)close();
    loaded_ = std::move(other.loaded_);
    tensors_ = std::move(other.tensors_);
    timeout_ms_ = other.timeout_ms_;
  }
  return *this;
}

Result<void> Model::close() noexcept {
  if (!loaded_) return {};
  LoadedModelPtr loaded = std::move(loaded_);
  Result<void> unloaded;
  // Only the last holder unloads; a pending request unloads when it is released.
  if (loaded.use_count() == 1) unloaded = loaded->unload();
  // The endpoint share goes here; the set keeps a share of the session, so
  // its registrations are withdrawn before the session can close.
  loaded.reset();
  tensors_.reset();
  return unloaded;
}

Result<void> Model::allocate_tensors(std::optional<tallowind::tensor::TensorMemory> memory) {
  if (!loaded_) return fail(CoreError::internal("allocate_tensors on a closed model"));
  if (!tensors_) tensors_ = std::make_shared<TensorSet>(loaded_->session_share());
  if (tensors_->pending() == 0) return tensors_->allocate(*loaded_, memory);
  auto fresh = TensorSet::create(*loaded_, memory);
  if (!fresh) return fail(std::move(fresh.error()));
  tensors_ = std::move(*fresh);
  return {};
}

}  // namespace tallowind::ara2
