// What a Python Model holds: a share of the loaded model, its default tensor
// set (what allocate_tensors() fills and the data methods use) and the
// timeout of synchronous inference.
//
// Both are shares: a request pending on the model holds them too, so
// reallocating installs a new default set while the request keeps the old
// one, and closing gives the model up at once while the unload and the
// release of the set wait for the last pending request. With nothing
// pending, close() unloads the model, then the set withdraws its
// registrations and releases its tensors, then the session share goes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "ara2/core_error.hpp"
#include "ara2/loaded_model.hpp"
#include "ara2/session.hpp"
#include "ara2/tensor_set.hpp"
#include "tensor/tensor.hpp"

namespace tallowind::ara2 {

class Model {
 public:
  static constexpr std::uint32_t kDefaultTimeoutMs = 1000;

  /// LoadedModel::load; nothing is allocated.
  static Result<Model> load(const EndpointRef& endpoint, std::string_view path_bytes);

  explicit Model(LoadedModelPtr loaded) noexcept : loaded_(std::move(loaded)) {}
  Model(Model&& other) noexcept = default;
  Model& operator=(Model&& other) noexcept;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;
  /// Closes the model if it is still open.
  ~Model() { (void)close(); }

  bool is_open() const noexcept { return loaded_ != nullptr; }
  /// True once allocate_tensors() has filled the default set (false once closed).
  bool is_allocated() const noexcept { return tensors_ && tensors_->is_allocated(); }

  /// Gives up the model's shares: the loaded model (unloaded now unless a
  /// pending request holds it; then when that request is released), then the
  /// default set (likewise). Does nothing on a closed model. Fails only when
  /// the model was unloaded here and the library lacks dv_model_unload
  /// (Internal); the model is closed all the same.
  Result<void> close() noexcept;

  /// The loaded model; requires an open model.
  const LoadedModel& loaded() const noexcept { return *loaded_; }
  const LoadedModelPtr& loaded_share() const noexcept { return loaded_; }

  /// Fills the default set as TensorSet::allocate does (the first call makes
  /// it). While a request uses the default set, a new set is made instead (all
  /// or nothing) and installed, and the request keeps the old one. Requires an
  /// open model.
  Result<void> allocate_tensors(std::optional<tallowind::tensor::TensorMemory> memory);

  /// The default set; requires allocated tensors.
  TensorSet& tensors() const noexcept { return *tensors_; }
  const TensorSetPtr& tensors_share() const noexcept { return tensors_; }

  /// Timeout of synchronous inference; valid open or closed.
  std::uint32_t timeout_ms() const noexcept { return timeout_ms_; }
  void set_timeout_ms(std::uint32_t timeout_ms) noexcept { timeout_ms_ = timeout_ms; }

 private:
  LoadedModelPtr loaded_;  // empty once closed
  TensorSetPtr tensors_;   // empty until first allocated, and once closed
  std::uint32_t timeout_ms_ = kDefaultTimeoutMs;
};

}  // namespace tallowind::ara2
