// Generation-neutral values the core hands to the Python layer: enumerations
// and the value records read out of the client library's records.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "ara2/core_error.hpp"

namespace tallowind::ara2 {

/// The DVAPI generation of an opened client library (one byte, as stored).
enum class Abi : std::uint8_t { V1_1 = 0, V1_3 = 1 };

/// Endpoint states of both generations, in declaration order (int() is the position).
enum class State : std::uint8_t {
  Init,
  Idle,
  Active,
  ActiveSlow,
  ActiveBoosted,
  ThermalInactive,
  ThermalActiveSlow,
  FailSafe,
  ThermalUnknown,
  Inactive,
  Fault,
  Unknown,
};

enum class ModelOutputType : std::uint8_t { Classification, Detection, SemanticSegmentation, Raw };

/// Member names as Python shows them after the class name ("Idle", "V1_3").
std::string_view state_name(State state) noexcept;
std::string_view abi_name(Abi abi) noexcept;
std::string_view output_type_name(ModelOutputType type) noexcept;
/// The DVAPI version an Abi stands for: "1.1" or "1.3".
std::string_view abi_version_text(Abi abi) noexcept;

/// Converts the raw state written by dv_endpoint_check_status; never fails.
State state_from_raw(std::uint32_t raw, Abi abi) noexcept;

/// Raw 0 to 3 select a member; anything else is UnknownLayerOutputType.
Result<ModelOutputType> output_type_from_raw(std::uint32_t raw);

enum class Direction : std::uint8_t { Input, Output };

/// The sizing fields of one tensor record, sign-extended. Read without
/// building a description, so they are available whatever the record's
/// layer output type says.
struct TensorFields {
  std::uint64_t size = 0, width = 0, height = 0, nch = 0, bpp = 0;
};

struct ModelTiming {
  std::uint64_t run_time_us = 0;
  std::uint64_t input_time_us = 0;
  std::uint64_t output_time_us = 0;
};

struct DramStatistics {
  std::uint64_t dram_size = 0;
  std::uint64_t dram_occupancy_size = 0;
  std::uint64_t free_size = 0;
  std::uint64_t reserved_occupancy_size = 0;
  std::uint64_t model_occupancy_size = 0;
  std::uint64_t tensor_occupancy_size = 0;
};

struct InputQuantization {
  float qn = 0.0f;
  std::int32_t offset = 0;
  bool is_signed = false;
  std::int32_t qmode = 0;
};

struct OutputQuantization {
  float qn = 0.0f;
  std::int32_t offset = 0;
  bool is_signed = false;
};

struct InputPreprocess {
  std::array<float, 3> mean{0.0f, 0.0f, 0.0f};
  std::array<float, 3> scale{1.0f, 1.0f, 1.0f};
  bool bgr_to_rgb = false;
  bool aspect_resize = false;
  bool mirror = false;
  bool center_crop = false;
};

struct InputTensorInfo {
  std::int32_t layer_id = 0;
  std::int32_t blob_id = 0;
  std::string layer_name, blob_name, layer_type, layout;
  std::uint64_t size = 0, width = 0, height = 0, nch = 0, bpp = 0, batch_size = 0;
  InputQuantization quant;
  InputPreprocess preprocess;
};

struct OutputTensorInfo {
  std::int32_t layer_id = 0;
  std::int32_t blob_id = 0;
  std::int32_t fused_parent_id = 0;
  std::string layer_name, blob_name, layer_fused_parent_name, layer_type, layout;
  std::uint64_t size = 0, width = 0, height = 0, nch = 0, bpp = 0, num_classes = 0;
  ModelOutputType layer_output_type = ModelOutputType::Classification;
  std::int32_t max_dynamic_id = 0;
  OutputQuantization quant;
};

/// The repr() text of each record.
std::string record_text(const ModelTiming& value);
std::string record_text(const DramStatistics& value);
std::string record_text(const InputQuantization& value);
std::string record_text(const OutputQuantization& value);
std::string record_text(const InputPreprocess& value);
std::string record_text(const InputTensorInfo& value);
std::string record_text(const OutputTensorInfo& value);

}  // namespace tallowind::ara2
