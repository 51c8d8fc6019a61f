#include "ara2/text.hpp"

#include <cstdint>
#include <fmt/format.h>

namespace ara2 {
namespace {

/// Length of the valid UTF-8 sequence at the start of `s`, or 0 when the
/// first byte starts no valid sequence; `consumed` is the length of the
/// maximal ill-formed prefix in that case (at least 1).
std::size_t valid_sequence(std::string_view s, std::size_t& consumed) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t b0 = byte(0);
  consumed = 1;
  if (b0 < 0x80) return 1;
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i <= need; ++i) {
    if (i >= s.size()) return 0;
    const std::uint8_t b = byte(i);
    const bool ok = (i == 1) ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return 0;
    consumed = i + 1;
  }
  return need + 1;
}

char32_t decode_at(std::string_view s, std::size_t& i) noexcept {
  const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t b0 = b(i);
  char32_t c;
  std::size_t n;
  if (b0 < 0x80) { c = b0; n = 1; }
  else if (b0 < 0xE0) { c = b0 & 0x1F; n = 2; }
  else if (b0 < 0xF0) { c = b0 & 0x0F; n = 3; }
  else { c = b0 & 0x07; n = 4; }
  for (std::size_t k = 1; k < n && i + k < s.size(); ++k) c = (c << 6) | (b(i + k) & 0x3F);
  i += n;
  return c;
}

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t consumed;
    const std::size_t n = valid_sequence(bytes.substr(i), consumed);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t consumed;
    const std::size_t n = valid_sequence(bytes.substr(i), consumed);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += consumed;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string copy_library_text(const char* text) { return text ? utf8_lossy(text) : std::string(); }

std::string_view trim_unicode_whitespace(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!is_white_space(decode_at(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t probe = start;
    if (!is_white_space(decode_at(text, probe))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string quote_escaped(std::string_view text) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    const char32_t c = decode_at(text, i);
    switch (c) {
      case U'\0': out += "\\0"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\\': out += "\\\\"; break;
      case U'"': out += "\\\""; break;
      default:
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
          out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
        } else {
          out.append(text.substr(start, i - start));
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace ara2
