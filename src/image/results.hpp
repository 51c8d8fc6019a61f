// Turning output tensors into answers: the best classes of a score vector,
// greedy non-maximum suppression, and the decoding of a detector's boxes
// and class scores. Pure functions over spans; the caller owns every buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tallowind::image {

/// Writes to `out` the indices of the min(k, scores.size()) largest scores,
/// best first, ties by the lower index; NaN ranks below every number.
/// `out` must hold that many; returns the count written.
std::size_t top_k(std::span<const float> scores, std::size_t k, std::span<std::uint32_t> out);

/// Greedy non-maximum suppression with the semantics of torchvision's nms and
/// batched_nms: candidates are the boxes (x1, y1, x2, y2) whose score is above
/// `score_threshold`, visited in descending score (ties by the lower index);
/// each kept box suppresses every later one whose IoU with it (float32
/// arithmetic, as torchvision computes it) is above `iou_threshold`, only
/// within the same class when `class_ids` is not empty. At most
/// `max_detections` indices are written to `out` (which must hold that many,
/// or the box count if fewer), in descending score; returns the count.
/// `order` is scratch of at least the box count.
std::size_t nms(std::span<const float> boxes, std::span<const float> scores, std::span<const std::int64_t> class_ids,
                float iou_threshold, float score_threshold, std::size_t max_detections,
                std::span<std::uint32_t> order, std::span<std::uint32_t> out);

/// How a detector lays out one box.
enum class BoxFormat : std::uint8_t { CentreSize, Corners };  // (cx, cy, w, h) or (x1, y1, x2, y2)

/// A tensor of `count` rows of `width` elements, each element at
/// row * row_stride + column * column_stride (in elements); raw quantised
/// values (uint8, int8) with their scale and zero point, or float32.
struct Matrix {
  enum class Type : std::uint8_t { UInt8, Int8, Float32 };
  const void* data = nullptr;
  Type type = Type::Float32;
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t column_stride = 1;
  float qn = 1.0f;
  std::int32_t offset = 0;
};

struct DecodeOptions {
  BoxFormat format = BoxFormat::CentreSize;
  bool sigmoid = false;  // the scores are logits
  float score_threshold = 0.25f;
  float iou_threshold = 0.45f;
  std::size_t max_detections = 300;
  bool per_class = true;  // suppress within each class only
};

/// One detection, in the boxes' own coordinates.
struct Detection {
  float box[4];  // x1, y1, x2, y2
  float score;
  std::uint32_t class_id;
};

/// Scratch a decode reuses from frame to frame.
struct DecodeScratch {
  std::vector<float> boxes, scores;
  std::vector<std::int64_t> classes;
  std::vector<std::uint32_t> candidates, order, kept;
  std::vector<std::uint8_t> best_raw;
};

/// Decodes a detector's boxes (N x 4) and class scores (N x C): each box
/// takes its best class; boxes whose best raw score cannot reach the
/// threshold are dropped before anything is converted; the rest are
/// dequantised (and passed through the sigmoid when asked), turned into
/// corners and suppressed. Writes at most max_detections detections to
/// `out`, best first, and returns the count.
std::size_t decode_detections(const Matrix& boxes, const Matrix& scores, const DecodeOptions& options,
                              DecodeScratch& scratch, std::vector<Detection>& out);

}  // namespace tallowind::image
