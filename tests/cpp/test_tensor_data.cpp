#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <limits>
#include <optional>
#include <set>
#include <random>
#include <string>
#include <vector>

#include "ara2/tensor_data.hpp"

using tallowind::ara2::ElementType;

namespace {

struct TypeRow {
  std::uint64_t bpp;
  bool is_signed;
  std::optional<ElementType> output;
  std::optional<ElementType> dequantize;
};

class ElementTypeChoice : public testing::TestWithParam<TypeRow> {};

TEST_P(ElementTypeChoice, ByBytesPerElementAndSign) {
  const TypeRow& row = GetParam();
  EXPECT_EQ(tallowind::ara2::output_element_type(row.bpp, row.is_signed), row.output);
  EXPECT_EQ(tallowind::ara2::dequantize_element_type(row.bpp, row.is_signed), row.dequantize);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ElementTypeChoice,
    testing::Values(TypeRow{1, true, ElementType::Int8, ElementType::Int8},
                    TypeRow{1, false, ElementType::UInt8, ElementType::UInt8},
                    TypeRow{2, true, ElementType::Int16, ElementType::Int16},
                    TypeRow{2, false, ElementType::UInt16, ElementType::UInt16},
                    // float32 whatever the sign, and never dequantised
                    TypeRow{4, true, ElementType::Float32, std::nullopt},
                    TypeRow{4, false, ElementType::Float32, std::nullopt},
                    TypeRow{0, false, std::nullopt, std::nullopt}, TypeRow{3, true, std::nullopt, std::nullopt},
                    TypeRow{8, false, std::nullopt, std::nullopt},
                    // a bpp of -1 sign-extended must not alias a valid width
                    TypeRow{std::numeric_limits<std::uint64_t>::max(), false, std::nullopt, std::nullopt},
                    TypeRow{(1ull << 32) + 1, false, std::nullopt, std::nullopt}));

TEST(ElementCount, TrailingBytesAreIgnored) {
  EXPECT_EQ(tallowind::ara2::element_count(1001, ElementType::UInt16), 500u);
  EXPECT_EQ(tallowind::ara2::element_count(7, ElementType::Float32), 1u);
  EXPECT_EQ(tallowind::ara2::element_count(3, ElementType::Float32), 0u);
  EXPECT_EQ(tallowind::ara2::element_count(5, ElementType::Int8), 5u);
}

struct ShapeRow {
  std::uint64_t elements;
  std::array<std::uint64_t, 3> shape;
  std::optional<std::string_view> error;
};

class ShapeCheck : public testing::TestWithParam<ShapeRow> {};

TEST_P(ShapeCheck, MoreIsIncompatibleFewerIsOutOfBounds) {
  const ShapeRow& row = GetParam();
  EXPECT_EQ(tallowind::ara2::shape_error(row.elements, row.shape), row.error);
}

constexpr std::uint64_t kMinusOne = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Table, ShapeCheck,
    testing::Values(ShapeRow{500, {1, 1, 500}, std::nullopt}, ShapeRow{0, {0, 4, 4}, std::nullopt},
                    ShapeRow{12, {3, 2, 2}, std::nullopt}, ShapeRow{13, {3, 2, 2}, tallowind::ara2::kIncompatibleShapeText},
                    ShapeRow{11, {3, 2, 2}, tallowind::ara2::kOutOfBoundsText}, ShapeRow{1, {0, 1, 1}, tallowind::ara2::kIncompatibleShapeText},
                    // dimensions of -1 (sign-extended) or products past 64 bits
                    ShapeRow{4, {kMinusOne, 1, 1}, tallowind::ara2::kOutOfBoundsText},
                    ShapeRow{0, {kMinusOne, 0, 1}, tallowind::ara2::kOutOfBoundsText},
                    ShapeRow{4, {1ull << 32, 1ull << 32, 1}, tallowind::ara2::kOutOfBoundsText}));

TEST(ErrorTexts, NameTheBppAndIndex) {
  EXPECT_EQ(tallowind::ara2::unsupported_bpp_text(3, 2), "unsupported output bpp=3 for index 2");
  EXPECT_EQ(tallowind::ara2::unsupported_dequantize_bpp_text(4, 0), "unsupported output bpp=4 for dequantize on index 0");
}

TEST(DecodeElements, LittleEndianPairsAndFloats) {
  const std::uint8_t bytes[] = {0x01, 0x80, 0xff, 0xff, 0x00, 0x00, 0xc0, 0x3f};
  std::int16_t i16[4];
  tallowind::ara2::decode_elements(ElementType::Int16, bytes, 4, i16);
  EXPECT_EQ(i16[0], -32767);
  EXPECT_EQ(i16[1], -1);
  std::uint16_t u16[4];
  tallowind::ara2::decode_elements(ElementType::UInt16, bytes, 4, u16);
  EXPECT_EQ(u16[0], 32769);
  EXPECT_EQ(u16[1], 65535);
  float f32[2];
  tallowind::ara2::decode_elements(ElementType::Float32, bytes + 4, 1, f32);
  EXPECT_EQ(f32[0], 1.5f);
  std::int8_t i8[8];
  tallowind::ara2::decode_elements(ElementType::Int8, bytes, 8, i8);
  EXPECT_EQ(i8[1], -128);
  EXPECT_EQ(i8[7], 0x3f);
}

struct DequantRow {
  ElementType type;
  std::vector<std::uint8_t> bytes;
  std::int32_t offset;
  float qn;
  std::vector<float> expected;
};

class Dequantize : public testing::TestWithParam<DequantRow> {};

TEST_P(Dequantize, SubtractsInInt32ThenScales) {
  const DequantRow& row = GetParam();
  std::vector<float> out(row.expected.size(), -12345.0f);
  tallowind::ara2::dequantize_elements(row.type, row.bytes.data(), out.size(), row.offset, row.qn, out.data());
  EXPECT_EQ(out, row.expected);
}

constexpr std::int32_t kI32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kI32Max = std::numeric_limits<std::int32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Table, Dequantize,
    testing::Values(DequantRow{ElementType::UInt8, {0, 128, 255}, 128, 0.5f, {-64.0f, 0.0f, 63.5f}},
                    DequantRow{ElementType::Int8, {255, 128, 127}, 0, 1.0f, {-1.0f, -128.0f, 127.0f}},
                    DequantRow{ElementType::UInt16, {0xff, 0xff, 0x00, 0x00}, -1, 2.0f, {131072.0f, 2.0f}},
                    DequantRow{ElementType::Int16, {0x00, 0x80, 0xff, 0x7f}, 0, 0.25f, {-8192.0f, 8191.75f}},
                    // extreme offsets wrap modulo 2^32 instead of overflowing
                    DequantRow{ElementType::UInt16, {0xff, 0xff}, kI32Min, 1.0f,
                               {static_cast<float>(static_cast<std::int32_t>(65535u + 0x80000000u))}},
                    DequantRow{ElementType::Int8, {0x80}, kI32Max, 1.0f,
                               {static_cast<float>(static_cast<std::int32_t>(0xffffff80u - 0x7fffffffu))}},
                    DequantRow{ElementType::UInt8, {}, 0, 1.0f, {}}));

TEST(Dequantize, LongUnalignedBuffersMatchElementByElement) {
  // Odd length and a source that starts off any vector boundary exercise the
  // vectorised body and its remainder.
  std::vector<std::uint8_t> storage(2 * 1003 + 1);
  for (std::size_t i = 0; i < storage.size(); ++i) storage[i] = static_cast<std::uint8_t>(i * 37 + 11);
  const std::uint8_t* source = storage.data() + 1;
  std::vector<float> out(1003);
  tallowind::ara2::dequantize_elements(ElementType::Int16, source, out.size(), 300, 0.125f, out.data());
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto raw = static_cast<std::int16_t>(source[2 * i] | (source[2 * i + 1] << 8));
    ASSERT_EQ(out[i], static_cast<float>(raw - 300) * 0.125f) << i;
  }
}

// Every kernel built into the binary that this CPU can run must give exactly
// the bits of the plain scalar formula, for every element type, for lengths
// that leave tails after any vector width, and from unaligned sources.
class DequantizeKernel : public testing::TestWithParam<std::string> {};

/// The scalar formula, written out independently of the kKernels.
float reference(ElementType type, const std::uint8_t* at, std::int32_t offset, float qn) {
  std::int32_t raw = 0;
  switch (type) {
    case ElementType::Int8: raw = static_cast<std::int8_t>(at[0]); break;
    case ElementType::UInt8: raw = at[0]; break;
    case ElementType::Int16: raw = static_cast<std::int16_t>(at[0] | (at[1] << 8)); break;
    case ElementType::UInt16: raw = static_cast<std::uint16_t>(at[0] | (at[1] << 8)); break;
    case ElementType::Float32: break;
  }
  const std::uint32_t difference = static_cast<std::uint32_t>(raw) - static_cast<std::uint32_t>(offset);
  return static_cast<float>(static_cast<std::int32_t>(difference)) * qn;
}

TEST_P(DequantizeKernel, BitIdenticalToTheScalarFormula) {
  const tallowind::ara2::DequantizeKernel* kernel = nullptr;
  for (const auto& candidate : tallowind::ara2::dequantize_kernels()) {
    if (candidate.name == GetParam()) kernel = &candidate;
  }
  ASSERT_NE(kernel, nullptr);
  if (!kernel->supported()) GTEST_SKIP() << GetParam() << " is not supported by this CPU";

  std::mt19937 random(42);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::int32_t> any_offset(std::numeric_limits<std::int32_t>::min(),
                                                         std::numeric_limits<std::int32_t>::max());
  std::uniform_real_distribution<float> any_qn(-4.0f, 4.0f);
  const std::size_t lengths[] = {0, 1, 2, 3, 7, 15, 16, 17, 31, 33, 63, 64, 65, 127, 129, 255, 1001, 4099};
  for (const ElementType type : {ElementType::Int8, ElementType::UInt8, ElementType::Int16, ElementType::UInt16}) {
    const std::size_t width = tallowind::ara2::element_size(type);
    for (const std::size_t count : lengths) {
      std::vector<std::uint8_t> storage(count * width + 1);
      for (auto& b : storage) b = static_cast<std::uint8_t>(byte(random));
      const std::uint8_t* source = storage.data() + 1;  // off any vector boundary
      // Small offsets keep the values in float's exact range, wide ones round and wrap.
      const std::int32_t offsets[] = {0, 3, -128, any_offset(random), std::numeric_limits<std::int32_t>::min()};
      for (const std::int32_t offset : offsets) {
        const float qn = any_qn(random);
        std::vector<float> out(count + 1, -1.0f);
        kernel->run(type, source, count, offset, qn, out.data());
        for (std::size_t i = 0; i < count; ++i) {
          const float expected = reference(type, source + i * width, offset, qn);
          ASSERT_EQ(std::bit_cast<std::uint32_t>(out[i]), std::bit_cast<std::uint32_t>(expected))
              << GetParam() << " type " << static_cast<int>(type) << " count " << count << " element " << i
              << " offset " << offset << " qn " << qn;
        }
        EXPECT_EQ(out[count], -1.0f) << "wrote past the end";
      }
    }
  }
}

std::vector<std::string> kernel_names() {
  std::vector<std::string> names;
  for (const auto& kernel : tallowind::ara2::dequantize_kernels()) names.emplace_back(kernel.name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(Kernels, DequantizeKernel, testing::ValuesIn(kernel_names()),
                         [](const auto& info) { return info.param; });

/// The instruction sets the kernel reports for this CPU (/proc/cpuinfo
/// leaves out those whose registers it does not save): "flags" on x86-64,
/// "Features" on 64-bit Arm.
std::set<std::string> cpuinfo_flags() {
#if defined(__aarch64__)
  constexpr std::string_view kKey = "Features";
#else
  constexpr std::string_view kKey = "flags";
#endif
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::set<std::string> flags;
  for (std::string line; std::getline(cpuinfo, line);) {
    if (!line.starts_with(kKey)) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    for (std::string word; words >> word;) flags.insert(word);
    break;
  }
  return flags;
}

// A build whose compiler runtime misreads the CPU would silently run the
// narrow kernel everywhere.
TEST(DequantizeKernel, SupportAgreesWithTheKernelsCpuFlags) {
  const std::set<std::string> flags = cpuinfo_flags();
  // (qemu-user shows the host's /proc/cpuinfo, which has no line for this architecture.)
  if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags";
  const auto has = [&](std::initializer_list<const char*> names) {
    for (const char* name : names) {
      if (!flags.contains(name)) return false;
    }
    return true;
  };
  for (const auto& kernel : tallowind::ara2::dequantize_kernels()) {
    bool expected = true;
    if (kernel.name == "avx2") expected = has({"avx2"});
    if (kernel.name == "avx512") expected = has({"avx512f", "avx512bw", "avx512vl", "avx512dq"});
    if (kernel.name == "neon") expected = has({"asimd"});
    EXPECT_EQ(kernel.supported(), expected) << kernel.name;
  }
}

TEST(DequantizeKernel, TheWidestSupportedIsChosen) {
  const auto kKernels = tallowind::ara2::dequantize_kernels();
  ASSERT_FALSE(kKernels.empty());
  EXPECT_EQ(kKernels.front().name, "portable");
  EXPECT_TRUE(kKernels.front().supported());
  const tallowind::ara2::DequantizeKernel* widest = nullptr;
  for (const auto& kernel : kKernels) {
    if (kernel.supported()) widest = &kernel;
  }
  EXPECT_EQ(&tallowind::ara2::chosen_dequantize_kernel(), widest);
}

}  // namespace
