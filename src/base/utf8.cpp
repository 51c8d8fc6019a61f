#include "base/utf8.hpp"

#include <cstdint>

namespace tallowind::base {

Utf8Sequence first_utf8_sequence(std::string_view bytes) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return {1, true};
  std::size_t trailing;
  std::uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2;
    if (lead == 0xE0) low = 0xA0;  // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trailing = 3;
    if (lead == 0xF0) low = 0x90;  // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i <= trailing; ++i) {
    if (i >= bytes.size()) return {i, false};
    const std::uint8_t b = byte(i);
    const bool ok = i == 1 ? b >= low && b <= high : b >= 0x80 && b <= 0xBF;
    if (!ok) return {i, false};
  }
  return {trailing + 1, true};
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const Utf8Sequence sequence = first_utf8_sequence(bytes);
    if (!sequence.valid) return false;
    bytes.remove_prefix(sequence.length);
  }
  return true;
}

}  // namespace tallowind::base
