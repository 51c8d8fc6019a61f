#include "image/pixels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "base/cpu_features.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ARA2_IMAGE_WIDE_KERNELS 1
#endif

namespace tallowind::image {
namespace {

// OpenCV's fixed point: weights scaled by 2^11.
constexpr int kWeightBits = 11;
constexpr int kWeightOne = 1 << kWeightBits;

std::size_t element_bytes(Element element) noexcept { return element == Element::Float32 ? 4 : 1; }

std::size_t rounded_at_least_one(double value) noexcept {
  const double rounded = std::nearbyint(value);
  return rounded < 1.0 ? 1 : static_cast<std::size_t>(rounded);
}

/// A fixed-point weight as OpenCV rounds it: the float times 2048, rounded half to even.
std::int16_t weight(float value) noexcept {
  return static_cast<std::int16_t>(std::lrintf(value * static_cast<float>(kWeightOne)));
}

/// One axis of INTER_LINEAR: the first source index and the two weights of
/// target index `d`, clamped at both edges as cv::resize does for x.
struct Tap {
  std::ptrdiff_t index;
  float fraction;
};

Tap linear_tap(std::size_t d, std::size_t source, std::size_t target) noexcept {
  const double inverse = static_cast<double>(target) / static_cast<double>(source);
  const double scale = 1.0 / inverse;
  float f = static_cast<float>((static_cast<double>(d) + 0.5) * scale - 0.5);
  const float whole = std::floor(f);
  f -= whole;
  return {static_cast<std::ptrdiff_t>(whole), f};
}

std::ptrdiff_t nearest_index(std::size_t d, std::size_t source, std::size_t target) noexcept {
  const double inverse = static_cast<double>(target) / static_cast<double>(source);
  const double scale = 1.0 / inverse;
  const auto index = static_cast<std::ptrdiff_t>(std::floor(static_cast<double>(d) * scale));
  return std::min<std::ptrdiff_t>(index, static_cast<std::ptrdiff_t>(source) - 1);
}

std::int16_t saturate16(std::int32_t value) noexcept {
  return static_cast<std::int16_t>(std::clamp<std::int32_t>(value, -32768, 32767));
}

std::int16_t low_weight(std::int32_t packed) noexcept { return static_cast<std::int16_t>(packed & 0xFFFF); }
std::int16_t high_weight(std::int32_t packed) noexcept { return static_cast<std::int16_t>(packed >> 16); }

[[gnu::always_inline]] inline void horizontal_from(const HorizontalRow& r, std::size_t k) noexcept {
  for (; k < r.count; ++k) {
    const std::int32_t w = r.weights[k];
    r.band[k] = saturate16((r.line[r.offset0[k]] * low_weight(w) + r.line[r.offset1[k]] * high_weight(w)) >> 4);
  }
}

// OpenCV's vectorised vertical pass: each band is already >> 4; multiply-high
// by the weights, add (the sum stays far inside 16 bits), round, >> 2.
[[gnu::always_inline]] inline void blend_from(const BlendRow& r, std::size_t k) noexcept {
  for (; k < r.count; ++k) {
    const std::int32_t sum = ((std::int32_t{r.top[k]} * r.beta0) >> 16) + ((std::int32_t{r.bottom[k]} * r.beta1) >> 16);
    const std::int32_t rounded = (static_cast<std::int32_t>(saturate16(sum)) + 2) >> 2;
    r.out[k] = static_cast<std::uint8_t>(std::clamp<std::int32_t>(rounded, 0, 255));
  }
}

[[gnu::always_inline]] inline void planar_from(const PlanarRow& r, std::size_t x) noexcept {
  for (std::size_t c = 0; c < 3; ++c) {
    const std::uint8_t* table = r.tables[c];
    const std::uint8_t* in = r.pixels + r.source_channel[c];
    std::uint8_t* out = r.planes[c];
    for (std::size_t i = x; i < r.count; ++i) out[i] = table[in[3 * i]];
  }
}

[[gnu::always_inline]] inline void pick_from(const HorizontalRow& r, std::uint8_t* out, std::size_t k) noexcept {
  for (; k < r.count; ++k) out[k] = r.line[r.offset0[k]];
}

bool always_supported() noexcept { return true; }
void pick_portable(const HorizontalRow& row, std::uint8_t* out) noexcept { pick_from(row, out, 0); }
void horizontal_portable(const HorizontalRow& row) noexcept { horizontal_from(row, 0); }
void blend_portable(const BlendRow& row) noexcept { blend_from(row, 0); }
void planar_portable(const PlanarRow& row) noexcept { planar_from(row, 0); }

#ifdef ARA2_IMAGE_WIDE_KERNELS
bool avx2_supported() noexcept { return base::cpu_features().avx2; }

/// One gather reads four bytes at each first tap; the second tap is the byte
/// pixel_step further on. Both become a pair of 16-bit lanes for one
/// multiply-add with the packed weights.
[[gnu::target("avx2")]] void horizontal_avx2(const HorizontalRow& r) noexcept {
  std::size_t k = 0;
  if (r.pixel_step >= 1 && r.pixel_step <= 3) {
    const __m256i first = _mm256_set1_epi32(0xFF);
    const __m256i second = _mm256_set1_epi32(0xFF0000);
    for (; k + 16 <= r.wide_end; k += 16) {
      __m256i sums[2];
      for (std::size_t half = 0; half < 2; ++half) {
        const __m256i index = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r.offset0 + k + 8 * half));
        const __m256i bytes = _mm256_i32gather_epi32(reinterpret_cast<const int*>(r.line), index, 1);
        const __m256i next = r.pixel_step == 1   ? _mm256_slli_epi32(bytes, 8)
                             : r.pixel_step == 2 ? bytes
                                                 : _mm256_srli_epi32(bytes, 8);
        const __m256i pair = _mm256_or_si256(_mm256_and_si256(bytes, first), _mm256_and_si256(next, second));
        const __m256i weights = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r.weights + k + 8 * half));
        sums[half] = _mm256_srai_epi32(_mm256_madd_epi16(pair, weights), 4);
      }
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(sums[0], sums[1]), 0xD8);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(r.band + k), packed);
    }
  }
  horizontal_from(r, k);
}

[[gnu::target("avx2")]] void blend_avx2(const BlendRow& r) noexcept {
  const __m256i beta0 = _mm256_set1_epi16(r.beta0), beta1 = _mm256_set1_epi16(r.beta1);
  const __m256i two = _mm256_set1_epi16(2);
  std::size_t k = 0;
  for (; k + 32 <= r.count; k += 32) {
    __m256i rounded[2];
    for (std::size_t half = 0; half < 2; ++half) {
      const __m256i top = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r.top + k + 16 * half));
      const __m256i bottom = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r.bottom + k + 16 * half));
      const __m256i sum = _mm256_adds_epi16(_mm256_mulhi_epi16(top, beta0), _mm256_mulhi_epi16(bottom, beta1));
      rounded[half] = _mm256_srai_epi16(_mm256_add_epi16(sum, two), 2);
    }
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(rounded[0], rounded[1]), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(r.out + k), packed);
  }
  blend_from(r, k);
}

[[gnu::target("avx2")]] void planar_avx2(const PlanarRow& row) noexcept { planar_from(row, 0); }

bool avx512_supported() noexcept { return base::cpu_features().avx512_vbmi; }

#define ARA2_IMAGE_AVX512 "avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi"
// GCC 12's AVX-512 headers start some intrinsics from an undefined register,
// which its own flow analysis then reports.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

/// The 128 bytes of a block's window (two masked loads: bytes from `limit`
/// on are never read), and 16 of them picked by their indexes.
struct Window {
  __m512i low, high;
  [[gnu::target(ARA2_IMAGE_AVX512)]] __m512i pick(const std::uint8_t* index) const noexcept {
    const __m512i at = _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(index)));
    return _mm512_permutex2var_epi8(low, at, high);
  }
};

[[gnu::target(ARA2_IMAGE_AVX512)]] Window load_window(const HorizontalRow& r, std::size_t block) noexcept {
  const std::int32_t start = r.window_base[block];
  const std::int64_t readable = std::int64_t{r.limit} - start;
  auto mask = [](std::int64_t bytes) {
    return bytes >= 64 ? ~__mmask64{0} : bytes <= 0 ? __mmask64{0} : (__mmask64{1} << bytes) - 1;
  };
  const std::uint8_t* window = r.line + start;
  return {_mm512_maskz_loadu_epi8(mask(readable), window), _mm512_maskz_loadu_epi8(mask(readable - 64), window + 64)};
}

/// Per block of 16 elements: from the block's 128-byte window (two masked
/// loads), two byte permutes pick the first and the second taps; otherwise
/// one gather reads both. Pairs of 16-bit lanes, one multiply-add.
[[gnu::target(ARA2_IMAGE_AVX512)]] void horizontal_avx512(const HorizontalRow& r) noexcept {
  const __m512i first = _mm512_set1_epi32(0xFF);
  const __m512i second = _mm512_set1_epi32(0xFF0000);
  const bool gather = r.pixel_step >= 1 && r.pixel_step <= 3;
  std::size_t k = 0;
  for (; k + 16 <= r.count; k += 16) {
    const std::size_t block = k / 16;
    __m512i pair;
    if (r.window_base != nullptr && r.window_base[block] != kNoWindow) {
      const Window window = load_window(r, block);
      const __m512i tap0 = window.pick(r.window_index + 32 * block);
      const __m512i tap1 = window.pick(r.window_index + 32 * block + 16);
      const __m128i t0 = _mm512_castsi512_si128(tap0), t1 = _mm512_castsi512_si128(tap1);
      pair = _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(t0, t1))),
                                _mm256_cvtepu8_epi16(_mm_unpackhi_epi8(t0, t1)), 1);
    } else if (gather && k + 16 <= r.wide_end) {
      const __m512i index = _mm512_loadu_si512(r.offset0 + k);
      const __m512i bytes = _mm512_i32gather_epi32(index, r.line, 1);
      const __m512i next = r.pixel_step == 1   ? _mm512_slli_epi32(bytes, 8)
                           : r.pixel_step == 2 ? bytes
                                               : _mm512_srli_epi32(bytes, 8);
      pair = _mm512_or_si512(_mm512_and_si512(bytes, first), _mm512_and_si512(next, second));
    } else {
      break;
    }
    const __m512i sums = _mm512_srai_epi32(_mm512_madd_epi16(pair, _mm512_loadu_si512(r.weights + k)), 4);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(r.band + k), _mm512_cvtsepi32_epi16(sums));
  }
  horizontal_from(r, k);
}

/// Whole pixels: each block of 16 from its window with one byte permute.
[[gnu::target(ARA2_IMAGE_AVX512)]] void pick_avx512(const HorizontalRow& r, std::uint8_t* out) noexcept {
  std::size_t k = 0;
  for (; k + 16 <= r.count; k += 16) {
    const std::size_t block = k / 16;
    if (r.window_base == nullptr || r.window_base[block] == kNoWindow) {
      pick_from(HorizontalRow{r.line, r.offset0, r.offset1, r.weights, k + 16, 0, 0, nullptr}, out, k);
      continue;
    }
    const __m512i picked = load_window(r, block).pick(r.window_index + 32 * block);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm512_castsi512_si128(picked));
  }
  pick_from(r, out, k);
}

[[gnu::target(ARA2_IMAGE_AVX512)]] void blend_avx512(const BlendRow& r) noexcept {
  const __m512i beta0 = _mm512_set1_epi16(r.beta0), beta1 = _mm512_set1_epi16(r.beta1);
  const __m512i two = _mm512_set1_epi16(2);
  std::size_t k = 0;
  for (; k + 64 <= r.count; k += 64) {
    __m512i rounded[2];
    for (std::size_t half = 0; half < 2; ++half) {
      const __m512i top = _mm512_loadu_si512(r.top + k + 32 * half);
      const __m512i bottom = _mm512_loadu_si512(r.bottom + k + 32 * half);
      const __m512i sum = _mm512_adds_epi16(_mm512_mulhi_epi16(top, beta0), _mm512_mulhi_epi16(bottom, beta1));
      rounded[half] = _mm512_srai_epi16(_mm512_add_epi16(sum, two), 2);
    }
    const __m512i packed = _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7),
                                                    _mm512_packus_epi16(rounded[0], rounded[1]));
    _mm512_storeu_si512(r.out + k, packed);
  }
  // The rest, under masks: at most 63 elements.
  for (; k < r.count; k += 32) {
    const std::size_t left = std::min<std::size_t>(r.count - k, 32);
    const __mmask32 mask = static_cast<__mmask32>((std::uint64_t{1} << left) - 1);
    const __m512i top = _mm512_maskz_loadu_epi16(mask, r.top + k);
    const __m512i bottom = _mm512_maskz_loadu_epi16(mask, r.bottom + k);
    const __m512i sum = _mm512_adds_epi16(_mm512_mulhi_epi16(top, beta0), _mm512_mulhi_epi16(bottom, beta1));
    const __m512i rounded = _mm512_srai_epi16(_mm512_add_epi16(sum, two), 2);
    _mm256_mask_storeu_epi8(r.out + k, mask, _mm512_cvtusepi16_epi8(_mm512_max_epi16(rounded, _mm512_setzero_si512())));
  }
}

/// 64 pixels at a time: byte permutes pick each channel out of the 192
/// interleaved bytes, and look it up in its 256-byte table (four registers,
/// two permutes by the low 7 bits, the top bit choosing between them).
/// Where channel k (0 to 2) of each of 64 interleaved pixels sits: an index
/// into the first 128 of the 192 bytes, one into the last 128, and which of
/// the two to take.
struct ChannelPicks {
  alignas(64) std::uint8_t low[3][64];
  alignas(64) std::uint8_t high[3][64];
  std::uint64_t from_high[3];
};

const ChannelPicks& channel_picks() noexcept {
  static const ChannelPicks picks = [] {
    ChannelPicks p{};
    for (std::size_t k = 0; k < 3; ++k) {
      for (std::size_t i = 0; i < 64; ++i) {
        const std::size_t at = 3 * i + k;
        p.low[k][i] = static_cast<std::uint8_t>(at & 127);
        p.high[k][i] = static_cast<std::uint8_t>((at - 64) & 127);
        if (at >= 128) p.from_high[k] |= std::uint64_t{1} << i;
      }
    }
    return p;
  }();
  return picks;
}

[[gnu::target(ARA2_IMAGE_AVX512)]] void planar_avx512(const PlanarRow& r) noexcept {
  std::size_t x = 0;
  if (r.count != 0) {
    const ChannelPicks& picks = channel_picks();
    __m512i low_index[3], high_index[3], table[3][4];
    __mmask64 from_high[3];
    for (std::size_t c = 0; c < 3; ++c) {
      const std::size_t k = r.source_channel[c];
      low_index[c] = _mm512_load_si512(picks.low[k]);
      high_index[c] = _mm512_load_si512(picks.high[k]);
      from_high[c] = picks.from_high[k];
      for (std::size_t q = 0; q < 4; ++q) table[c][q] = _mm512_loadu_si512(r.tables[c] + 64 * q);
    }
    for (; x < r.count; x += 64) {
      // The last block reads and writes under masks.
      const std::size_t bytes = std::min<std::size_t>(3 * (r.count - x), 192);
      auto part = [&](std::size_t from) {
        const std::size_t n = bytes > from ? std::min<std::size_t>(bytes - from, 64) : 0;
        return n == 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
      };
      const std::uint8_t* in = r.pixels + 3 * x;
      const __m512i a = _mm512_maskz_loadu_epi8(part(0), in), b = _mm512_maskz_loadu_epi8(part(64), in + 64),
                    d = _mm512_maskz_loadu_epi8(part(128), in + 128);
      const std::size_t pixels = std::min<std::size_t>(r.count - x, 64);
      const __mmask64 store = pixels == 64 ? ~__mmask64{0} : (__mmask64{1} << pixels) - 1;
      for (std::size_t c = 0; c < 3; ++c) {
        const __m512i low = _mm512_permutex2var_epi8(a, low_index[c], b);
        const __m512i high = _mm512_permutex2var_epi8(b, high_index[c], d);
        const __m512i value = _mm512_mask_blend_epi8(from_high[c], low, high);
        const __m512i first_half = _mm512_permutex2var_epi8(table[c][0], value, table[c][1]);
        const __m512i second_half = _mm512_permutex2var_epi8(table[c][2], value, table[c][3]);
        _mm512_mask_storeu_epi8(r.planes[c] + x, store,
                                _mm512_mask_blend_epi8(_mm512_movepi8_mask(value), first_half, second_half));
      }
    }
  }
  planar_from(r, x);
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

constexpr PixelKernel kKernels[] = {
    {"portable", always_supported, horizontal_portable, blend_portable, planar_portable, pick_portable},
#ifdef ARA2_IMAGE_WIDE_KERNELS
    {"avx2", avx2_supported, horizontal_avx2, blend_avx2, planar_avx2, pick_portable},
    {"avx512", avx512_supported, horizontal_avx512, blend_avx512, planar_avx512, pick_avx512},
#endif
};

const PixelKernel& best_kernel() noexcept {
  static const PixelKernel* best = [] {
    const PixelKernel* chosen = &kKernels[0];
    for (const PixelKernel& kernel : kKernels) {
      if (kernel.supported()) chosen = &kernel;
    }
    return chosen;
  }();
  return *best;
}

}  // namespace

std::span<const PixelKernel> pixel_kernels() noexcept { return kKernels; }

void plan_windows(std::span<const std::int32_t> offset0, std::span<const std::int32_t> offset1,
                  std::vector<std::int32_t>& base, std::vector<std::uint8_t>& index) {
  const std::size_t blocks = offset0.size() / 16;
  base.resize(blocks);
  index.resize(32 * blocks);
  for (std::size_t b = 0; b < blocks; ++b) {
    const auto first0 = offset0.begin() + static_cast<std::ptrdiff_t>(16 * b);
    const auto first1 = offset1.begin() + static_cast<std::ptrdiff_t>(16 * b);
    const std::int32_t low = std::min(*std::min_element(first0, first0 + 16), *std::min_element(first1, first1 + 16));
    const std::int32_t high = std::max(*std::max_element(first0, first0 + 16), *std::max_element(first1, first1 + 16));
    if (high - low >= 128) {
      base[b] = kNoWindow;
      continue;
    }
    base[b] = low;
    for (std::size_t i = 0; i < 16; ++i) {
      index[32 * b + i] = static_cast<std::uint8_t>(first0[static_cast<std::ptrdiff_t>(i)] - low);
      index[32 * b + 16 + i] = static_cast<std::uint8_t>(first1[static_cast<std::ptrdiff_t>(i)] - low);
    }
  }
}

std::size_t target_bytes(const TargetDesc& target) noexcept {
  return target.width * target.height * target.channels * element_bytes(target.element);
}

std::uint8_t quantize_value(float real, float qn, std::int32_t offset, Element element) noexcept {
  const double q = static_cast<double>(std::nearbyint(real / qn)) + offset;
  const double low = element == Element::Int8 ? -128.0 : 0.0;
  const double high = element == Element::Int8 ? 127.0 : 255.0;
  const double clamped = std::isnan(q) ? 0.0 : std::clamp(q, low, high);
  return static_cast<std::uint8_t>(static_cast<std::int32_t>(clamped));
}

Geometry plan_geometry(std::size_t source_width, std::size_t source_height, std::size_t target_width,
                       std::size_t target_height, Fit fit, double crop_ratio, bool mirror) noexcept {
  Geometry g;
  g.source_width = source_width;
  g.source_height = source_height;
  g.target_width = target_width;
  g.target_height = target_height;
  g.mirrored = mirror;
  g.window_width = source_width;
  g.window_height = source_height;
  g.content_width = target_width;
  g.content_height = target_height;
  const double sw = static_cast<double>(source_width), sh = static_cast<double>(source_height);
  const double tw = static_cast<double>(target_width), th = static_cast<double>(target_height);
  if (fit == Fit::Letterbox) {
    const double ratio = std::min(tw / sw, th / sh);
    g.content_width = std::min(target_width, rounded_at_least_one(sw * ratio));
    g.content_height = std::min(target_height, rounded_at_least_one(sh * ratio));
    g.content_x = (target_width - g.content_width) / 2;
    g.content_y = (target_height - g.content_height) / 2;
  } else if (fit == Fit::CentreCrop) {
    const double fitted = std::min(sw / tw, sh / th);  // source pixels per target pixel of the largest window
    g.window_width = std::min(source_width, rounded_at_least_one(tw * fitted * crop_ratio));
    g.window_height = std::min(source_height, rounded_at_least_one(th * fitted * crop_ratio));
    g.window_x = (source_width - g.window_width) / 2;
    g.window_y = (source_height - g.window_height) / 2;
  }
  g.scale_x = static_cast<double>(g.content_width) / static_cast<double>(g.window_width);
  g.scale_y = static_cast<double>(g.content_height) / static_cast<double>(g.window_height);
  g.offset_x = static_cast<double>(g.content_x) - static_cast<double>(g.window_x) * g.scale_x;
  g.offset_y = static_cast<double>(g.content_y) - static_cast<double>(g.window_y) * g.scale_y;
  return g;
}

void boxes_to_source(const Geometry& g, const float* in, float* out, std::size_t count) noexcept {
  const double width = static_cast<double>(g.source_width), height = static_cast<double>(g.source_height);
  const double target_width = static_cast<double>(g.target_width);
  for (std::size_t i = 0; i < count; ++i) {
    double x1 = in[4 * i], y1 = in[4 * i + 1], x2 = in[4 * i + 2], y2 = in[4 * i + 3];
    if (g.mirrored) {
      const double left = target_width - x2;
      x2 = target_width - x1;
      x1 = left;
    }
    out[4 * i] = static_cast<float>(std::clamp((x1 - g.offset_x) / g.scale_x, 0.0, width));
    out[4 * i + 1] = static_cast<float>(std::clamp((y1 - g.offset_y) / g.scale_y, 0.0, height));
    out[4 * i + 2] = static_cast<float>(std::clamp((x2 - g.offset_x) / g.scale_x, 0.0, width));
    out[4 * i + 3] = static_cast<float>(std::clamp((y2 - g.offset_y) / g.scale_y, 0.0, height));
  }
}

std::optional<std::string> Converter::prepare(const SourceView& source, const TargetDesc& target,
                                              const Options& options, const Normalisation& normalisation,
                                              std::size_t workers) {
  if (target.channels != 1 && target.channels != 3) {
    return "the input tensor has " + std::to_string(target.channels) + " channels; images fill 1 or 3";
  }
  if (source.channels != target.channels) {
    return "the input tensor takes " + std::to_string(target.channels) + "-channel images, got " +
           std::to_string(source.channels) + " channels";
  }
  if (source.width == 0 || source.height == 0) return "the image is empty";
  if (target.width == 0 || target.height == 0) return "the input tensor has no pixels";
  if (source.width > (std::size_t{1} << 24) || source.height > (std::size_t{1} << 24) ||
      target.width > (std::size_t{1} << 24) || target.height > (std::size_t{1} << 24)) {
    return "image and tensor sides are limited to 16777216 pixels";
  }
  if (!(options.crop_ratio > 0.0 && options.crop_ratio <= 1.0)) return "crop_ratio must be in (0, 1]";
  if (target.element != Element::Float32 && !(std::isfinite(normalisation.qn) && normalisation.qn != 0.0f)) {
    return "the input's quantisation scale qn must be finite and non-zero";
  }
  // A stream of frames of one shape reuses its tables.
  const Shape shape{source.width, source.height, source.channels, source.row_stride, source.pixel_stride,
                    source.channel_stride, target, options, normalisation, std::max<std::size_t>(workers, 1)};
  if (shape_ && *shape_ == shape) return std::nullopt;
  shape_.reset();
  target_ = target;
  options_ = options;
  geometry_ = plan_geometry(source.width, source.height, target.width, target.height, options.fit,
                            options.crop_ratio, options.mirror);
  const Geometry& g = geometry_;
  const std::size_t channels = target.channels;
  const bool nearest = options.interpolation == Interpolation::Nearest;

  // Horizontal taps, per content element, as byte offsets within a source row.
  elements_ = g.content_width * channels;
  offset0_.resize(elements_);
  offset1_.resize(elements_);
  weights_.resize(elements_);
  single_tap_ = true;
  const auto last_x = static_cast<std::ptrdiff_t>(g.window_width) - 1;
  for (std::size_t d = 0; d < g.content_width; ++d) {
    std::ptrdiff_t x = 0;
    std::int16_t a0 = kWeightOne, a1 = 0;
    if (nearest) {
      x = nearest_index(d, g.window_width, g.content_width);
    } else {
      Tap tap = linear_tap(d, g.window_width, g.content_width);
      if (tap.index < 0) tap = {0, 0.0f};
      if (tap.index >= last_x) tap = {last_x, 0.0f};
      x = tap.index;
      a0 = weight(1.0f - tap.fraction);
      a1 = weight(tap.fraction);
    }
    const std::ptrdiff_t x1 = std::min(x + 1, last_x);
    single_tap_ = single_tap_ && a1 == 0;
    for (std::size_t c = 0; c < channels; ++c) {
      const std::ptrdiff_t channel = static_cast<std::ptrdiff_t>(c) * source.channel_stride;
      const std::ptrdiff_t window = static_cast<std::ptrdiff_t>(g.window_x) * source.pixel_stride;
      offset0_[d * channels + c] = static_cast<std::int32_t>(window + x * source.pixel_stride + channel);
      offset1_[d * channels + c] = static_cast<std::int32_t>(window + x1 * source.pixel_stride + channel);
      weights_[d * channels + c] = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(a0)) |
                                                              (static_cast<std::uint32_t>(static_cast<std::uint16_t>(a1)) << 16));
    }
  }
  // One load may cover both taps while it stays inside the window's bytes.
  pixel_step_ = source.pixel_stride >= 1 && source.pixel_stride <= 3 ? static_cast<std::int32_t>(source.pixel_stride) : 0;
  const std::int32_t limit = elements_ == 0 ? 0
                                            : std::max(*std::max_element(offset0_.begin(), offset0_.end()),
                                                       *std::max_element(offset1_.begin(), offset1_.end())) + 1;
  wide_end_ = 0;
  while (wide_end_ < elements_ && offset0_[wide_end_] + 4 <= limit) ++wide_end_;
  limit_ = limit;
  plan_windows(offset0_, offset1_, window_base_, window_index_);
  // Vertical taps, per content row; rows are clamped when read.
  row0_.resize(g.content_height);
  beta0_.resize(g.content_height);
  beta1_.resize(g.content_height);
  for (std::size_t d = 0; d < g.content_height; ++d) {
    if (nearest) {
      row0_[d] = static_cast<std::int32_t>(nearest_index(d, g.window_height, g.content_height));
      beta0_[d] = kWeightOne;
      beta1_[d] = 0;
    } else {
      const Tap tap = linear_tap(d, g.window_height, g.content_height);
      row0_[d] = static_cast<std::int32_t>(tap.index);
      beta0_[d] = weight(1.0f - tap.fraction);
      beta1_[d] = weight(tap.fraction);
    }
  }
  // Model channel c reads source channel c, or 2 - c when swapped.
  for (std::size_t c = 0; c < 3; ++c) source_channel_[c] = channels == 3 && options.swap_channels ? 2 - c : c;
  for (std::size_t c = 0; c < channels; ++c) {
    for (int p = 0; p < 256; ++p) {
      const float real = (static_cast<float>(p) - normalisation.mean[c]) * normalisation.scale[c];
      table32_[c][p] = real;
      table8_[c][p] = quantize_value(real, normalisation.qn, normalisation.offset, target.element);
    }
  }
  rows_.resize(std::max<std::size_t>(workers, 1));
  for (Rows& rows : rows_) {
    rows.band[0].resize(elements_);
    rows.band[1].resize(elements_);
    rows.pixels.resize(elements_);
  }
  shape_ = shape;
  return std::nullopt;
}

const std::int16_t* Converter::horizontal(const SourceView& source, Rows& rows, std::size_t slot,
                                          std::size_t row) noexcept {
  std::int16_t* band = rows.band[slot].data();
  if (rows.band_row[slot] == static_cast<std::ptrdiff_t>(row)) return band;
  const std::uint8_t* line = source.data + static_cast<std::ptrdiff_t>(row) * source.row_stride;
  best_kernel().horizontal(HorizontalRow{line, offset0_.data(), offset1_.data(), weights_.data(), elements_,
                                         pixel_step_, wide_end_, band, window_base_.data(), window_index_.data(),
                                         limit_});
  rows.band_row[slot] = static_cast<std::ptrdiff_t>(row);
  return band;
}

void Converter::resize_row(const SourceView& source, Rows& rows, std::size_t d) noexcept {
  const Geometry& g = geometry_;
  const auto last = static_cast<std::int32_t>(g.window_height) - 1;
  const auto top_row = static_cast<std::size_t>(std::clamp(row0_[d], 0, last)) + g.window_y;
  const auto bottom_row = static_cast<std::size_t>(std::clamp(row0_[d] + 1, 0, last)) + g.window_y;
  const std::int16_t b0 = beta0_[d], b1 = beta1_[d];
  std::uint8_t* out = rows.pixels.data();
  if (single_tap_ && b1 == 0 && b0 == kWeightOne) {
    // Whole pixels on both axes: a plain gather.
    const std::uint8_t* line = source.data + static_cast<std::ptrdiff_t>(top_row) * source.row_stride;
    best_kernel().pick(HorizontalRow{line, offset0_.data(), offset1_.data(), weights_.data(), elements_,
                                     pixel_step_, wide_end_, nullptr, window_base_.data(), window_index_.data(),
                                     limit_},
                       out);
    return;
  }
  // A band that already holds a row keeps it: upscaling reuses both.
  auto holds = [&](std::size_t slot, std::size_t row) { return rows.band_row[slot] == static_cast<std::ptrdiff_t>(row); };
  const std::size_t top_slot = holds(1, top_row) || (!holds(0, top_row) && holds(0, bottom_row)) ? 1 : 0;
  const std::int16_t* top = horizontal(source, rows, top_slot, top_row);
  if (b1 == 0) {
    best_kernel().blend(BlendRow{top, top, b0, 0, out, elements_});
    return;
  }
  const std::int16_t* bottom = bottom_row == top_row ? top : horizontal(source, rows, 1 - top_slot, bottom_row);
  best_kernel().blend(BlendRow{top, bottom, b0, b1, out, elements_});
}

namespace {

/// Writes one target row: the content pixels through the channel tables,
/// the letterbox margins in the fill value, mirrored when asked.
template <class T, Layout layout, std::size_t channels>
void write_row(T* tensor, const TargetDesc& target, const Geometry& g, std::size_t y, const std::uint8_t* pixels,
               const std::array<const T*, 3>& tables, const std::array<std::size_t, 3>& source_channel,
               std::uint8_t fill, bool content_row) noexcept {
  const std::size_t width = target.width;
  const std::size_t plane = target.width * target.height;
  const std::size_t cx0 = content_row ? g.content_x : width;  // no content: every column is margin
  const std::size_t cx1 = content_row ? g.content_x + g.content_width : width;
  auto column = [&](std::size_t x) { return g.mirrored ? width - 1 - x : x; };
  for (std::size_t c = 0; c < channels; ++c) {
    const T* table = tables[c];
    const T margin = table[fill];
    if constexpr (layout == Layout::Planar) {
      T* row = tensor + c * plane + y * width;
      if (!content_row) {
        std::fill(row, row + width, margin);
        continue;
      }
      // Mirroring swaps which margin is on which side.
      const std::size_t left_count = g.mirrored ? width - cx1 : cx0;
      const std::size_t right_count = g.mirrored ? cx0 : width - cx1;
      std::fill(row, row + left_count, margin);
      std::fill(row + width - right_count, row + width, margin);
      if constexpr (std::is_same_v<T, std::uint8_t> && channels == 3) {
        if (!g.mirrored) continue;  // the three planes are written together below
      }
      const std::uint8_t* in = pixels + source_channel[c];
      const std::size_t count = cx1 - cx0;
      if (g.mirrored) {
        T* out = row + (width - 1 - cx0);
        for (std::size_t x = 0; x < count; ++x) out[-static_cast<std::ptrdiff_t>(x)] = table[in[x * channels]];
      } else {
        T* out = row + cx0;
        for (std::size_t x = 0; x < count; ++x) out[x] = table[in[x * channels]];
      }
    } else {
      T* row = tensor + y * width * channels;
      for (std::size_t x = 0; x < cx0; ++x) row[column(x) * channels + c] = margin;
      for (std::size_t x = cx1; x < width; ++x) row[column(x) * channels + c] = margin;
      const std::uint8_t* in = pixels + source_channel[c];
      for (std::size_t x = cx0; x < cx1; ++x) row[column(x) * channels + c] = table[in[(x - cx0) * channels]];
    }
  }
  if constexpr (layout == Layout::Planar && std::is_same_v<T, std::uint8_t> && channels == 3) {
    if (content_row && !g.mirrored) {
      std::array<std::uint8_t*, 3> planes;
      for (std::size_t c = 0; c < 3; ++c) planes[c] = tensor + c * plane + y * width + cx0;
      best_kernel().planar(PlanarRow{pixels, cx1 - cx0, tables, source_channel, planes});
    }
  }
}

template <class T>
void write_any(T* tensor, const TargetDesc& target, const Geometry& g, std::size_t y, const std::uint8_t* pixels,
               const std::array<const T*, 3>& tables, const std::array<std::size_t, 3>& source_channel,
               std::uint8_t fill, bool content_row) noexcept {
  if (target.channels == 1) {
    write_row<T, Layout::Planar, 1>(tensor, target, g, y, pixels, tables, source_channel, fill, content_row);
  } else if (target.layout == Layout::Planar) {
    write_row<T, Layout::Planar, 3>(tensor, target, g, y, pixels, tables, source_channel, fill, content_row);
  } else {
    write_row<T, Layout::Interleaved, 3>(tensor, target, g, y, pixels, tables, source_channel, fill, content_row);
  }
}

}  // namespace

void Converter::run(const SourceView& source, std::uint8_t* target_data, std::size_t row_begin, std::size_t row_end,
                    std::size_t worker) noexcept {
  Rows& rows = rows_[worker];
  rows.band_row[0] = rows.band_row[1] = -1;  // the bands of another call hold other pixels
  const Geometry& g = geometry_;
  for (std::size_t y = row_begin; y < row_end && y < target_.height; ++y) {
    const bool content_row = y >= g.content_y && y < g.content_y + g.content_height;
    if (content_row) resize_row(source, rows, y - g.content_y);
    const std::uint8_t* pixels = rows.pixels.data();
    if (target_.element == Element::Float32) {
      auto* tensor = reinterpret_cast<float*>(target_data);
      const std::array<const float*, 3> tables{table32_[0].data(), table32_[1].data(), table32_[2].data()};
      write_any(tensor, target_, g, y, pixels, tables, source_channel_, options_.fill, content_row);
    } else {
      const std::array<const std::uint8_t*, 3> tables{table8_[0].data(), table8_[1].data(), table8_[2].data()};
      write_any(target_data, target_, g, y, pixels, tables, source_channel_, options_.fill, content_row);
    }
  }
}

}  // namespace tallowind::image
