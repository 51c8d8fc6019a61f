#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "image/results.hpp"

using namespace tallowind::image;

namespace {

/// The textbook algorithm: sort (stable, descending), then keep a box
/// unless a kept box of its class overlaps it too much.
std::vector<std::uint32_t> reference_nms(const std::vector<float>& boxes, const std::vector<float>& scores,
                                         const std::vector<std::int64_t>& classes, float iou_threshold,
                                         float score_threshold, std::size_t max_detections) {
  std::vector<std::uint32_t> order;
  for (std::uint32_t i = 0; i < scores.size(); ++i) {
    if (scores[i] > score_threshold) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return scores[a] > scores[b]; });
  std::vector<bool> suppressed(scores.size());
  std::vector<std::uint32_t> kept;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto a = order[i];
    if (suppressed[a]) continue;
    kept.push_back(a);
    for (std::size_t j = i + 1; j < order.size(); ++j) {
      const auto b = order[j];
      if (!classes.empty() && classes[a] != classes[b]) continue;
      const float* p = &boxes[4 * a];
      const float* q = &boxes[4 * b];
      const float w = std::max(0.0f, std::min(p[2], q[2]) - std::max(p[0], q[0]));
      const float h = std::max(0.0f, std::min(p[3], q[3]) - std::max(p[1], q[1]));
      const float inter = w * h;
      const float u = (p[2] - p[0]) * (p[3] - p[1]) + (q[2] - q[0]) * (q[3] - q[1]) - inter;
      if (inter / u > iou_threshold) suppressed[b] = true;
    }
  }
  if (kept.size() > max_detections) kept.resize(max_detections);
  return kept;
}

std::vector<std::uint32_t> run_nms(const std::vector<float>& boxes, const std::vector<float>& scores,
                                   const std::vector<std::int64_t>& classes, float iou, float threshold,
                                   std::size_t max_detections) {
  std::vector<std::uint32_t> order(scores.size()), out(scores.size());
  const std::size_t kept = nms(boxes, scores, classes, iou, threshold, max_detections, order, out);
  out.resize(kept);
  return out;
}

}  // namespace

TEST(ImageTopK, BestFirstTiesByLowerIndexNaNLast) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> scores{0.5f, nan, 0.9f, 0.5f, -1.0f, 0.9f};
  std::vector<std::uint32_t> out(6);
  ASSERT_EQ(top_k(scores, 6, out), 6u);
  EXPECT_EQ(out, (std::vector<std::uint32_t>{2, 5, 0, 3, 4, 1}));
  ASSERT_EQ(top_k(scores, 3, out), 3u);
  EXPECT_EQ(std::vector<std::uint32_t>(out.begin(), out.begin() + 3), (std::vector<std::uint32_t>{2, 5, 0}));
  EXPECT_EQ(top_k({}, 5, out), 0u);
  EXPECT_EQ(top_k(scores, 0, out), 0u);
}

TEST(ImageTopK, EqualsAFullSortOnRandomScoresWithManyTies) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    std::vector<float> scores(1 + rng() % 300);
    for (auto& s : scores) s = static_cast<float>(rng() % 20);
    std::vector<std::uint32_t> all(scores.size());
    for (std::uint32_t i = 0; i < all.size(); ++i) all[i] = i;
    std::stable_sort(all.begin(), all.end(), [&](auto a, auto b) { return scores[a] > scores[b]; });
    const std::size_t k = rng() % 12;
    std::vector<std::uint32_t> out(k);
    const std::size_t n = top_k(scores, k, out);
    ASSERT_EQ(n, std::min(k, scores.size()));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + n, all.begin()));
  }
}

TEST(ImageNms, EqualsTheGreedyReferenceOnRandomBoxes) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> pos(0.0f, 100.0f), size(1.0f, 40.0f);
  for (int round = 0; round < 200; ++round) {
    const std::size_t n = rng() % 60;
    std::vector<float> boxes(4 * n), scores(n);
    std::vector<std::int64_t> classes(n);
    for (std::size_t i = 0; i < n; ++i) {
      const float x = pos(rng), y = pos(rng);
      boxes[4 * i] = x, boxes[4 * i + 1] = y, boxes[4 * i + 2] = x + size(rng), boxes[4 * i + 3] = y + size(rng);
      scores[i] = static_cast<float>(rng() % 10) / 10.0f;  // many ties
      classes[i] = rng() % 3;
    }
    const bool per_class = round % 2 == 0;
    const std::vector<std::int64_t> ids = per_class ? classes : std::vector<std::int64_t>{};
    const float iou = (round % 5) / 5.0f;
    const std::size_t max_detections = round % 7 == 0 ? 3 : 300;
    EXPECT_EQ(run_nms(boxes, scores, ids, iou, 0.15f, max_detections),
              reference_nms(boxes, scores, ids, iou, 0.15f, max_detections))
        << "round " << round;
  }
}

TEST(ImageNms, IdenticalBoxesKeepTheFirstAndOtherClassesSurvive) {
  const std::vector<float> boxes{0, 0, 10, 10, 0, 0, 10, 10, 0, 0, 10, 10};
  const std::vector<float> scores{0.8f, 0.8f, 0.8f};
  EXPECT_EQ(run_nms(boxes, scores, {}, 0.5f, 0.0f, 10), (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(run_nms(boxes, scores, {0, 1, 0}, 0.5f, 0.0f, 10), (std::vector<std::uint32_t>{0, 1}));
  EXPECT_TRUE(run_nms({}, {}, {}, 0.5f, 0.0f, 10).empty());
}

namespace {

struct Detector {
  std::size_t n, classes;
  std::vector<std::uint8_t> boxes;   // n x 4, raw
  std::vector<std::uint8_t> scores;  // n x classes, raw
};

Detector random_detector(std::size_t n, std::size_t classes, unsigned seed) {
  std::mt19937 rng(seed);
  Detector d{n, classes, std::vector<std::uint8_t>(4 * n), std::vector<std::uint8_t>(n * classes)};
  for (std::size_t i = 0; i < n; ++i) {
    d.boxes[4 * i] = static_cast<std::uint8_t>(rng() % 200 + 20);
    d.boxes[4 * i + 1] = static_cast<std::uint8_t>(rng() % 200 + 20);
    d.boxes[4 * i + 2] = static_cast<std::uint8_t>(rng() % 40 + 2);
    d.boxes[4 * i + 3] = static_cast<std::uint8_t>(rng() % 40 + 2);
  }
  for (auto& s : d.scores) s = static_cast<std::uint8_t>(rng() % 256 < 250 ? rng() % 60 : rng() % 256);
  return d;
}

}  // namespace

TEST(ImageDecode, RawScoresDecodeAsTheirDequantisedFloatsWouldInEitherLayout) {
  const Detector d = random_detector(500, 7, 3);
  const float box_qn = 2.0f, score_qn = 1.0f / 255;
  Matrix raw_boxes{d.boxes.data(), Matrix::Type::UInt8, d.n, 4, 4, 1, box_qn, 0};
  Matrix raw_scores{d.scores.data(), Matrix::Type::UInt8, d.n, d.classes, static_cast<std::ptrdiff_t>(d.classes), 1,
                    score_qn, 0};
  // The same values as float32, and the scores class-major (transposed).
  std::vector<float> float_boxes(d.boxes.size()), class_major(d.scores.size());
  for (std::size_t i = 0; i < d.boxes.size(); ++i) float_boxes[i] = static_cast<float>(d.boxes[i]) * box_qn;
  std::vector<std::uint8_t> raw_class_major(d.scores.size());
  for (std::size_t i = 0; i < d.n; ++i) {
    for (std::size_t c = 0; c < d.classes; ++c) {
      class_major[c * d.n + i] = static_cast<float>(d.scores[i * d.classes + c]) * score_qn;
      raw_class_major[c * d.n + i] = d.scores[i * d.classes + c];
    }
  }
  Matrix f_boxes{float_boxes.data(), Matrix::Type::Float32, d.n, 4, 4, 1, 1.0f, 0};
  Matrix f_scores{class_major.data(), Matrix::Type::Float32, d.n, d.classes, 1, static_cast<std::ptrdiff_t>(d.n),
                  1.0f, 0};
  Matrix r_scores_t{raw_class_major.data(), Matrix::Type::UInt8, d.n, d.classes, 1, static_cast<std::ptrdiff_t>(d.n),
                    score_qn, 0};
  DecodeOptions options;
  options.score_threshold = 0.5f;
  DecodeScratch scratch;
  std::vector<Detection> a, b, c;
  decode_detections(raw_boxes, raw_scores, options, scratch, a);
  decode_detections(f_boxes, f_scores, options, scratch, b);
  decode_detections(raw_boxes, r_scores_t, options, scratch, c);
  ASSERT_FALSE(a.empty());
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(a.size(), c.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].class_id, b[i].class_id);
    EXPECT_EQ(a[i].score, b[i].score);
    EXPECT_EQ(a[i].class_id, c[i].class_id);
    for (int q = 0; q < 4; ++q) EXPECT_EQ(a[i].box[q], b[i].box[q]);
    EXPECT_GT(a[i].score, 0.5f);
    if (i > 0) {
      EXPECT_GE(a[i - 1].score, a[i].score);
    }
  }
}

TEST(ImageDecode, SigmoidScoresAndSignedRawValues) {
  // One box, logits int8 with qn 0.1: raw 20 -> 2.0 -> sigmoid 0.8808.
  const std::int8_t scores[3] = {-50, 20, 5};
  const std::int8_t boxes[4] = {10, 10, 4, 2};
  Matrix s{scores, Matrix::Type::Int8, 1, 3, 3, 1, 0.1f, 0};
  Matrix b{boxes, Matrix::Type::Int8, 1, 4, 4, 1, 1.0f, 0};
  DecodeOptions options;
  options.sigmoid = true;
  options.score_threshold = 0.85f;
  DecodeScratch scratch;
  std::vector<Detection> out;
  ASSERT_EQ(decode_detections(b, s, options, scratch, out), 1u);
  EXPECT_EQ(out[0].class_id, 1u);
  EXPECT_NEAR(out[0].score, 1.0 / (1.0 + std::exp(-2.0)), 1e-6);
  EXPECT_EQ(out[0].box[0], 8.0f);
  EXPECT_EQ(out[0].box[3], 11.0f);
  options.score_threshold = 0.9f;
  EXPECT_EQ(decode_detections(b, s, options, scratch, out), 0u);
}

TEST(ImageDecode, SignedRawScoresInRowsOfManyClassesDecodeAsTheirFloats) {
  // 37 classes: two vectors of 16 and a tail, per box.
  std::mt19937 rng(21);
  const std::size_t n = 400, classes = 37;
  std::vector<std::int8_t> raw(n * classes), boxes(4 * n);
  std::vector<float> dequantised(n * classes), float_boxes(4 * n);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    raw[i] = static_cast<std::int8_t>(rng() % 300 == 0 ? 100 + rng() % 28 : static_cast<int>(rng() % 200) - 128);
    dequantised[i] = static_cast<float>(static_cast<std::int32_t>(raw[i]) - (-20)) * 0.01f;
  }
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    boxes[i] = static_cast<std::int8_t>(i % 4 < 2 ? rng() % 100 : 2 + rng() % 20);
    float_boxes[i] = static_cast<float>(boxes[i]);
  }
  Matrix raw_scores{raw.data(), Matrix::Type::Int8, n, classes, static_cast<std::ptrdiff_t>(classes), 1, 0.01f, -20};
  Matrix float_scores{dequantised.data(), Matrix::Type::Float32, n, classes, static_cast<std::ptrdiff_t>(classes), 1,
                      1.0f, 0};
  Matrix raw_boxes{boxes.data(), Matrix::Type::Int8, n, 4, 4, 1, 1.0f, 0};
  Matrix f_boxes{float_boxes.data(), Matrix::Type::Float32, n, 4, 4, 1, 1.0f, 0};
  DecodeOptions options;
  options.score_threshold = 1.2f;  // raw 100 and up
  DecodeScratch scratch;
  std::vector<Detection> a, b;
  decode_detections(raw_boxes, raw_scores, options, scratch, a);
  decode_detections(f_boxes, float_scores, options, scratch, b);
  ASSERT_GT(a.size(), 3u);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].class_id, b[i].class_id);
    EXPECT_EQ(a[i].score, b[i].score);
  }
}
