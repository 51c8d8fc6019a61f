#include "image/pixels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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

/// OpenCV's vectorised vertical pass: each band is already >> 4 and
/// saturated; multiply-high by the weights, saturating add, round >> 2.
std::uint8_t blend(std::int16_t top, std::int16_t bottom, std::int16_t beta0, std::int16_t beta1) noexcept {
  const std::int32_t sum = ((std::int32_t{top} * beta0) >> 16) + ((std::int32_t{bottom} * beta1) >> 16);
  const std::int32_t rounded = (static_cast<std::int32_t>(saturate16(sum)) + 2) >> 2;
  return static_cast<std::uint8_t>(std::clamp<std::int32_t>(rounded, 0, 255));
}

}  // namespace

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
  alpha0_.resize(elements_);
  alpha1_.resize(elements_);
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
      alpha0_[d * channels + c] = a0;
      alpha1_[d * channels + c] = a1;
    }
  }
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
    rows.band_row[0] = rows.band_row[1] = -1;
    rows.pixels.resize(elements_);
  }
  return std::nullopt;
}

const std::int16_t* Converter::horizontal(const SourceView& source, Rows& rows, std::size_t slot,
                                          std::size_t row) noexcept {
  std::int16_t* band = rows.band[slot].data();
  if (rows.band_row[slot] == static_cast<std::ptrdiff_t>(row)) return band;
  const std::uint8_t* line = source.data + static_cast<std::ptrdiff_t>(row) * source.row_stride;
  const std::int32_t* o0 = offset0_.data();
  if (single_tap_) {
    const std::int16_t* a0 = alpha0_.data();
    for (std::size_t k = 0; k < elements_; ++k) band[k] = saturate16((line[o0[k]] * a0[k]) >> 4);
  } else {
    const std::int32_t* o1 = offset1_.data();
    const std::int16_t* a0 = alpha0_.data();
    const std::int16_t* a1 = alpha1_.data();
    for (std::size_t k = 0; k < elements_; ++k) band[k] = saturate16((line[o0[k]] * a0[k] + line[o1[k]] * a1[k]) >> 4);
  }
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
    const std::int32_t* o0 = offset0_.data();
    for (std::size_t k = 0; k < elements_; ++k) out[k] = line[o0[k]];
    return;
  }
  // A band that already holds a row keeps it: upscaling reuses both.
  auto holds = [&](std::size_t slot, std::size_t row) { return rows.band_row[slot] == static_cast<std::ptrdiff_t>(row); };
  const std::size_t top_slot = holds(1, top_row) || (!holds(0, top_row) && holds(0, bottom_row)) ? 1 : 0;
  const std::int16_t* top = horizontal(source, rows, top_slot, top_row);
  if (b1 == 0) {
    for (std::size_t k = 0; k < elements_; ++k) out[k] = blend(top[k], 0, b0, 0);
    return;
  }
  const std::int16_t* bottom = bottom_row == top_row ? top : horizontal(source, rows, 1 - top_slot, bottom_row);
  for (std::size_t k = 0; k < elements_; ++k) out[k] = blend(top[k], bottom[k], b0, b1);
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
