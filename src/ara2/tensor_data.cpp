#include "ara2/tensor_data.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "ara2/dequantize_neon.hpp"
#include "base/cpu_features.hpp"

namespace tallowind::ara2 {
namespace {

/// One little-endian element at `at`, in native order.
template <class T>
inline T load_le(const std::uint8_t* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof(T));
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    using Bits = std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint32_t>;
    value = std::bit_cast<T>(std::byteswap(std::bit_cast<Bits>(value)));
  }
  return value;
}

template <class T>
void decode_as(const std::uint8_t* source, std::size_t count, void* destination) noexcept {
  if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
    std::memcpy(destination, source, count * sizeof(T));
  } else {
    auto* out = static_cast<std::uint8_t*>(destination);
    for (std::size_t i = 0; i < count; ++i) {
      const T value = load_le<T>(source + i * sizeof(T));
      std::memcpy(out + i * sizeof(T), &value, sizeof(T));
    }
  }
}

// One flat loop the compiler vectorises: widen, subtract modulo 2^32, convert,
// scale. Inlined into each kernel below, so each gets the vector width of its
// target. Every step is exact or one correctly rounded operation, so all
// kernels give the same bits (the file is built without FMA contraction).
template <class T>
[[gnu::always_inline]] inline void dequantize_as(const std::uint8_t* source, std::size_t count, std::int32_t offset,
                                                 float qn, float* destination) noexcept {
  const auto bias = static_cast<std::uint32_t>(offset);
  for (std::size_t i = 0; i < count; ++i) {
    const auto raw = static_cast<std::uint32_t>(static_cast<std::int32_t>(load_le<T>(source + i * sizeof(T))));
    destination[i] = static_cast<float>(static_cast<std::int32_t>(raw - bias)) * qn;
  }
}

[[gnu::always_inline]] inline void dequantize_typed(ElementType type, const std::uint8_t* source, std::size_t count,
                                                    std::int32_t offset, float qn, float* destination) noexcept {
  switch (type) {
    case ElementType::Int8:
      return dequantize_as<std::int8_t>(source, count, offset, qn, destination);
    case ElementType::UInt8:
      return dequantize_as<std::uint8_t>(source, count, offset, qn, destination);
    case ElementType::Int16:
      return dequantize_as<std::int16_t>(source, count, offset, qn, destination);
    case ElementType::UInt16:
      return dequantize_as<std::uint16_t>(source, count, offset, qn, destination);
    case ElementType::Float32:
      return;  // not a quantised type; callers never ask
  }
}

bool always_supported() noexcept { return true; }

void dequantize_portable(ElementType type, const std::uint8_t* source, std::size_t count, std::int32_t offset,
                         float qn, float* destination) noexcept {
  dequantize_typed(type, source, count, offset, qn, destination);
}

// The shipped binary targets any x86-64 (SSE2); wider kernels are chosen at
// run time on CPUs that have them.
#if defined(__x86_64__) && defined(__GNUC__)
#define ARA2_WIDE_KERNELS 1

bool avx2_supported() noexcept { return base::cpu_features().avx2; }

[[gnu::target("avx2")]] void dequantize_avx2(ElementType type, const std::uint8_t* source, std::size_t count,
                                             std::int32_t offset, float qn, float* destination) noexcept {
  dequantize_typed(type, source, count, offset, qn, destination);
}

bool avx512_supported() noexcept { return base::cpu_features().avx512; }

// GCC keeps 256-bit vectors unless told otherwise; clang widens to 512 bits
// on its own and ignores the whole attribute if it names a vector width.
#ifdef __clang__
#define ARA2_AVX512_TARGET "avx512f,avx512bw,avx512vl,avx512dq"
#else
#define ARA2_AVX512_TARGET "avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512"
#endif

[[gnu::target(ARA2_AVX512_TARGET)]] void dequantize_avx512(ElementType type, const std::uint8_t* source,
                                                           std::size_t count, std::int32_t offset, float qn,
                                                           float* destination) noexcept {
  dequantize_typed(type, source, count, offset, qn, destination);
}
#endif

constexpr DequantizeKernel kKernels[] = {
    {"portable", always_supported, dequantize_portable},
#ifdef ARA2_WIDE_KERNELS
    {"avx2", avx2_supported, dequantize_avx2},
    {"avx512", avx512_supported, dequantize_avx512},
#endif
#ifdef ARA2_NEON_KERNEL
    {"neon", neon_supported, dequantize_neon},
#endif
};

const DequantizeKernel& best_kernel() noexcept {
  const DequantizeKernel* best = &kKernels[0];
  for (const DequantizeKernel& kernel : kKernels) {
    if (kernel.supported()) best = &kernel;
  }
  return *best;
}

}  // namespace

std::optional<ElementType> output_element_type(std::uint64_t bpp, bool is_signed) noexcept {
  if (bpp == 4) return ElementType::Float32;
  return dequantize_element_type(bpp, is_signed);
}

std::optional<ElementType> dequantize_element_type(std::uint64_t bpp, bool is_signed) noexcept {
  if (bpp == 1) return is_signed ? ElementType::Int8 : ElementType::UInt8;
  if (bpp == 2) return is_signed ? ElementType::Int16 : ElementType::UInt16;
  return std::nullopt;
}

std::optional<std::string_view> shape_error(std::uint64_t elements,
                                            const std::array<std::uint64_t, 3>& shape) noexcept {
  constexpr auto kMaxDimension = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t product = 1;
  bool overflow = false;
  for (const std::uint64_t dimension : shape) {
    overflow |= dimension > kMaxDimension;
    overflow |= __builtin_mul_overflow(product, dimension, &product);
  }
  if (overflow) return kOutOfBoundsText;
  if (elements > product) return kIncompatibleShapeText;
  if (elements < product) return kOutOfBoundsText;
  return std::nullopt;
}

std::string unsupported_bpp_text(std::uint64_t bpp, std::uint64_t index) {
  return fmt::format("unsupported output bpp={} for index {}", bpp, index);
}

std::string unsupported_dequantize_bpp_text(std::uint64_t bpp, std::uint64_t index) {
  return fmt::format("unsupported output bpp={} for dequantize on index {}", bpp, index);
}

void decode_elements(ElementType type, const std::uint8_t* source, std::size_t count, void* destination) noexcept {
  switch (type) {
    case ElementType::Int8:
    case ElementType::UInt8:
      return decode_as<std::uint8_t>(source, count, destination);
    case ElementType::Int16:
    case ElementType::UInt16:
      return decode_as<std::uint16_t>(source, count, destination);
    case ElementType::Float32:
      return decode_as<std::uint32_t>(source, count, destination);
  }
}

std::span<const DequantizeKernel> dequantize_kernels() noexcept { return kKernels; }

const DequantizeKernel& chosen_dequantize_kernel() noexcept {
  static const DequantizeKernel& chosen = best_kernel();
  return chosen;
}

void dequantize_elements(ElementType type, const std::uint8_t* source, std::size_t count, std::int32_t offset,
                         float qn, float* destination) noexcept {
  chosen_dequantize_kernel().run(type, source, count, offset, qn, destination);
}

}  // namespace tallowind::ara2
