#include "ara2/core_error.hpp"

#include <cstring>
#include <fmt/format.h>

namespace tallowind::ara2 {

OsError OsError::from_errno(int code) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return OsError{code, text};
}

OsError OsError::custom(std::string description) { return OsError{0, std::move(description)}; }

std::string OsError::text() const {
  if (code == 0) return description;
  return fmt::format("{} (os error {})", description, code);
}

std::string version_text(const Version4& v) { return fmt::format("{}.{}.{}.{}", v[0], v[1], v[2], v[3]); }

CoreError CoreError::io(const OsError& error) { return {ErrorKind::Io, error.text()}; }

CoreError CoreError::library_load(std::string loader_text) {
  return {ErrorKind::LibraryLoad, std::move(loader_text)};
}

CoreError CoreError::library_load_failed(const std::vector<std::string>& names, std::string_view last_error) {
  std::string joined;
  for (const auto& name : names) {
    if (!joined.empty()) joined += ", ";
    joined += name;
  }
  return {ErrorKind::LibraryLoadFailed,
          fmt::format("could not load the ARA-2 client library; tried {} (last error: {})", joined, last_error)};
}

CoreError CoreError::unsupported_generation(std::string_view file, std::optional<Version4> version) {
  if (version) {
    return {ErrorKind::UnsupportedGeneration,
            fmt::format("{} implements DVAPI {}, which this build of ara2 has no struct layout for; "
                        "set ARA2_ABI to 1.1 or 1.3 to force one",
                        file, version_text(*version))};
  }
  return {ErrorKind::UnsupportedGeneration,
          fmt::format("{} would not report a DVAPI version (no usable dv_get_client_lib_version); "
                      "set ARA2_ABI to 1.1 or 1.3 to force one",
                      file)};
}

CoreError CoreError::invalid_abi_override(std::string_view shown_value) {
  return {ErrorKind::InvalidAbiOverride, fmt::format("ARA2_ABI is set to {}; expected 1.1 or 1.3", shown_value)};
}

CoreError CoreError::config_read(std::string_view path, const OsError& error) {
  return {ErrorKind::ConfigRead, fmt::format("could not read {}: {}", path, error.text())};
}

CoreError CoreError::config_invalid(std::string_view path, std::string_view reason) {
  return {ErrorKind::ConfigInvalid, fmt::format("{} is not a usable proxy configuration: {}", path, reason)};
}

CoreError CoreError::no_reachable_endpoint(std::optional<std::uint32_t> pid) {
  if (pid) {
    return {ErrorKind::NoReachableEndpoint,
            fmt::format("the proxy at pid {} exposes no endpoint this client can reach", *pid)};
  }
  return {ErrorKind::NoReachableEndpoint, "no endpoint this client can reach was declared"};
}

CoreError CoreError::proc_read(std::string_view path, const OsError& error) {
  return {ErrorKind::ProcRead, fmt::format("could not read {} to look for a running proxy: {}", path, error.text())};
}

CoreError CoreError::status(std::uint32_t code) {
  return {ErrorKind::Status, fmt::format("Ara2 error: {}", code), code};
}

CoreError CoreError::unknown_product_type(std::int32_t component) {
  return {ErrorKind::UnknownProductType, fmt::format("Unknown product type: {}", component)};
}

CoreError CoreError::unknown_layer_output_type(std::uint32_t raw) {
  return {ErrorKind::UnknownLayerOutputType, fmt::format("Unknown layer output type: {}", raw)};
}

CoreError CoreError::unsupported_layout(std::string_view text) {
  return {ErrorKind::UnsupportedLayout, fmt::format("Unsupported layout: {}", text)};
}

CoreError CoreError::unsupported_type_size(std::uint64_t size) {
  return {ErrorKind::UnsupportedTypeSize, fmt::format("Unsupported type size: {}", size)};
}

CoreError CoreError::null_pointer(std::string_view what) {
  return {ErrorKind::NullPointer, fmt::format("Null pointer error: {}", what)};
}

CoreError CoreError::tensor(std::string_view tensor_error_text) {
  return {ErrorKind::Tensor, fmt::format("Tensor error: {}", tensor_error_text)};
}

CoreError CoreError::image(std::string_view text) { return {ErrorKind::Image, fmt::format("Image error: {}", text)}; }

CoreError CoreError::shape(std::string_view text) { return {ErrorKind::Shape, fmt::format("Shape error: {}", text)}; }

CoreError CoreError::zip(std::string_view text) { return {ErrorKind::Zip, fmt::format("ZIP error: {}", text)}; }

CoreError CoreError::json(std::string_view text) { return {ErrorKind::Json, fmt::format("JSON error: {}", text)}; }

CoreError CoreError::unsupported_quantization(std::int32_t qmode) {
  return {ErrorKind::UnsupportedQuantization,
          fmt::format("unsupported quantization mode: qmode={} (only qmode 9 is supported)", qmode)};
}

CoreError CoreError::size_mismatch(std::uint64_t expected, std::uint64_t actual) {
  return {ErrorKind::SizeMismatch,
          fmt::format("tensor size mismatch: expected {} bytes, got {} bytes", expected, actual)};
}

CoreError CoreError::async_inference_failed() {
  return {ErrorKind::AsyncInferenceFailed, "asynchronous inference failed on the NPU"};
}

CoreError CoreError::inference_incomplete(std::uint32_t state) {
  return {ErrorKind::InferenceIncomplete, fmt::format("inference not completed (status={})", state)};
}

CoreError CoreError::internal(std::string text) { return {ErrorKind::Internal, std::move(text)}; }

CoreError CoreError::closed(std::string_view object) { return {ErrorKind::Closed, fmt::format("{} is closed", object)}; }

CoreError CoreError::not_allocated() {
  return {ErrorKind::NotAllocated, "tensors not allocated: call allocate_tensors() first"};
}

CoreError CoreError::inputs_in_use() {
  return {ErrorKind::InputsInUse,
          "input tensors are in use by a pending request: call wait() on it before writing new inputs"};
}

CoreError CoreError::input_size_mismatch(std::uint64_t given, std::uint64_t tensor_size) {
  return {ErrorKind::InputSizeMismatch,
          fmt::format("input data size {} bytes does not match tensor size {} bytes", given, tensor_size)};
}

CoreError CoreError::tensor_access(std::string_view text) { return {ErrorKind::TensorAccess, std::string(text)}; }

CoreError CoreError::index_out_of_range(std::string text) { return {ErrorKind::IndexOutOfRange, std::move(text)}; }

CoreError CoreError::request_consumed() { return {ErrorKind::RequestConsumed, "inference request already consumed"}; }

CoreError CoreError::unknown_memory_kind(std::string_view given) {
  return {ErrorKind::UnknownMemoryKind,
          fmt::format("unknown memory type '{}': expected 'dma', 'shm', 'mem', or None", given)};
}

CoreError CoreError::invalid_ip_address() {
  return {ErrorKind::InvalidIpAddress, "Invalid IP address: invalid IPv4 address syntax"};
}

CoreError CoreError::results_go_to_callback() {
  return {ErrorKind::ResultsGoToCallback, "this pipeline hands its results to its callback"};
}

CoreError CoreError::no_frames() { return {ErrorKind::NoFrames, "no frames in the pipeline"}; }

ErrorClass class_for_status(std::uint32_t code) noexcept {
  if (code <= 99) return ErrorClass::Ara2Error;
  if (code <= 199) return ErrorClass::HardwareError;
  if (code <= 239) return ErrorClass::ProxyError;
  if (code <= 299) return ErrorClass::ModelError;
  if (code <= 399) return ErrorClass::LibraryError;
  if (code <= 499) return ErrorClass::ProxyError;
  return ErrorClass::HardwareError;
}

ErrorClass CoreError::error_class(ErrorScope scope) const noexcept {
  if (scope == ErrorScope::Metadata) return ErrorClass::MetadataError;
  switch (kind_) {
    case ErrorKind::Io:
    case ErrorKind::ConfigRead:
    case ErrorKind::ConfigInvalid:
    case ErrorKind::NoReachableEndpoint:
    case ErrorKind::ProcRead:
      return ErrorClass::ProxyError;
    case ErrorKind::LibraryLoad:
    case ErrorKind::LibraryLoadFailed:
    case ErrorKind::UnsupportedGeneration:
    case ErrorKind::InvalidAbiOverride:
      return ErrorClass::LibraryError;
    case ErrorKind::Status:
      return class_for_status(status_);
    case ErrorKind::UnknownProductType:
      return ErrorClass::HardwareError;
    case ErrorKind::UnknownLayerOutputType:
    case ErrorKind::UnsupportedLayout:
    case ErrorKind::UnsupportedTypeSize:
      return ErrorClass::ModelError;
    case ErrorKind::Tensor:
    case ErrorKind::Image:
    case ErrorKind::Shape:
    case ErrorKind::NotAllocated:
    case ErrorKind::InputsInUse:
    case ErrorKind::InputSizeMismatch:
    case ErrorKind::TensorAccess:
      return ErrorClass::TensorError;
    case ErrorKind::Zip:
    case ErrorKind::Json:
      return ErrorClass::MetadataError;
    case ErrorKind::NullPointer:
    case ErrorKind::UnsupportedQuantization:
    case ErrorKind::SizeMismatch:
    case ErrorKind::AsyncInferenceFailed:
    case ErrorKind::InferenceIncomplete:
    case ErrorKind::Closed:
    case ErrorKind::RequestConsumed:
    case ErrorKind::UnknownMemoryKind:
    case ErrorKind::InvalidIpAddress:
    case ErrorKind::ResultsGoToCallback:
    case ErrorKind::NoFrames:
      return ErrorClass::Ara2Error;
    case ErrorKind::IndexOutOfRange:
      return ErrorClass::IndexError;
    case ErrorKind::Internal:
      return ErrorClass::InternalFailure;
  }
  return ErrorClass::Ara2Error;
}

}  // namespace tallowind::ara2
