// Which JSON key fills which member of each metadata record. A record lists
// its fields in declaration order, which is also the order of its positional
// (array) form; what a value must be to fill a field follows from the
// member's type (metadata_reader.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <utility>

#include "ara2/metadata.hpp"

namespace tallowind::ara2::metadata_reading {

template <class Record, class Member>
struct Field {
  std::string_view key;
  Member Record::*member;
  bool required = false;
};

template <class Record, class Member>
constexpr Field<Record, Member> field(std::string_view key, Member Record::*member) {
  return {key, member};
}

template <class Record, class Member>
constexpr Field<Record, Member> required_field(std::string_view key, Member Record::*member) {
  return {key, member, true};
}

/// Each record's name (as messages show it) and fields.
template <class Record>
struct Schema;

template <>
struct Schema<DvmMetadata> {
  static constexpr std::string_view kName = "DvmMetadata";
  static constexpr auto kFields = std::tuple{
      field("dataset", &DvmMetadata::dataset), field("input", &DvmMetadata::input),
      field("model", &DvmMetadata::model), field("deployment", &DvmMetadata::deployment),
      field("compilation", &DvmMetadata::compilation), field("decoder_version", &DvmMetadata::decoder_version),
      field("nms", &DvmMetadata::nms), field("outputs", &DvmMetadata::outputs), field("ara2", &DvmMetadata::ara2)};
};

template <>
struct Schema<DatasetInfo> {
  static constexpr std::string_view kName = "DatasetInfo";
  static constexpr auto kFields = std::tuple{
      field("classes", &DatasetInfo::classes), field("id", &DatasetInfo::id), field("name", &DatasetInfo::name)};
};

template <>
struct Schema<InputSpec> {
  static constexpr std::string_view kName = "InputSpec";
  static constexpr auto kFields = std::tuple{
      field("size", &InputSpec::size), field("input_channels", &InputSpec::input_channels),
      field("output_channels", &InputSpec::output_channels), field("cameraadaptor", &InputSpec::cameraadaptor)};
};

template <>
struct Schema<ModelInfo> {
  static constexpr std::string_view kName = "ModelInfo";
  static constexpr auto kFields = std::tuple{
      field("model_task", &ModelInfo::model_task), field("model_size", &ModelInfo::model_size),
      field("model_version", &ModelInfo::model_version), field("detection", &ModelInfo::detection),
      field("segmentation", &ModelInfo::segmentation)};
};

template <>
struct Schema<OutputSpec> {
  static constexpr std::string_view kName = "OutputSpec";
  static constexpr auto kFields = std::tuple{
      field("index", &OutputSpec::index), field("name", &OutputSpec::name), field("type", &OutputSpec::output_type),
      field("decoder", &OutputSpec::decoder), field("decode", &OutputSpec::decode), field("dtype", &OutputSpec::dtype),
      field("shape", &OutputSpec::shape), field("dshape", &OutputSpec::dshape),
      field("normalized", &OutputSpec::normalized), field("encoding", &OutputSpec::encoding),
      field("score_format", &OutputSpec::score_format), field("quantization", &OutputSpec::quantization)};
};

template <>
struct Schema<QuantizationSpec> {
  static constexpr std::string_view kName = "QuantizationSpec";
  static constexpr auto kFields = std::tuple{
      required_field("scale", &QuantizationSpec::scale), field("zero_point", &QuantizationSpec::zero_point),
      field("dtype", &QuantizationSpec::dtype)};
};

template <>
struct Schema<DeploymentInfo> {
  static constexpr std::string_view kName = "DeploymentInfo";
  static constexpr auto kFields = std::tuple{
      field("model_name", &DeploymentInfo::model_name), field("name", &DeploymentInfo::name),
      field("author", &DeploymentInfo::author), field("description", &DeploymentInfo::description)};
};

template <>
struct Schema<CompilationInfo> {
  static constexpr std::string_view kName = "CompilationInfo";
  static constexpr auto kFields = std::tuple{
      field("target", &CompilationInfo::target), field("format", &CompilationInfo::format),
      field("ppa", &CompilationInfo::ppa)};
};

template <>
struct Schema<PpaMetrics> {
  static constexpr std::string_view kName = "PpaMetrics";
  static constexpr auto kFields = std::tuple{
      field("ips", &PpaMetrics::ips), field("power_mw", &PpaMetrics::power_mw), field("cycles", &PpaMetrics::cycles),
      field("ddr_bw_mbps", &PpaMetrics::ddr_bw_mbps)};
};

template <>
struct Schema<Ara2Info> {
  static constexpr std::string_view kName = "Ara2Info";
  static constexpr auto kFields = std::tuple{field("qmode", &Ara2Info::qmode)};
};

/// A type with a schema: read from a JSON object (or its positional array).
template <class T>
concept Record = requires { Schema<T>::kFields; };

template <Record R>
inline constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(Schema<R>::kFields)>;

template <Record R>
inline constexpr auto kKeys = std::apply([](const auto&... f) { return std::array{f.key...}; }, Schema<R>::kFields);

template <Record R>
inline constexpr auto kRequired =
    std::apply([](const auto&... f) { return std::array{f.required...}; }, Schema<R>::kFields);

/// Calls `visit(field)` with R's field number `index` (below kFieldCount<R>)
/// and returns its result.
template <Record R, class Visit>
bool visit_field(std::size_t index, Visit&& visit) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    bool result = false;
    (void)((I == index && (result = visit(std::get<I>(Schema<R>::kFields)), true)) || ...);
    return result;
  }(std::make_index_sequence<kFieldCount<R>>{});
}

}  // namespace tallowind::ara2::metadata_reading
