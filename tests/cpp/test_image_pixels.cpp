#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "image/pixels.hpp"

using namespace tallowind::image;

namespace {

struct Image {
  std::size_t width, height, channels;
  std::vector<std::uint8_t> bytes;  // HWC, packed
  SourceView view() const {
    return {bytes.data(), width, height, channels, static_cast<std::ptrdiff_t>(width * channels),
            static_cast<std::ptrdiff_t>(channels), 1};
  }
  std::uint8_t at(std::size_t x, std::size_t y, std::size_t c) const { return bytes[(y * width + x) * channels + c]; }
};

Image random_image(std::size_t width, std::size_t height, std::size_t channels, unsigned seed) {
  std::mt19937 rng(seed);
  Image image{width, height, channels, std::vector<std::uint8_t>(width * height * channels)};
  for (auto& b : image.bytes) b = static_cast<std::uint8_t>(rng());
  return image;
}

std::vector<std::uint8_t> convert(const SourceView& source, const TargetDesc& target, const Options& options,
                                  const Normalisation& normalisation = {}) {
  Converter converter;
  auto error = converter.prepare(source, target, options, normalisation);
  EXPECT_FALSE(error) << *error;
  std::vector<std::uint8_t> out(target_bytes(target), 0xEE);
  converter.run(source, out.data());
  return out;
}

}  // namespace

TEST(ImageGeometry, LetterboxScalesByTheTighterSideAndCentres) {
  const Geometry g = plan_geometry(1920, 1080, 640, 640, Fit::Letterbox, 0.875, false);
  EXPECT_EQ(g.content_width, 640u);
  EXPECT_EQ(g.content_height, 360u);
  EXPECT_EQ(g.content_x, 0u);
  EXPECT_EQ(g.content_y, 140u);
  EXPECT_DOUBLE_EQ(g.scale_x, 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(g.offset_y, 140.0);
  // Portrait, odd margins: the odd pixel goes to the bottom right.
  const Geometry p = plan_geometry(3, 10, 8, 8, Fit::Letterbox, 0.875, false);
  EXPECT_EQ(p.content_width, 2u);
  EXPECT_EQ(p.content_height, 8u);
  EXPECT_EQ(p.content_x, 3u);
}

TEST(ImageGeometry, CentreCropTakesTheRatioOfTheLargestWindow) {
  const Geometry g = plan_geometry(1920, 1080, 224, 224, Fit::CentreCrop, 0.875, false);
  EXPECT_EQ(g.window_width, 945u);
  EXPECT_EQ(g.window_height, 945u);
  EXPECT_EQ(g.window_x, (1920u - 945u) / 2);
  EXPECT_EQ(g.window_y, (1080u - 945u) / 2);
  const Geometry tiny = plan_geometry(1, 1, 224, 224, Fit::CentreCrop, 0.1, false);
  EXPECT_EQ(tiny.window_width, 1u);
}

TEST(ImageGeometry, BoxesGoBackToTheSourceThroughLetterboxAndMirror) {
  for (bool mirror : {false, true}) {
    const Geometry g = plan_geometry(1920, 1080, 640, 640, Fit::Letterbox, 0.875, mirror);
    // A source box, mapped forward by hand, comes back.
    const float source[4] = {300.0f, 150.0f, 900.0f, 600.0f};
    float model[4] = {static_cast<float>(300 * g.scale_x + g.offset_x), static_cast<float>(150 * g.scale_y + g.offset_y),
                      static_cast<float>(900 * g.scale_x + g.offset_x), static_cast<float>(600 * g.scale_y + g.offset_y)};
    if (mirror) {
      const float left = 640.0f - model[2];
      model[2] = 640.0f - model[0];
      model[0] = left;
    }
    float back[4];
    boxes_to_source(g, model, back, 1);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(back[i], source[i], 1e-3) << i << " mirror " << mirror;
  }
  // Boxes reaching into the bars are clipped to the frame.
  const Geometry g = plan_geometry(1920, 1080, 640, 640, Fit::Letterbox, 0.875, false);
  const float bars[4] = {-5.0f, 0.0f, 700.0f, 640.0f};
  float clipped[4];
  boxes_to_source(g, bars, clipped, 1);
  EXPECT_EQ(clipped[0], 0.0f);
  EXPECT_EQ(clipped[1], 0.0f);
  EXPECT_EQ(clipped[2], 1920.0f);
  EXPECT_EQ(clipped[3], 1080.0f);
}

TEST(ImageQuantize, RoundsHalfToEvenAndSaturates) {
  EXPECT_EQ(quantize_value(2.5f, 1.0f, 0, Element::UInt8), 2);
  EXPECT_EQ(quantize_value(3.5f, 1.0f, 0, Element::UInt8), 4);
  EXPECT_EQ(quantize_value(300.0f, 1.0f, 0, Element::UInt8), 255);
  EXPECT_EQ(quantize_value(-1.0f, 1.0f, 0, Element::UInt8), 0);
  EXPECT_EQ(static_cast<std::int8_t>(quantize_value(-200.0f, 1.0f, 0, Element::Int8)), -128);
  EXPECT_EQ(static_cast<std::int8_t>(quantize_value(0.5f, 1.0f / 128, -3, Element::Int8)), 61);
}

// Same size, nearest: every pixel maps to itself, so the output is the
// reference of channel order, mirror, layout and tables exactly.
struct IdentityCase {
  Layout layout;
  bool swap;
  bool mirror;
  Element element;
};

class ImageIdentity : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(ImageIdentity, ChannelOrderMirrorLayoutAndTablesAreExact) {
  const IdentityCase p = GetParam();
  const Image image = random_image(7, 5, 3, 1);
  const TargetDesc target{7, 5, 3, p.layout, p.element};
  Options options;
  options.interpolation = Interpolation::Nearest;
  options.swap_channels = p.swap;
  options.mirror = p.mirror;
  const Normalisation n{{10.0f, 20.0f, 30.0f}, {0.5f, 0.25f, 2.0f}, 0.5f, p.element == Element::Int8 ? -5 : 7};
  const auto out = convert(image.view(), target, options, n);
  for (std::size_t y = 0; y < 5; ++y) {
    for (std::size_t x = 0; x < 7; ++x) {
      for (std::size_t c = 0; c < 3; ++c) {
        const std::size_t sx = p.mirror ? 6 - x : x;
        const std::size_t sc = p.swap ? 2 - c : c;
        const float real = (static_cast<float>(image.at(sx, y, sc)) - n.mean[c]) * n.scale[c];
        const std::size_t at = p.layout == Layout::Planar ? (c * 5 + y) * 7 + x : (y * 7 + x) * 3 + c;
        if (p.element == Element::Float32) {
          float value;
          std::memcpy(&value, &out[at * 4], 4);
          EXPECT_EQ(value, real);
        } else {
          EXPECT_EQ(out[at], quantize_value(real, n.qn, n.offset, p.element)) << x << "," << y << "," << c;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, ImageIdentity,
                         ::testing::Values(IdentityCase{Layout::Planar, false, false, Element::UInt8},
                                           IdentityCase{Layout::Planar, true, true, Element::Int8},
                                           IdentityCase{Layout::Interleaved, true, false, Element::UInt8},
                                           IdentityCase{Layout::Interleaved, false, true, Element::Int8},
                                           IdentityCase{Layout::Planar, true, true, Element::Float32},
                                           IdentityCase{Layout::Interleaved, false, true, Element::Float32}));

TEST(ImageResize, NearestFollowsTheFloorOfTheScaledIndexWithAnyStrides) {
  // A transposed, channel-reversed view of a packed image: negative and
  // non-packed strides are read through the view.
  const Image image = random_image(9, 13, 3, 2);
  SourceView view{image.bytes.data() + 2, 13, 9, 3, 3, static_cast<std::ptrdiff_t>(9 * 3), -1};
  const TargetDesc target{5, 4, 3, Layout::Interleaved, Element::UInt8};
  Options options;
  options.interpolation = Interpolation::Nearest;
  const auto out = convert(view, target, options);
  for (std::size_t y = 0; y < 4; ++y) {
    for (std::size_t x = 0; x < 5; ++x) {
      const auto sx = static_cast<std::size_t>(std::floor(x * (1.0 / (5.0 / 13.0))));
      const auto sy = static_cast<std::size_t>(std::floor(y * (1.0 / (4.0 / 9.0))));
      for (std::size_t c = 0; c < 3; ++c) {
        // view (x=sx, y=sy, c) is image (x=sy, y=sx, channel 2 - c)
        EXPECT_EQ(out[(y * 5 + x) * 3 + c], image.at(sy, sx, 2 - c));
      }
    }
  }
}

TEST(ImageResize, LinearBlendsNeighboursWithRoundedFixedPointWeights) {
  // 2 -> 4 pixels, one row: half-pixel centres give x = -0.25, 0.25, 0.75,
  // 1.25; the outer ones clamp to the edge pixels.
  Image image{2, 1, 1, {0, 200}};
  const auto out = convert(image.view(), TargetDesc{4, 1, 1, Layout::Planar, Element::UInt8}, Options{});
  EXPECT_EQ(out, (std::vector<std::uint8_t>{0, 50, 150, 200}));
  // Whole-pixel ratios copy pixels: 6 -> 2 picks pixels 1 and 4.
  Image six{6, 1, 1, {10, 20, 30, 40, 50, 60}};
  EXPECT_EQ(convert(six.view(), TargetDesc{2, 1, 1, Layout::Planar, Element::UInt8}, Options{}),
            (std::vector<std::uint8_t>{20, 50}));
}

TEST(ImageResize, LetterboxFillsTheBarsWithTheFillValueThroughTheTables) {
  const Image image = random_image(8, 2, 3, 3);
  const TargetDesc target{4, 4, 3, Layout::Planar, Element::UInt8};
  Options options;
  options.fit = Fit::Letterbox;
  options.fill = 114;
  const Normalisation n{{0, 0, 0}, {1, 1, 1}, 2.0f, 1};  // 114 -> 58
  const auto out = convert(image.view(), target, options, n);
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t x = 0; x < 4; ++x) {
      EXPECT_EQ(out[(c * 4 + 0) * 4 + x], 58);
      EXPECT_EQ(out[(c * 4 + 3) * 4 + x], 58);
    }
  }
}

TEST(ImageResize, WorkersSplittingTheRowsWriteWhatOneWorkerWrites) {
  const Image image = random_image(101, 77, 3, 4);
  const TargetDesc target{40, 64, 3, Layout::Planar, Element::Int8};
  Options options;
  options.fit = Fit::Letterbox;
  Converter converter;
  ASSERT_FALSE(converter.prepare(image.view(), target, options, Normalisation{}, 3));
  std::vector<std::uint8_t> one(target_bytes(target)), split(target_bytes(target));
  converter.run(image.view(), one.data());
  converter.run(image.view(), split.data(), 40, 64, 2);
  converter.run(image.view(), split.data(), 0, 13, 1);
  converter.run(image.view(), split.data(), 13, 40, 0);
  EXPECT_EQ(one, split);
}

TEST(ImageConverter, RefusesWhatDoesNotFit) {
  const Image gray = random_image(4, 4, 1, 5);
  Converter converter;
  auto error = converter.prepare(gray.view(), TargetDesc{4, 4, 3, Layout::Planar, Element::UInt8}, Options{}, {});
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("3-channel"), std::string::npos);
  Normalisation zero;
  zero.qn = 0.0f;
  EXPECT_TRUE(converter.prepare(gray.view(), TargetDesc{4, 4, 1, Layout::Planar, Element::UInt8}, Options{}, zero));
  Options crop;
  crop.crop_ratio = 0.0;
  EXPECT_TRUE(converter.prepare(gray.view(), TargetDesc{4, 4, 1, Layout::Planar, Element::UInt8}, crop, {}));
}

// Every compiled kernel writes what the portable one writes, on rows with
// taps anywhere, any weights, and lengths that end inside a vector.
TEST(ImageKernels, EveryKernelEqualsThePortableOneElementForElement) {
  const auto kernels = pixel_kernels();
  ASSERT_EQ(std::string(kernels[0].name), "portable");
  std::mt19937 rng(9);
  std::vector<std::uint8_t> line(4096);
  for (auto& b : line) b = static_cast<std::uint8_t>(rng());
  for (int round = 0; round < 200; ++round) {
    const std::size_t count = rng() % 300;
    const auto step = static_cast<std::int32_t>(1 + rng() % 3);
    std::vector<std::int32_t> offset0(count), offset1(count), weights(count);
    // Taps scattered over the row, or close together as resizing places
    // them (so that blocks of 16 fit one window), by turns.
    const bool clustered = round % 2 == 0;
    std::int32_t walk = static_cast<std::int32_t>(rng() % 64);
    for (std::size_t k = 0; k < count; ++k) {
      walk += static_cast<std::int32_t>(rng() % 8);
      offset0[k] = clustered ? std::min(walk, 4000) : static_cast<std::int32_t>(rng() % 4000);
      const auto w1 = static_cast<std::int32_t>(rng() % 2049);
      const bool edge = rng() % 10 == 0;  // a clamped edge: one tap, weight 0 on the other
      offset1[k] = edge ? offset0[k] : offset0[k] + step;
      weights[k] = (edge ? 2048 : 2048 - w1) | ((edge ? 0 : w1) << 16);
    }
    std::vector<std::int16_t> expected(count), band(count);
    std::vector<std::int32_t> window_base;
    std::vector<std::uint8_t> window_index;
    plan_windows(offset0, offset1, window_base, window_index);
    const std::int32_t limit = 4000 + step + 1;
    const HorizontalRow row{line.data(),   offset0.data(), offset1.data(),      weights.data(),
                            count,         step,           count,               expected.data(),
                            window_base.data(), window_index.data(), limit};
    kernels[0].horizontal(row);
    std::vector<std::int16_t> other(count);
    for (std::size_t k = 0; k < count; ++k) other[k] = static_cast<std::int16_t>(rng() % 32656);
    std::vector<std::uint8_t> blended(count), reference(count);
    const auto beta1 = static_cast<std::int16_t>(rng() % 2049);
    const auto beta0 = static_cast<std::int16_t>(2048 - beta1 + static_cast<int>(rng() % 3) - 1);
    kernels[0].blend(BlendRow{expected.data(), other.data(), beta0, beta1, reference.data(), count});
    for (const PixelKernel& kernel : kernels) {
      if (!kernel.supported()) continue;
      HorizontalRow mine = row;
      mine.band = band.data();
      kernel.horizontal(mine);
      EXPECT_EQ(band, expected) << kernel.name << " round " << round;
      kernel.blend(BlendRow{expected.data(), other.data(), beta0, beta1, blended.data(), count});
      EXPECT_EQ(blended, reference) << kernel.name << " round " << round;
      std::vector<std::uint8_t> picked(count), picked_reference(count);
      kernels[0].pick(row, picked_reference.data());
      kernel.pick(row, picked.data());
      EXPECT_EQ(picked, picked_reference) << kernel.name << " round " << round;
    }
  }
}

TEST(ImageKernels, EveryPlanarKernelEqualsThePortableOne) {
  std::mt19937 rng(10);
  std::vector<std::uint8_t> tables(3 * 256), pixels(3 * 300 + 5);
  for (auto& b : tables) b = static_cast<std::uint8_t>(rng());
  for (auto& b : pixels) b = static_cast<std::uint8_t>(rng());
  for (std::size_t count : {0, 1, 63, 64, 65, 200, 300}) {
    for (bool swap : {false, true}) {
      std::array<std::vector<std::uint8_t>, 3> expected, planes;
      PlanarRow row{pixels.data() + 1, count, {tables.data(), tables.data() + 256, tables.data() + 512},
                    swap ? std::array<std::size_t, 3>{2, 1, 0} : std::array<std::size_t, 3>{0, 1, 2}, {}};
      for (std::size_t c = 0; c < 3; ++c) {
        expected[c].assign(count, 0);
        row.planes[c] = expected[c].data();
      }
      pixel_kernels()[0].planar(row);
      for (const PixelKernel& kernel : pixel_kernels()) {
        if (!kernel.supported()) continue;
        for (std::size_t c = 0; c < 3; ++c) {
          planes[c].assign(count, 0);
          row.planes[c] = planes[c].data();
        }
        kernel.planar(row);
        EXPECT_EQ(planes, expected) << kernel.name << " count " << count;
      }
    }
  }
}

TEST(ImageConverter, ASecondFrameOfTheSameShapeGetsItsOwnPixels) {
  // The tables are kept between frames of one shape; the pixels never are.
  const Image first = random_image(30, 20, 3, 11), second = random_image(30, 20, 3, 12);
  const TargetDesc target{13, 9, 3, Layout::Interleaved, Element::UInt8};
  Converter converter;
  std::vector<std::uint8_t> a(target_bytes(target)), b(target_bytes(target));
  ASSERT_FALSE(converter.prepare(first.view(), target, Options{}, Normalisation{}));
  converter.run(first.view(), a.data());
  ASSERT_FALSE(converter.prepare(second.view(), target, Options{}, Normalisation{}));
  converter.run(second.view(), b.data());
  EXPECT_EQ(b, convert(second.view(), target, Options{}));
  EXPECT_EQ(a, convert(first.view(), target, Options{}));
  EXPECT_NE(a, b);
}
