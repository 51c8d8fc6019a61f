#include "image/results.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallowind::image {
namespace {

/// Score order: larger first, NaN last, ties by the lower index.
struct Better {
  std::span<const float> scores;
  bool operator()(std::uint32_t a, std::uint32_t b) const noexcept {
    const float x = scores[a], y = scores[b];
    const bool x_nan = std::isnan(x), y_nan = std::isnan(y);
    if (x_nan != y_nan) return y_nan;
    if (!x_nan && x != y) return x > y;
    return a < b;
  }
};

/// IoU as torchvision's CPU kernel computes it, in float32.
float iou(const float* a, const float* b) noexcept {
  const float area_a = (a[2] - a[0]) * (a[3] - a[1]);
  const float area_b = (b[2] - b[0]) * (b[3] - b[1]);
  const float w = std::max(0.0f, std::min(a[2], b[2]) - std::max(a[0], b[0]));
  const float h = std::max(0.0f, std::min(a[3], b[3]) - std::max(a[1], b[1]));
  const float inter = w * h;
  return inter / (area_a + area_b - inter);
}

/// Greedy suppression over `order` (already sorted best first), compacting
/// the kept indices to its front; returns how many.
std::size_t suppress(std::span<const float> boxes, std::span<const std::int64_t> class_ids, float iou_threshold,
                     std::size_t max_detections, std::uint32_t* order, std::size_t count) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count && kept < max_detections; ++i) {
    const std::uint32_t candidate = order[i];
    const float* box = &boxes[4 * std::size_t{candidate}];
    bool keep = true;
    for (std::size_t j = 0; j < kept && keep; ++j) {
      const std::uint32_t other = order[j];
      if (!class_ids.empty() && class_ids[other] != class_ids[candidate]) continue;
      keep = !(iou(&boxes[4 * std::size_t{other}], box) > iou_threshold);
    }
    if (keep) order[kept++] = candidate;
  }
  return kept;
}

float element(const Matrix& m, std::size_t row, std::size_t column) noexcept {
  const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(row) * m.row_stride +
                            static_cast<std::ptrdiff_t>(column) * m.column_stride;
  switch (m.type) {
    case Matrix::Type::UInt8:
      return static_cast<float>(static_cast<std::int32_t>(static_cast<const std::uint8_t*>(m.data)[at]) - m.offset) *
             m.qn;
    case Matrix::Type::Int8:
      return static_cast<float>(static_cast<std::int32_t>(static_cast<const std::int8_t*>(m.data)[at]) - m.offset) *
             m.qn;
    case Matrix::Type::Float32:
      return static_cast<const float*>(m.data)[at];
  }
  return 0.0f;
}

float activate(float value, bool sigmoid) noexcept { return sigmoid ? 1.0f / (1.0f + std::exp(-value)) : value; }

/// Whether any of `count` raw scores is `reach` or more: sixteen at a time
/// (SSE2, which every x86-64 has; signed bytes compared as unsigned once
/// their top bit is flipped), without finding which.
template <class Raw>
bool reaches(const Raw* row, std::size_t count, int reach) noexcept {
  std::size_t k = 0;
#if defined(__SSE2__)
  const int flip = std::is_signed_v<Raw> ? 0x80 : 0;
  const __m128i bias = _mm_set1_epi8(static_cast<char>(flip));
  __m128i best = _mm_setzero_si128();
  for (; k + 16 <= count; k += 16) {
    const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + k));
    best = _mm_max_epu8(best, _mm_xor_si128(values, bias));
  }
  // Some lane reaches when raising the lanes to the threshold changes none of those.
  const __m128i threshold = _mm_set1_epi8(static_cast<char>(static_cast<unsigned char>(reach + flip)));
  if (k != 0 && _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(best, threshold), best)) != 0) return true;
#endif
  for (; k < count; ++k) {
    if (row[k] >= reach) return true;
  }
  return false;
}

/// Raw 8-bit scores with a positive scale, where larger raw values are larger
/// scores: the raw value a best score must reach is worked out once, each
/// box's largest raw score is found by a plain (vectorised) maximum, and
/// only the boxes that reach it look for their class, the first holding that
/// maximum. Nothing is converted on the way.
template <class Raw>
void raw_candidates(const Matrix& scores, const DecodeOptions& options, DecodeScratch& s) {
  const auto* data = static_cast<const Raw*>(scores.data);
  int reach = 256;  // the lowest raw value that passes
  for (int r = std::numeric_limits<Raw>::min(); r <= std::numeric_limits<Raw>::max(); ++r) {
    const float value = static_cast<float>(r - scores.offset) * scores.qn;
    if (activate(value, options.sigmoid) > options.score_threshold) {
      reach = r;
      break;
    }
  }
  if (reach == 256) return;
  const std::size_t n = scores.rows, c = scores.columns;
  const std::ptrdiff_t rs = scores.row_stride, cs = scores.column_stride;
  auto class_of = [&](std::size_t i, Raw best) {
    const Raw* first = data + static_cast<std::ptrdiff_t>(i) * rs;
    std::size_t k = 0;
    while (first[static_cast<std::ptrdiff_t>(k) * cs] != best) ++k;
    s.candidates.push_back(static_cast<std::uint32_t>(i));
    s.classes.push_back(static_cast<std::int64_t>(k));
  };
  if (cs == 1) {
    for (std::size_t i = 0; i < n; ++i) {
      const Raw* row = data + static_cast<std::ptrdiff_t>(i) * rs;
      if (!reaches(row, c, reach)) continue;  // most boxes: no class scores
      Raw best = row[0];
      for (std::size_t k = 1; k < c; ++k) best = std::max(best, row[k]);
      if (best >= reach) class_of(i, best);
    }
    return;
  }
  // Class-major layouts: one class at a time over every box.
  s.best_raw.resize(n * sizeof(Raw));
  Raw* best = reinterpret_cast<Raw*>(s.best_raw.data());
  for (std::size_t i = 0; i < n; ++i) best[i] = data[static_cast<std::ptrdiff_t>(i) * rs];
  for (std::size_t k = 1; k < c; ++k) {
    const Raw* column = data + static_cast<std::ptrdiff_t>(k) * cs;
    if (rs == 1) {
      for (std::size_t i = 0; i < n; ++i) best[i] = std::max(best[i], column[i]);
    } else {
      for (std::size_t i = 0; i < n; ++i) best[i] = std::max(best[i], column[static_cast<std::ptrdiff_t>(i) * rs]);
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (best[i] >= reach) class_of(i, best[i]);
  }
}

void float_candidates(const Matrix& scores, const DecodeOptions& options, DecodeScratch& s) {
  for (std::size_t i = 0; i < scores.rows; ++i) {
    float best = element(scores, i, 0);
    std::size_t best_class = 0;
    for (std::size_t k = 1; k < scores.columns; ++k) {
      const float value = element(scores, i, k);
      if (value > best) best = value, best_class = k;
    }
    if (activate(best, options.sigmoid) > options.score_threshold) {
      s.candidates.push_back(static_cast<std::uint32_t>(i));
      s.classes.push_back(static_cast<std::int64_t>(best_class));
    }
  }
}

}  // namespace

std::size_t top_k(std::span<const float> scores, std::size_t k, std::span<std::uint32_t> out) {
  const std::size_t count = std::min(k, scores.size());
  if (count == 0) return 0;
  // A heap of the best `count` seen so far, its worst on top.
  const Better better{scores};
  std::uint32_t* heap = out.data();
  std::iota(heap, heap + count, 0u);
  std::make_heap(heap, heap + count, better);
  for (std::size_t i = count; i < scores.size(); ++i) {
    const auto index = static_cast<std::uint32_t>(i);
    if (better(index, heap[0])) {
      std::pop_heap(heap, heap + count, better);
      heap[count - 1] = index;
      std::push_heap(heap, heap + count, better);
    }
  }
  std::sort_heap(heap, heap + count, better);
  return count;
}

std::size_t nms(std::span<const float> boxes, std::span<const float> scores, std::span<const std::int64_t> class_ids,
                float iou_threshold, float score_threshold, std::size_t max_detections,
                std::span<std::uint32_t> order, std::span<std::uint32_t> out) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (scores[i] > score_threshold) order[count++] = static_cast<std::uint32_t>(i);
  }
  std::sort(order.data(), order.data() + count, Better{scores});
  const std::size_t kept = suppress(boxes, class_ids, iou_threshold, max_detections, order.data(), count);
  std::copy(order.data(), order.data() + kept, out.data());
  return kept;
}

std::size_t decode_detections(const Matrix& boxes, const Matrix& scores, const DecodeOptions& options,
                              DecodeScratch& s, std::vector<Detection>& out) {
  out.clear();
  s.candidates.clear();
  s.classes.clear();
  if (scores.rows == 0 || scores.columns == 0) return 0;
  if (scores.type != Matrix::Type::Float32 && !(scores.qn > 0.0f)) {
    float_candidates(scores, options, s);  // a scale that is not positive: compare dequantised values
  } else if (scores.type == Matrix::Type::UInt8) {
    raw_candidates<std::uint8_t>(scores, options, s);
  } else if (scores.type == Matrix::Type::Int8) {
    raw_candidates<std::int8_t>(scores, options, s);
  } else {
    float_candidates(scores, options, s);
  }
  // Only the candidates are converted.
  const std::size_t count = s.candidates.size();
  s.boxes.resize(4 * count);
  s.scores.resize(count);
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t i = s.candidates[j];
    float v[4];
    for (std::size_t q = 0; q < 4; ++q) v[q] = element(boxes, i, q);
    float* box = &s.boxes[4 * j];
    if (options.format == BoxFormat::CentreSize) {
      box[0] = v[0] - v[2] * 0.5f, box[1] = v[1] - v[3] * 0.5f, box[2] = v[0] + v[2] * 0.5f,
      box[3] = v[1] + v[3] * 0.5f;
    } else {
      std::copy(v, v + 4, box);
    }
    s.scores[j] = activate(element(scores, i, static_cast<std::size_t>(s.classes[j])), options.sigmoid);
  }
  s.order.resize(count);
  s.kept.resize(count);
  const std::size_t kept =
      nms(s.boxes, s.scores, options.per_class ? std::span<const std::int64_t>(s.classes) : std::span<const std::int64_t>{},
          options.iou_threshold, options.score_threshold, options.max_detections, s.order, s.kept);
  out.resize(kept);
  for (std::size_t j = 0; j < kept; ++j) {
    const std::size_t at = s.kept[j];
    Detection& d = out[j];
    std::copy(&s.boxes[4 * at], &s.boxes[4 * at] + 4, d.box);
    d.score = s.scores[at];
    d.class_id = static_cast<std::uint32_t>(s.classes[at]);
  }
  return kept;
}

}  // namespace tallowind::image
