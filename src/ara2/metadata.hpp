// The metadata document a model file carries ("tallowind.json") and the
// records read from it. The reader is strict about types and keys it knows
// and skips every key it does not.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ara2/core_error.hpp"

namespace tallowind::ara2 {

struct DatasetInfo {
  std::vector<std::string> classes;
  std::optional<std::string> id;
  std::optional<std::string> name;

  bool operator==(const DatasetInfo&) const = default;
};

struct InputSpec {
  std::optional<std::string> size;
  std::optional<std::uint32_t> input_channels;
  std::optional<std::uint32_t> output_channels;
  std::optional<std::string> cameraadaptor;

  /// "640x480" as (640, 480); nullopt for anything else.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> dimensions() const;

  bool operator==(const InputSpec&) const = default;
};

struct ModelInfo {
  std::optional<std::string> model_task;
  std::optional<std::string> model_size;
  std::optional<std::string> model_version;
  bool detection = false;
  bool segmentation = false;

  bool operator==(const ModelInfo&) const = default;
};

struct QuantizationSpec {
  float scale = 0.0f;
  std::int32_t zero_point = 0;
  std::optional<std::string> dtype;

  bool operator==(const QuantizationSpec&) const = default;
};

struct DShapeItem {
  std::string name;
  std::uint64_t extent = 0;
  bool operator==(const DShapeItem&) const = default;
};

struct OutputSpec {
  std::optional<std::uint32_t> index;
  std::optional<std::string> name;
  std::optional<std::string> output_type;
  std::optional<std::string> decoder;
  bool decode = false;
  std::optional<std::string> dtype;
  std::vector<std::int64_t> shape;
  std::vector<DShapeItem> dshape;
  std::optional<bool> normalized;
  std::optional<std::string> encoding;
  std::optional<std::string> score_format;
  std::optional<QuantizationSpec> quantization;

  bool operator==(const OutputSpec&) const = default;
};

struct DeploymentInfo {
  std::optional<std::string> model_name;
  std::optional<std::string> name;
  std::optional<std::string> author;
  std::optional<std::string> description;

  bool operator==(const DeploymentInfo&) const = default;
};

struct PpaMetrics {
  std::optional<double> ips;
  std::optional<double> power_mw;
  std::optional<std::uint64_t> cycles;
  std::optional<double> ddr_bw_mbps;

  bool operator==(const PpaMetrics&) const = default;
};

struct CompilationInfo {
  std::optional<std::string> target;
  std::optional<std::string> format;
  std::optional<PpaMetrics> ppa;

  bool operator==(const CompilationInfo&) const = default;
};

struct Ara2Info {
  std::optional<std::int32_t> qmode;

  bool operator==(const Ara2Info&) const = default;
};

struct DvmMetadata {
  std::optional<DatasetInfo> dataset;
  std::optional<InputSpec> input;
  std::optional<ModelInfo> model;
  std::optional<DeploymentInfo> deployment;
  std::optional<CompilationInfo> compilation;
  std::optional<std::string> decoder_version;
  std::optional<std::string> nms;
  std::vector<OutputSpec> outputs;
  std::optional<Ara2Info> ara2;

  /// The model section's task.
  std::optional<std::string> task() const;
  /// The dataset section's classes.
  std::vector<std::string> classes() const;

  bool operator==(const DvmMetadata&) const = default;
};

/// Nesting deeper than this is refused rather than followed.
inline constexpr std::size_t kMaxMetadataDepth = 128;

/// A few bytes of JSON ("{}," or "\"\",") become hundreds of bytes of records;
/// this bounds what one document may build.
inline constexpr std::size_t kMaxMetadataRecordBytes = std::size_t{64} << 20;

/// Reads one metadata document. Failures are Json errors whose text ends
/// with " at line L column C".
Result<DvmMetadata> parse_metadata(std::string_view json);

/// Reads a model file's metadata; nullopt when it carries none.
Result<std::optional<DvmMetadata>> dvm_read_metadata(std::string_view path);

std::string repr(const DvmMetadata& value);
std::string repr(const DatasetInfo& value);
std::string repr(const InputSpec& value);
std::string repr(const ModelInfo& value);
std::string repr(const OutputSpec& value);
std::string repr(const DeploymentInfo& value);
std::string repr(const CompilationInfo& value);
std::string repr(const PpaMetrics& value);
std::string repr(const Ara2Info& value);

}  // namespace tallowind::ara2
