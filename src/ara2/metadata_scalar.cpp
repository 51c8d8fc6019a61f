#include "ara2/metadata_scalar.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fmt/format.h>
#include <limits>

#include "ara2/float_format.hpp"
#include "ara2/text.hpp"

namespace tallowind::ara2::metadata_reading {
namespace {

/// For a literal outside the double range: whether it is too small (its
/// leading digit's power of ten is negative) rather than too large.
bool below_double_range(std::string_view literal) noexcept {
  const std::size_t e = literal.find_first_of("eE");
  const std::string_view mantissa = literal.substr(0, e);
  std::int64_t exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view text = literal.substr(e + 1);
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
    // Saturates: that far out only the sign matters.
    for (const char c : text) exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), std::int64_t{1} << 40);
    if (negative) exponent = -exponent;
  }
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_of("123456789");
  const auto lead = first < point ? static_cast<std::int64_t>(point - first - 1)
                                  : -static_cast<std::int64_t>(first - point);
  return lead + exponent < 0;
}

}  // namespace

std::string unexpected_text(const ScalarValue& v) {
  switch (v.kind) {
    case Scalar::Null: return "null";
    case Scalar::Number: return fmt::format("number `{}`", v.text);
    case Scalar::Bool: return fmt::format("boolean `{}`", v.boolean ? "true" : "false");
    case Scalar::Unsigned: return fmt::format("integer `{}`", v.unsigned_value);
    case Scalar::Signed: return fmt::format("integer `{}`", v.signed_value);
    case Scalar::Float: return fmt::format("floating point `{}`", format_f64_debug(v.float_value));
    case Scalar::String: return fmt::format("string {}", quote_escaped(v.text));
  }
  return "value";
}

NumberExtent number_extent(std::string_view json, std::size_t at) noexcept {
  const auto digit = [&](std::size_t i) { return i < json.size() && json[i] >= '0' && json[i] <= '9'; };
  const auto digits = [&](std::size_t i) {
    while (digit(i)) ++i;
    return i;
  };
  std::size_t i = at;
  if (i < json.size() && json[i] == '-') ++i;
  if (!digit(i)) return {i, false};
  i = json[i] == '0' ? i + 1 : digits(i);
  if (i < json.size() && json[i] == '.') {
    if (!digit(++i)) return {i, false};
    i = digits(i);
  }
  if (i < json.size() && (json[i] == 'e' || json[i] == 'E')) {
    ++i;
    if (i < json.size() && (json[i] == '+' || json[i] == '-')) ++i;
    if (!digit(i)) return {i, false};
    i = digits(i);
  }
  return {i, true};
}

bool convert_number(ScalarValue& v) noexcept {
  const std::string_view text = v.text;
  const char* const end = text.data() + text.size();
  if (text.find_first_of(".eE") == std::string_view::npos) {
    if (text.front() == '-') {
      std::int64_t value = 0;
      const auto [ptr, ec] = std::from_chars(text.data(), end, value);
      if (ec == std::errc() && ptr == end && value != 0) {
        v.kind = Scalar::Signed;
        v.signed_value = value;
        return true;
      }
    } else {
      std::uint64_t value = 0;
      const auto [ptr, ec] = std::from_chars(text.data(), end, value);
      if (ec == std::errc() && ptr == end) {
        v.kind = Scalar::Unsigned;
        v.unsigned_value = value;
        return true;
      }
    }
  }
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec == std::errc::result_out_of_range) {
    if (!below_double_range(text)) return false;
    value = text.front() == '-' ? -0.0 : 0.0;
  }
  v.kind = Scalar::Float;
  v.float_value = value;
  return true;
}

double as_double(const ScalarValue& v) noexcept {
  return v.kind == Scalar::Float    ? v.float_value
         : v.kind == Scalar::Signed ? static_cast<double>(v.signed_value)
                                    : static_cast<double>(v.unsigned_value);
}

float nearest_f32(const ScalarValue& v) noexcept {
  float value = 0.0f;
  const auto [ptr, ec] = std::from_chars(v.text.data(), v.text.data() + v.text.size(), value);
  if (ec != std::errc::result_out_of_range) return value;
  // Beyond the float range but within the double's (checked before).
  const double magnitude = v.kind == Scalar::Float ? std::fabs(v.float_value) : 2.0;
  return std::copysign(magnitude < 1.0 ? 0.0f : std::numeric_limits<float>::infinity(),
                       v.text.front() == '-' ? -1.0f : 1.0f);
}

std::string mask_numbers(std::string_view json) {
  std::string masked(json);
  bool in_string = false;
  for (std::size_t i = 0; i < masked.size();) {
    const char c = masked[i];
    if (in_string) {
      if (c == '"') in_string = false;
      i += c == '\\' ? 2 : 1;
      continue;
    }
    if (c == '"') in_string = true;
    if (c != '-' && (c < '0' || c > '9')) {
      ++i;
      continue;
    }
    const auto [end, complete] = number_extent(json, i);
    if (!complete) {
      ++i;
      continue;
    }
    if (end - i >= 3) {
      masked[i] = '0';
      masked[i + 1] = 'e';
      std::fill(masked.begin() + static_cast<std::ptrdiff_t>(i + 2), masked.begin() + static_cast<std::ptrdiff_t>(end),
                '0');
    }
    i = end;
  }
  return masked;
}

}  // namespace tallowind::ara2::metadata_reading
