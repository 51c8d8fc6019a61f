#include "ara2/values.hpp"

#include <fmt/format.h>

#include "ara2/float_format.hpp"

namespace tallowind::ara2 {

std::string_view state_name(State state) noexcept {
  static constexpr std::string_view kNames[] = {
      "Init",           "Idle",     "Active",         "ActiveSlow", "ActiveBoosted", "ThermalInactive",
      "ThermalActiveSlow", "FailSafe", "ThermalUnknown", "Inactive",   "Fault",         "Unknown"};
  return kNames[static_cast<std::size_t>(state)];
}

std::string_view abi_name(Abi abi) noexcept { return abi == Abi::V1_1 ? "V1_1" : "V1_3"; }

std::string_view abi_version_text(Abi abi) noexcept { return abi == Abi::V1_1 ? "1.1" : "1.3"; }

std::string_view output_type_name(ModelOutputType type) noexcept {
  static constexpr std::string_view kNames[] = {"Classification", "Detection", "SemanticSegmentation", "Raw"};
  return kNames[static_cast<std::size_t>(type)];
}

State state_from_raw(std::uint32_t raw, Abi abi) noexcept {
  // 1.3 reuses raw 4 and 5 for states 1.1 does not have.
  static constexpr State kV1_1[] = {State::Init,          State::Idle,           State::Active,
                                    State::ActiveSlow,    State::ActiveBoosted,  State::ThermalInactive,
                                    State::ThermalUnknown, State::Inactive,      State::Fault};
  static constexpr State kV1_3[] = {State::Init,          State::Idle,        State::Active,
                                    State::ActiveSlow,    State::ThermalActiveSlow, State::FailSafe,
                                    State::ThermalUnknown, State::Inactive,   State::Fault};
  if (raw >= 9) return State::Unknown;
  return abi == Abi::V1_1 ? kV1_1[raw] : kV1_3[raw];
}

Result<ModelOutputType> output_type_from_raw(std::uint32_t raw) {
  if (raw > static_cast<std::uint32_t>(ModelOutputType::Raw)) return fail(CoreError::unknown_layer_output_type(raw));
  return static_cast<ModelOutputType>(raw);
}

namespace {

std::string_view bool_text(bool value) { return value ? "true" : "false"; }

std::string triple_text(const std::array<float, 3>& values) {
  return fmt::format("({}, {}, {})", format_f32_debug(values[0]), format_f32_debug(values[1]),
                     format_f32_debug(values[2]));
}

}  // namespace

std::string record_text(const ModelTiming& value) {
  return fmt::format("ModelTiming(run_time_us={}, input_time_us={}, output_time_us={})", value.run_time_us,
                     value.input_time_us, value.output_time_us);
}

std::string record_text(const DramStatistics& value) {
  return fmt::format("DramStatistics(dram_size={}, free_size={}, model_occupancy_size={})", value.dram_size,
                     value.free_size, value.model_occupancy_size);
}

std::string record_text(const InputQuantization& value) {
  return fmt::format("InputQuantization(qn={}, offset={}, is_signed={}, qmode={})", format_f32_plain(value.qn),
                     value.offset, bool_text(value.is_signed), value.qmode);
}

std::string record_text(const OutputQuantization& value) {
  return fmt::format("OutputQuantization(qn={}, offset={}, is_signed={})", format_f32_plain(value.qn),
                     value.offset, bool_text(value.is_signed));
}

std::string record_text(const InputPreprocess& value) {
  return fmt::format(
      "InputPreprocess(mean={}, scale={}, bgr_to_rgb={}, aspect_resize={}, mirror={}, center_crop={})",
      triple_text(value.mean), triple_text(value.scale), bool_text(value.bgr_to_rgb), bool_text(value.aspect_resize),
      bool_text(value.mirror), bool_text(value.center_crop));
}

std::string record_text(const InputTensorInfo& value) {
  return fmt::format("InputTensorInfo(layer_name='{}', size={}, shape=({}, {}, {}), bpp={})", value.layer_name,
                     value.size, value.nch, value.height, value.width, value.bpp);
}

std::string record_text(const OutputTensorInfo& value) {
  return fmt::format("OutputTensorInfo(layer_name='{}', size={}, shape=({}, {}, {}), bpp={}, type={})",
                     value.layer_name, value.size, value.nch, value.height, value.width, value.bpp,
                     output_type_name(value.layer_output_type));
}

}  // namespace tallowind::ara2
