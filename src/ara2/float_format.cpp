#include "ara2/float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace tallowind::ara2 {
namespace {

/// Shortest round-trip digits of |value| > 0 with the decimal exponent of
/// the first digit: 0.00125 gives ("125", -3).
struct Digits {
  std::string digits;
  int exponent = 0;
};

template <class T>
Digits shortest_digits(T magnitude) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const auto e = text.find('e');
  Digits out;
  for (char c : text.substr(0, e)) {
    if (c != '.') out.digits += c;
  }
  out.exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  return out;
}

std::string positional(const Digits& d, bool always_fraction) {
  std::string integral, fraction;
  if (d.exponent >= 0) {
    const auto int_len = static_cast<std::size_t>(d.exponent) + 1;
    if (d.digits.size() <= int_len) {
      integral = d.digits + std::string(int_len - d.digits.size(), '0');
    } else {
      integral = d.digits.substr(0, int_len);
      fraction = d.digits.substr(int_len);
    }
  } else {
    integral = "0";
    fraction = std::string(static_cast<std::size_t>(-d.exponent - 1), '0') + d.digits;
  }
  if (fraction.empty()) {
    return always_fraction ? integral + ".0" : integral;
  }
  return integral + "." + fraction;
}

std::string exponential(const Digits& d) {
  std::string out(1, d.digits[0]);
  if (d.digits.size() > 1) {
    out += '.';
    out += d.digits.substr(1);
  }
  out += 'e';
  out += std::to_string(d.exponent);
  return out;
}

/// NaN and the infinities, identical in both forms; nullptr for finite values.
template <class T>
const char* special(T value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  return nullptr;
}

template <class T>
std::string format_plain(T value) {
  if (const char* text = special(value)) return text;
  const std::string sign = std::signbit(value) ? "-" : "";
  if (value == 0) return sign + "0";
  return sign + positional(shortest_digits(std::fabs(value)), false);
}

template <class T>
std::string format_debug(T value) {
  if (const char* text = special(value)) return text;
  const std::string sign = std::signbit(value) ? "-" : "";
  if (value == 0) return sign + "0.0";
  const T magnitude = std::fabs(value);
  const Digits digits = shortest_digits(magnitude);
  // Thresholds compared in the value's own type, so 1e-4f itself stays positional.
  if (magnitude < static_cast<T>(1e-4) || magnitude >= static_cast<T>(1e16)) return sign + exponential(digits);
  return sign + positional(digits, true);
}

}  // namespace

std::string format_f32_plain(float value) { return format_plain(value); }
std::string format_f32_debug(float value) { return format_debug(value); }
std::string format_f64_debug(double value) { return format_debug(value); }

}  // namespace tallowind::ara2
