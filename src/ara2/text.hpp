// Text helpers shared by every subsystem: UTF-8 checks and lossy decoding,
// Unicode white-space trimming and the quoted form used in messages and reprs.
#pragma once

#include <string>
#include <string_view>

#include "base/utf8.hpp"

namespace tallowind::ara2 {

/// Strict UTF-8, as every room checks it.
using tallowind::base::is_valid_utf8;

/// Decodes bytes as UTF-8, replacing each maximal invalid subsequence by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

/// Copies a NUL-terminated library string (null gives "") with utf8_lossy.
std::string copy_library_text(const char* text);

/// Trims characters with the Unicode White_Space property from both ends of
/// valid UTF-8 text.
std::string_view trim_unicode_whitespace(std::string_view text) noexcept;

/// The text in double quotes with backslash escapes for the quote, the
/// backslash and control characters: "a\"b", "\n", "\u{1b}".
std::string quote_escaped(std::string_view text);

}  // namespace tallowind::ara2
