// A scalar JSON value as the metadata reader sees it, and how numbers are
// read: from their text, only where a member takes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tallowind::ara2::metadata_reading {

// A number arrives as its text (Number) and becomes Unsigned, Signed or Float
// only where it is read into something: an unknown key's value is skipped
// without conversion, whatever it holds.
enum class Scalar : std::uint8_t { Null, Bool, Number, Unsigned, Signed, Float, String };

struct ScalarValue {
  explicit ScalarValue(Scalar k) noexcept : kind(k) {}
  Scalar kind;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;
  std::int64_t signed_value = 0;  // only negative values arrive as Signed
  double float_value = 0.0;
  std::string_view text;  // a string's contents, or a number's literal

  bool is_integer() const noexcept { return kind == Scalar::Unsigned || kind == Scalar::Signed; }
  bool is_number() const noexcept { return is_integer() || kind == Scalar::Float; }
};

/// The value as messages name it: "null", "integer `5`", "string \"a\"" ...
std::string unexpected_text(const ScalarValue& v);

// Numbers are converted from their text with std::from_chars (correctly
// rounded). As a serde-style reader does: a literal without fraction or
// exponent is an integer when it fits 64 bits (u64, or i64 when negative; "-0"
// is the float -0.0), anything else a double; a finite literal beyond the
// double range is an error, one below it (zero with any exponent included) is
// zero.

/// Where the JSON number starting at `at` ends, and whether it is complete:
/// a sign without digits, "1." or "1e" break off where a digit is missing.
struct NumberExtent {
  std::size_t end;
  bool complete;
};
NumberExtent number_extent(std::string_view json, std::size_t at) noexcept;

/// Converts a Number scalar in place; false when the literal is beyond the
/// double range.
bool convert_number(ScalarValue& v) noexcept;

/// A converted number as a double.
double as_double(const ScalarValue& v) noexcept;

/// The 32-bit float nearest to a converted number's literal (rounded once,
/// not through the double).
float nearest_f32(const ScalarValue& v) noexcept;

/// RapidJSON checks the range of numbers itself, before its handler sees
/// them: it refuses "0e400" and integers of 310 digits, which must read as
/// zero or be skipped, and no flag turns that off. So it parses a copy in
/// which every complete number of three characters or more is replaced by a
/// harmless one of the same length ("0e0..."); the handler takes each
/// number's literal from the original at the same offsets. Shorter numbers
/// are always in range and stay as they are.
std::string mask_numbers(std::string_view json);

}  // namespace tallowind::ara2::metadata_reading
