// A compiled model loaded on an endpoint: the library's handle, the endpoint
// it was loaded through, and the tensor descriptions read from the handle.
//
// Shared (LoadedModelPtr) by the Model that loaded it and by every request
// submitted on it, so the handle stays loaded while the library may still
// run a request of it. The last holder unloads it, then drops its
// EndpointRef (and with it, perhaps, the endpoint array and the session).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ara2/core_error.hpp"
#include "ara2/records.hpp"
#include "ara2/session.hpp"
#include "ara2/values.hpp"

namespace tallowind::ara2 {

/// The model name the library is given for a path: the last component's file
/// stem (its final extension removed unless the component starts with its
/// only dot), decoded lossily; "model" when the path has no last component
/// (empty, the root, or ending in "..").
std::string model_name_for_path(std::string_view path_bytes);

/// "input index 3 out of range (model has 1 inputs)".
std::string index_error_text(Direction direction, std::uint64_t index, std::uint64_t count);

class LoadedModel;
using LoadedModelPtr = std::shared_ptr<LoadedModel>;

class LoadedModel {
 public:
  /// dv_model_load_from_file with the path and its stem as the name. An
  /// interior NUL is NullPointer "Invalid model path" (checked first) or
  /// "Invalid model name"; a failed load leaves nothing behind.
  static Result<LoadedModelPtr> load(const EndpointRef& endpoint, std::string_view path_bytes);

  LoadedModel(EndpointRef endpoint, void* handle) noexcept : endpoint_(std::move(endpoint)), handle_(handle) {}
  LoadedModel(const LoadedModel&) = delete;
  LoadedModel& operator=(const LoadedModel&) = delete;
  /// Unloads the model if unload() has not (status ignored).
  ~LoadedModel() { (void)unload(); }

  /// dv_model_unload, once; its status is ignored. Fails only when the
  /// library lacks the entry (Internal); the handle is given up all the same.
  /// Only the last holder may call it: nothing may use the model afterwards.
  Result<void> unload() noexcept;

  /// Counts from the handle, sign-extended.
  records::ModelCounts counts() const noexcept { return records::read_model_counts(handle_); }
  std::uint64_t count(Direction direction) const noexcept {
    const auto both = counts();
    return direction == Direction::Input ? both.inputs : both.outputs;
  }
  /// The handle's i32 counts as the library wrote them.
  std::int32_t raw_count(Direction direction) const noexcept {
    return static_cast<std::int32_t>(static_cast<std::int64_t>(count(direction)));
  }
  bool index_in_range(Direction direction, std::uint64_t index) const noexcept { return index < count(direction); }
  /// An IndexOutOfRange error (index_error_text) unless `index` is in range.
  Result<void> check_index(Direction direction, std::uint64_t index) const {
    if (index_in_range(direction, index)) return {};
    return fail(CoreError::index_out_of_range(index_error_text(direction, index, count(direction))));
  }

  /// Descriptions; the index must be in range.
  Result<InputTensorInfo> input_info(std::uint64_t index) const { return records::read_input_info(handle_, index); }
  Result<OutputTensorInfo> output_info(std::uint64_t index) const {
    return records::read_output_info(handle_, abi(), index);
  }
  /// Sizing fields of record `index`; the index must be in range.
  Result<TensorFields> tensor_fields(Direction direction, std::uint64_t index) const {
    return records::read_tensor_fields(handle_, abi(), direction, index);
  }

  void* handle() const noexcept { return handle_; }
  const EndpointRef& endpoint() const noexcept { return endpoint_; }
  void* endpoint_record() const noexcept { return endpoint_.record(); }
  const SessionShared& session() const noexcept { return endpoint_.session(); }
  /// A share of the session state, for what outlives a call (requests, tensor sets).
  const SessionPtr& session_share() const noexcept { return endpoint_.session_share(); }
  Abi abi() const noexcept { return session().abi(); }

 private:
  EndpointRef endpoint_;
  void* handle_;  // null once unloaded
};

}  // namespace tallowind::ara2
