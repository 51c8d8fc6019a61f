// The records' own methods and their repr() texts.
#include <charconv>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <type_traits>

#include "ara2/float_format.hpp"
#include "ara2/metadata.hpp"
#include "ara2/text.hpp"

namespace tallowind::ara2 {
namespace {

bool parse_u32_piece(std::string_view piece, std::uint32_t& out) {
  if (!piece.empty() && piece.front() == '+') piece.remove_prefix(1);
  if (piece.empty()) return false;
  for (const char c : piece) {
    if (c < '0' || c > '9') return false;
  }
  const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), out);
  return ec == std::errc() && end == piece.data() + piece.size();
}

std::string optional_text(const std::optional<std::string>& value) {
  return value ? fmt::format("Some({})", quote_escaped(*value)) : "None";
}

template <class T>
std::string optional_number(const std::optional<T>& value) {
  if (!value) return "None";
  if constexpr (std::is_floating_point_v<T>) return fmt::format("Some({})", format_f64_debug(*value));
  else return fmt::format("Some({})", *value);
}

}  // namespace

std::optional<std::string> DvmMetadata::task() const { return model ? model->model_task : std::nullopt; }

std::vector<std::string> DvmMetadata::classes() const { return dataset ? dataset->classes : std::vector<std::string>{}; }

std::optional<std::pair<std::uint32_t, std::uint32_t>> InputSpec::dimensions() const {
  if (!size) return std::nullopt;
  const std::string_view text = *size;
  const std::size_t x = text.find('x');
  if (x == std::string_view::npos || text.find('x', x + 1) != std::string_view::npos) return std::nullopt;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  if (!parse_u32_piece(text.substr(0, x), width) || !parse_u32_piece(text.substr(x + 1), height)) return std::nullopt;
  return std::pair{width, height};
}

std::string repr(const DvmMetadata& value) {
  return fmt::format("DvmMetadata(task={}, classes={}, outputs={})", optional_text(value.task()),
                     value.dataset ? value.dataset->classes.size() : 0, value.outputs.size());
}

std::string repr(const DatasetInfo& value) {
  return fmt::format("DatasetInfo(classes={}, name={})", value.classes.size(), optional_text(value.name));
}

std::string repr(const InputSpec& value) {
  return fmt::format("InputSpec(size={}, channels={})", optional_text(value.size),
                     optional_number(value.input_channels));
}

std::string repr(const ModelInfo& value) {
  return fmt::format("ModelInfo(task={}, size={})", optional_text(value.model_task), optional_text(value.model_size));
}

std::string repr(const OutputSpec& value) {
  return fmt::format("OutputSpec(name={}, type={}, shape=[{}])", optional_text(value.name),
                     optional_text(value.output_type), fmt::join(value.shape, ", "));
}

std::string repr(const DeploymentInfo& value) {
  return fmt::format("DeploymentInfo(name={}, author={})", optional_text(value.name), optional_text(value.author));
}

std::string repr(const CompilationInfo& value) {
  return fmt::format("CompilationInfo(target={}, format={})", optional_text(value.target),
                     optional_text(value.format));
}

std::string repr(const PpaMetrics& value) {
  return fmt::format("PpaMetrics(ips={}, power_mw={})", optional_number(value.ips), optional_number(value.power_mw));
}

std::string repr(const Ara2Info& value) {
  return value.qmode ? fmt::format("Ara2Info(qmode={})", *value.qmode) : std::string("Ara2Info(qmode=None)");
}

}  // namespace tallowind::ara2
