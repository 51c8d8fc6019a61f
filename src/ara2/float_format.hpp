// Text forms of floating-point values used in reprs: always the shortest digit
// string that reads back as the same value.
#pragma once

#include <string>

namespace tallowind::ara2 {

/// Positional, no exponent, no fraction when integral: 1, 0.5, 0.0000001,
/// -2.25, NaN, inf, -inf.
std::string format_f32_plain(float value);

/// Always shows a fraction in positional form (1.0, 0.0); switches to exponent
/// form below 1e-4 (zero excepted) and from 1e16 on: 1e-5, 2.5e-5, 1e16.
std::string format_f32_debug(float value);

/// The same form for double values.
std::string format_f64_debug(double value);

}  // namespace tallowind::ara2
