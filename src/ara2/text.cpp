#include "ara2/text.hpp"

#include <cstdint>
#include <fmt/format.h>

#include "base/utf8.hpp"

namespace tallowind::ara2 {
namespace {

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

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const auto sequence = tallowind::base::first_utf8_sequence(bytes);
    if (sequence.valid) out.append(bytes.substr(0, sequence.length));
    else out += "\xEF\xBF\xBD";
    bytes.remove_prefix(sequence.length);
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

}  // namespace tallowind::ara2
