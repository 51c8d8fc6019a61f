#include "ara2/records.hpp"

#include <array>
#include <cstring>
#include <fmt/format.h>
#include <limits>

#include "ara2/text.hpp"

namespace tallowind::ara2::records {
namespace {

// Offsets into the library's records; identical in both generations.
namespace model_handle {
constexpr std::size_t kInputCount = 56, kOutputCount = 60, kInputs = 72, kOutputs = 80;
}
/// The fields input and output tensor records share.
struct TensorRecordOffsets {
  std::size_t layer_id, blob_id, layer_name, blob_name, layer_type, layout, size, width, height, nch, bpp;
};
constexpr TensorRecordOffsets kInputRecord{.layer_id = 8, .blob_id = 12, .layer_name = 16, .blob_name = 24,
                                           .layer_type = 32, .layout = 40, .size = 48, .width = 52,
                                           .height = 56, .nch = 64, .bpp = 68};
constexpr TensorRecordOffsets kOutputRecord{.layer_id = 8, .blob_id = 12, .layer_name = 24, .blob_name = 32,
                                            .layer_type = 48, .layout = 56, .size = 64, .width = 68,
                                            .height = 72, .nch = 80, .bpp = 84};
namespace input_record {
constexpr std::size_t kParameters = 0, kBatchSize = 72;
}
namespace input_parameters {
constexpr std::size_t kQn = 0, kScale = 8, kMean = 16, kAspectResize = 24, kMirror = 25, kCenterCrop = 26,
                      kBgrToRgb = 27, kIsSigned = 32, kOffset = 48, kQmode = 52;
}
namespace output_record {
constexpr std::size_t kQuantization = 0, kFusedParentId = 16, kFusedParentName = 40, kNumClasses = 88,
                      kOutputType = 92, kMaxDynamicId = 100;
}
namespace output_quantization {
constexpr std::size_t kQn = 0, kIsSigned = 6, kOffset = 12;
}
namespace request_record {
constexpr std::size_t kState = 56, kStatistics = 64;
}
namespace statistics_record {
constexpr std::size_t kInputTime = 24, kOutputTime = 28, kRunTime = 96;
}

/// Reads a field at a byte offset without assuming the record's alignment.
template <class T>
T load(const void* base, std::size_t offset) noexcept {
  T value;
  std::memcpy(&value, static_cast<const std::byte*>(base) + offset, sizeof value);
  return value;
}

const void* load_pointer(const void* base, std::size_t offset) noexcept { return load<const void*>(base, offset); }

std::string load_text(const void* base, std::size_t offset) {
  return copy_library_text(load<const char*>(base, offset));
}

std::uint64_t load_widened(const void* base, std::size_t offset) noexcept {
  return widen(load<std::int32_t>(base, offset));
}

bool load_flag(const void* base, std::size_t offset) noexcept { return load<std::uint8_t>(base, offset) != 0; }

std::array<float, 3> load_three_floats(const void* values) noexcept {
  std::array<float, 3> out;
  std::memcpy(out.data(), values, sizeof out);
  return out;
}

/// Input record `index` and its parameter record, after the count check.
Result<std::pair<const std::byte*, const void*>> locate_input(const void* handle, std::uint64_t index) {
  // A negative count holds no records, whatever its sign-extended form says.
  const std::int32_t count = load<std::int32_t>(handle, model_handle::kInputCount);
  if (count < 0 || index >= static_cast<std::uint64_t>(count)) {
    return fail(CoreError::internal(fmt::format("input index {} read beyond the model's {} inputs", index, count)));
  }
  const auto* array = static_cast<const std::byte*>(load_pointer(handle, model_handle::kInputs));
  if (array == nullptr) return fail(CoreError::null_pointer("model has no input tensor records"));
  const std::byte* record = array + kInputRecordSize * index;
  const void* params = load_pointer(record, input_record::kParameters);
  if (params == nullptr) return fail(CoreError::null_pointer("input tensor record has no parameter record"));
  return std::pair{record, params};
}

/// Output record `index` and its quantisation record, after the count and
/// layer output type checks.
struct LocatedOutput {
  const std::byte* record;
  const void* quant;
  ModelOutputType type;
};

Result<LocatedOutput> locate_output(const void* handle, Abi abi, std::uint64_t index) {
  const std::int32_t count = load<std::int32_t>(handle, model_handle::kOutputCount);
  if (count < 0 || index >= static_cast<std::uint64_t>(count)) {
    return fail(CoreError::internal(fmt::format("output index {} read beyond the model's {} outputs", index, count)));
  }
  const auto* array = static_cast<const std::byte*>(load_pointer(handle, model_handle::kOutputs));
  if (array == nullptr) return fail(CoreError::null_pointer("model has no output tensor records"));
  const std::byte* record = array + output_record_stride(abi) * index;

  auto type = output_type_from_raw(load<std::uint32_t>(record, output_record::kOutputType));
  if (!type) return fail(std::move(type.error()));
  const void* quant = load_pointer(record, output_record::kQuantization);
  if (quant == nullptr) return fail(CoreError::null_pointer("output tensor record has no quantization record"));
  return LocatedOutput{record, quant, *type};
}

/// The description fields input and output records share.
template <class Info>
void load_shared_fields(Info& info, const std::byte* record, const TensorRecordOffsets& at) {
  info.layer_id = load<std::int32_t>(record, at.layer_id);
  info.blob_id = load<std::int32_t>(record, at.blob_id);
  info.layer_name = load_text(record, at.layer_name);
  info.blob_name = load_text(record, at.blob_name);
  info.layer_type = load_text(record, at.layer_type);
  info.layout = load_text(record, at.layout);
  info.size = load_widened(record, at.size);
  info.width = load_widened(record, at.width);
  info.height = load_widened(record, at.height);
  info.nch = load_widened(record, at.nch);
  info.bpp = load_widened(record, at.bpp);
}

InputQuantization load_input_quantization(const void* params) noexcept {
  return InputQuantization{
      .qn = load<float>(params, input_parameters::kQn),
      .offset = load<std::int32_t>(params, input_parameters::kOffset),
      .is_signed = load_flag(params, input_parameters::kIsSigned),
      .qmode = load<std::int32_t>(params, input_parameters::kQmode),
  };
}

OutputQuantization load_output_quantization(const void* quant) noexcept {
  return OutputQuantization{
      .qn = load<float>(quant, output_quantization::kQn),
      .offset = load<std::int32_t>(quant, output_quantization::kOffset),
      .is_signed = load_flag(quant, output_quantization::kIsSigned),
  };
}

}  // namespace

std::uint64_t saturating_microseconds(float value) noexcept {
  if (!(value > 0.0f)) return 0;  // negatives, zero and NaN
  // 2^64 is exactly representable as a float; anything at or above it saturates.
  if (value >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

void* endpoint_record(void* array, std::size_t index) noexcept {
  return static_cast<std::byte*>(array) + kEndpointRecordSize * index;
}

DramStatistics read_dram_statistics(const void* record) noexcept {
  return DramStatistics{
      .dram_size = load<std::uint64_t>(record, 8),
      .dram_occupancy_size = load<std::uint64_t>(record, 16),
      .free_size = load<std::uint64_t>(record, 24),
      .reserved_occupancy_size = load<std::uint64_t>(record, 32),
      .model_occupancy_size = load<std::uint64_t>(record, 40),
      .tensor_occupancy_size = load<std::uint64_t>(record, 48),
  };
}

Result<std::string_view> component_name(std::uint32_t code) {
  static constexpr std::array<std::string_view, 7> kNames = {"proxy",     "pci_driver", "firmware", "cnn_model",
                                                             "llm_model", "client_lib", "sysapi"};
  if (code < kNames.size()) return kNames[code];
  // The code travels as a signed component id in the message.
  return fail(CoreError::unknown_product_type(static_cast<std::int32_t>(code)));
}

Result<std::pair<std::string, std::string>> read_version_detail(const void* array, std::size_t index) {
  const auto* record = static_cast<const std::byte*>(array) + kVersionRecordSize * index;
  auto name = component_name(load<std::uint32_t>(record, 0));
  if (!name) return fail(std::move(name.error()));
  const auto version = load<Version4>(record, 4);
  return std::pair{std::string(*name), version_text(version)};
}

ModelCounts read_model_counts(const void* handle) noexcept {
  return ModelCounts{load_widened(handle, model_handle::kInputCount), load_widened(handle, model_handle::kOutputCount)};
}

Result<InputTensorInfo> read_input_info(const void* handle, std::uint64_t index) {
  auto located = locate_input(handle, index);
  if (!located) return fail(std::move(located.error()));
  const auto [record, params] = *located;

  InputTensorInfo info;
  load_shared_fields(info, record, kInputRecord);
  info.batch_size = load_widened(record, input_record::kBatchSize);
  info.quant = load_input_quantization(params);

  InputPreprocess& pre = info.preprocess;
  pre.aspect_resize = load_flag(params, input_parameters::kAspectResize);
  pre.mirror = load_flag(params, input_parameters::kMirror);
  pre.center_crop = load_flag(params, input_parameters::kCenterCrop);
  pre.bgr_to_rgb = load_flag(params, input_parameters::kBgrToRgb);
  // The per-channel arrays hold three values; with more channels they do not
  // describe the tensor, so the neutral defaults stand.
  const void* scale = load_pointer(params, input_parameters::kScale);
  const void* mean = load_pointer(params, input_parameters::kMean);
  if (info.nch <= 3 && scale != nullptr && mean != nullptr) {
    pre.scale = load_three_floats(scale);
    pre.mean = load_three_floats(mean);
  }
  return info;
}

Result<InputQuantization> read_input_quantization(const void* handle, std::uint64_t index) {
  auto located = locate_input(handle, index);
  if (!located) return fail(std::move(located.error()));
  return load_input_quantization(located->second);
}

Result<OutputTensorInfo> read_output_info(const void* handle, Abi abi, std::uint64_t index) {
  auto located = locate_output(handle, abi, index);
  if (!located) return fail(std::move(located.error()));
  const std::byte* record = located->record;

  OutputTensorInfo info;
  load_shared_fields(info, record, kOutputRecord);
  info.fused_parent_id = load<std::int32_t>(record, output_record::kFusedParentId);
  info.layer_fused_parent_name = load_text(record, output_record::kFusedParentName);
  info.num_classes = load_widened(record, output_record::kNumClasses);
  info.layer_output_type = located->type;
  info.max_dynamic_id = load<std::int32_t>(record, output_record::kMaxDynamicId);
  info.quant = load_output_quantization(located->quant);
  return info;
}

Result<OutputDataFields> read_output_data_fields(const void* handle, Abi abi, std::uint64_t index) {
  auto located = locate_output(handle, abi, index);
  if (!located) return fail(std::move(located.error()));
  const std::byte* record = located->record;
  return OutputDataFields{
      .nch = load_widened(record, kOutputRecord.nch),
      .height = load_widened(record, kOutputRecord.height),
      .width = load_widened(record, kOutputRecord.width),
      .bpp = load_widened(record, kOutputRecord.bpp),
      .quant = load_output_quantization(located->quant),
  };
}

Result<TensorFields> read_tensor_fields(const void* handle, Abi abi, Direction direction, std::uint64_t index) {
  const bool input = direction == Direction::Input;
  const auto* array =
      static_cast<const std::byte*>(load_pointer(handle, input ? model_handle::kInputs : model_handle::kOutputs));
  if (array == nullptr) {
    return fail(CoreError::null_pointer(input ? "model has no input tensor records"
                                              : "model has no output tensor records"));
  }
  const std::byte* record = array + (input ? kInputRecordSize : output_record_stride(abi)) * index;
  const TensorRecordOffsets& at = input ? kInputRecord : kOutputRecord;
  return TensorFields{load_widened(record, at.size), load_widened(record, at.width), load_widened(record, at.height),
                      load_widened(record, at.nch), load_widened(record, at.bpp)};
}

std::uint32_t read_request_state(const void* request) noexcept {
  return load<std::uint32_t>(request, request_record::kState);
}

ModelTiming read_timing(const void* statistics) noexcept {
  return ModelTiming{
      .run_time_us = saturating_microseconds(load<float>(statistics, statistics_record::kRunTime)),
      .input_time_us = saturating_microseconds(load<float>(statistics, statistics_record::kInputTime)),
      .output_time_us = saturating_microseconds(load<float>(statistics, statistics_record::kOutputTime)),
  };
}

Result<ModelTiming> read_request_timing(const void* request) {
  const void* statistics = load_pointer(request, request_record::kStatistics);
  if (statistics == nullptr) {
    return fail(CoreError::null_pointer("dv_infer_request.stats is null — timing data unavailable"));
  }
  return read_timing(statistics);
}

TensorIoDescriptor registered_tensor(void* registration, std::uint64_t size) noexcept {
  return TensorIoDescriptor{registration, nullptr, size, 1, 0};
}

TensorIoDescriptor mapped_tensor(void* address, std::uint64_t size) noexcept {
  return TensorIoDescriptor{address, nullptr, size, 0, 0};
}

}  // namespace tallowind::ara2::records
