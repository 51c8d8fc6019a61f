#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <string>

#include "ara2/float_format.hpp"

using tallowind::ara2::format_f32_debug;
using tallowind::ara2::format_f32_plain;
using tallowind::ara2::format_f64_debug;

namespace {

struct F32Case {
  float value;
  const char* plain;
  const char* debug;
};

const F32Case f32_cases[] = {
    {1.0f, "1", "1.0"},
    {0.0f, "0", "0.0"},
    {-0.0f, "-0", "-0.0"},
    {0.5f, "0.5", "0.5"},
    {-2.25f, "-2.25", "-2.25"},
    {0.1f, "0.1", "0.1"},
    {1.0f / 3.0f, "0.33333334", "0.33333334"},
    {0.007843138f, "0.007843138", "0.007843138"},
    {123456.0f, "123456", "123456.0"},
    {16777216.0f, "16777216", "16777216.0"},
    {1e-7f, "0.0000001", "1e-7"},
    {1e-5f, "0.00001", "1e-5"},
    {2.5e-5f, "0.000025", "2.5e-5"},
    {-2.5e-5f, "-0.000025", "-2.5e-5"},
    // 1e-4 itself is positional; the next float below it is not.
    {1e-4f, "0.0001", "0.0001"},
    {std::nextafter(1e-4f, 0.0f), "0.00009999999", "9.999999e-5"},
    {1e15f, "1000000000000000", "1000000000000000.0"},
    // 1e16 is where the exponent form starts again.
    {1e16f, "10000000000000000", "1e16"},
    {std::nextafter(1e16f, 0.0f), "9999999000000000", "9999999000000000.0"},
    {1.5e17f, "150000000000000000", "1.5e17"},
    {std::numeric_limits<float>::max(), "340282350000000000000000000000000000000", "3.4028235e38"},
    {std::numeric_limits<float>::denorm_min(),
     "0.000000000000000000000000000000000000000000001", "1e-45"},
    {std::numeric_limits<float>::infinity(), "inf", "inf"},
    {-std::numeric_limits<float>::infinity(), "-inf", "-inf"},
    {std::numeric_limits<float>::quiet_NaN(), "NaN", "NaN"},
};

}  // namespace

TEST(FloatFormat, BothFormsOfSingles) {
  for (const auto& c : f32_cases) {
    EXPECT_EQ(format_f32_plain(c.value), c.plain) << c.debug;
    EXPECT_EQ(format_f32_debug(c.value), c.debug) << c.plain;
  }
}

TEST(FloatFormat, PlainFormReadsBackAsTheSameSingle) {
  // Walk a spread of bit patterns; every finite value must round-trip and never use an exponent.
  for (std::uint32_t bits = 0x00000001u; bits < 0x7f800000u; bits += 0x00123457u) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    const std::string text = format_f32_plain(value);
    ASSERT_EQ(text.find('e'), std::string::npos) << text;
    EXPECT_EQ(std::strtof(text.c_str(), nullptr), value) << text;
    const std::string debug = format_f32_debug(value);
    EXPECT_EQ(std::strtof(debug.c_str(), nullptr), value) << debug;
    EXPECT_TRUE(debug.find('.') != std::string::npos || debug.find('e') != std::string::npos) << debug;
  }
}

TEST(FloatFormat, DebugFormOfDoubles) {
  const std::pair<double, const char*> cases[] = {
      {512.0, "512.0"},      {1e-5, "1e-5"},  {0.0001, "0.0001"}, {1e16, "1e16"},
      {0.1, "0.1"},          {-3.5, "-3.5"},  {0.0, "0.0"},       {1.0 / 3.0, "0.3333333333333333"},
      {9999999999999998.0, "9999999999999998.0"}, {1.25e-300, "1.25e-300"},
      {std::numeric_limits<double>::infinity(), "inf"}, {std::nan(""), "NaN"},
  };
  for (auto [value, text] : cases) EXPECT_EQ(format_f64_debug(value), text);
}
