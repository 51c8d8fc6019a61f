#include <gtest/gtest.h>

#include <string_view>
#include <utility>

#include "base/utf8.hpp"

using tallowind::base::first_utf8_sequence;
using tallowind::base::is_valid_utf8;

TEST(Utf8, AcceptsOnlyTheStrictForm) {
  const std::pair<std::string_view, bool> cases[] = {
      {"", true},
      {"plain", true},
      {"\xC2\x80", true},          // the first two-byte character
      {"\xDF\xBF", true},
      {"\xE0\xA0\x80", true},      // the first three-byte character
      {"\xED\x9F\xBF", true},      // just below the surrogates
      {"\xEE\x80\x80", true},      // just above them
      {"\xF0\x90\x80\x80", true},  // the first four-byte character
      {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
      {"\xC0\x80", false},         // overlong NUL
      {"\xC1\xBF", false},
      {"\xE0\x9F\xBF", false},      // overlong
      {"\xED\xA0\x80", false},      // a surrogate
      {"\xF0\x8F\xBF\xBF", false},  // overlong
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\x80", false},              // a lone continuation byte
      {"a\xC3", false},             // cut short
      {"\xE2\x82" "a", false},
      {"\xFF", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(is_valid_utf8(text), valid) << testing::PrintToString(text);
}

TEST(Utf8, AnIllFormedSequenceIsItsMaximalPrefix) {
  struct Case {
    std::string_view text;
    std::size_t length;
    bool valid;
  };
  const Case cases[] = {
      {"a\xC3", 1, true},
      {"\xC3\xA9z", 2, true},
      {"\xF4\x8F\xBF\xBFz", 4, true},
      {"\xE2\x82" "a", 2, false},      // a three-byte start that breaks off after two
      {"\xF0\x90\x80", 3, false},      // cut short at the end of the text
      {"\xED\xA0\x80", 1, false},      // a surrogate's second byte is already wrong
      {"\x80\x80", 1, false},
      {"\xC3" "a", 1, false},
  };
  for (const auto& c : cases) {
    const auto sequence = first_utf8_sequence(c.text);
    EXPECT_EQ(std::pair(sequence.length, sequence.valid), std::pair(c.length, c.valid))
        << testing::PrintToString(c.text);
  }
}
