// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF),
// the one definition every room uses.
#pragma once

#include <cstddef>
#include <string_view>

namespace tallowind::base {

/// The first sequence of non-empty `bytes`: a well-formed character, or the
/// maximal ill-formed prefix (what one replacement character stands for,
/// at least one byte).
struct Utf8Sequence {
  std::size_t length;
  bool valid;
};

Utf8Sequence first_utf8_sequence(std::string_view bytes) noexcept;

bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace tallowind::base
