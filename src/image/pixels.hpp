// Camera frames into input tensors: one pass from a strided 8-bit image to a
// model's tensor, resizing (stretch, letterbox or centre crop, then mirror),
// reordering channels, normalising, quantising and laying out on the way.
// Pure functions over plain records: no Python, no client library. A
// Converter keeps the tables of one frame shape and allocates only when a
// frame needs larger tables than before.
//
// Resizing matches OpenCV's cv::resize bit for bit: INTER_LINEAR (half-pixel
// centres, 11-bit fixed-point weights, and the rounding of its vectorised
// vertical pass) and INTER_NEAREST (floor of x * source/target). The pixel
// values are then mapped through a 256-entry table per channel computed with
// the float32 formula (pixel - mean) * scale, then rint(x / qn) + offset.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tallowind::image {

/// A 1- or 3-channel 8-bit image anywhere in memory: `data` is pixel (0, 0),
/// channel 0; strides are in bytes and may be negative.
struct SourceView {
  const std::uint8_t* data = nullptr;
  std::size_t width = 0;
  std::size_t height = 0;
  std::size_t channels = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t pixel_stride = 0;
  std::ptrdiff_t channel_stride = 1;
};

enum class Layout : std::uint8_t { Planar, Interleaved };     // CHW or HWC
enum class Element : std::uint8_t { UInt8, Int8, Float32 };  // quantised or not

/// The tensor written: width x height pixels of `channels` elements.
struct TargetDesc {
  std::size_t width = 0;
  std::size_t height = 0;
  std::size_t channels = 0;
  Layout layout = Layout::Planar;
  Element element = Element::UInt8;
  bool operator==(const TargetDesc&) const = default;
};

/// Bytes the target takes.
std::size_t target_bytes(const TargetDesc& target) noexcept;

enum class Fit : std::uint8_t { Stretch, Letterbox, CentreCrop };
enum class Interpolation : std::uint8_t { Linear, Nearest };

struct Options {
  Fit fit = Fit::Stretch;
  bool mirror = false;
  bool swap_channels = false;  // reverse the three channels (BGR <-> RGB)
  Interpolation interpolation = Interpolation::Linear;
  std::uint8_t fill = 114;    // letterbox bars, in pixel values
  double crop_ratio = 0.875;  // centre crop: the share of the largest window of the target's shape
  bool operator==(const Options&) const = default;
};

/// Per model channel: real = (pixel - mean) * scale; quantised targets then
/// take rint(real / qn) + offset, saturated.
struct Normalisation {
  std::array<float, 3> mean{0.0f, 0.0f, 0.0f};
  std::array<float, 3> scale{1.0f, 1.0f, 1.0f};
  float qn = 1.0f;
  std::int32_t offset = 0;
  bool operator==(const Normalisation&) const = default;
};

/// Where a frame lands in the target. A source point (x, y) maps to
/// (x * scale_x + offset_x, y * scale_y + offset_y) in target pixels
/// (continuous coordinates, pixel edges at integers), then, when mirrored,
/// x to target_width - x.
struct Geometry {
  double scale_x = 1.0;
  double scale_y = 1.0;
  double offset_x = 0.0;
  double offset_y = 0.0;
  bool mirrored = false;
  std::size_t source_width = 0;
  std::size_t source_height = 0;
  std::size_t target_width = 0;
  std::size_t target_height = 0;
  // The source window that is resized (the whole frame except for a centre
  // crop) and the target rectangle it fills (the whole target except for a
  // letterbox).
  std::size_t window_x = 0, window_y = 0, window_width = 0, window_height = 0;
  std::size_t content_x = 0, content_y = 0, content_width = 0, content_height = 0;
};

/// The geometry of a source_width x source_height frame fitted to the target.
/// Letterbox: scaled by min(tw / sw, th / sh), sizes rounded (at least 1),
/// centred with the odd pixel of the margins at the bottom right. Centre
/// crop: the largest window of the target's aspect ratio, times crop_ratio,
/// rounded (at least 1), centred the same way. Sizes must be non-zero and
/// crop_ratio in (0, 1].
Geometry plan_geometry(std::size_t source_width, std::size_t source_height, std::size_t target_width,
                       std::size_t target_height, Fit fit, double crop_ratio, bool mirror) noexcept;

/// Maps `count` boxes (x1, y1, x2, y2) from target to source coordinates,
/// undoing the mirror (which swaps x1 and x2), clipped to the source frame.
/// `in` and `out` may be the same.
void boxes_to_source(const Geometry& geometry, const float* in, float* out, std::size_t count) noexcept;

/// The tables for one frame shape, and the per-worker row buffers.
class Converter {
 public:
  /// Checks the pair and builds the tables; the error text when the two do
  /// not fit (channels, sizes, a non-finite or zero qn for a quantised
  /// target). `workers` row buffers are kept for run().
  std::optional<std::string> prepare(const SourceView& source, const TargetDesc& target, const Options& options,
                                     const Normalisation& normalisation, std::size_t workers = 1);

  const Geometry& geometry() const noexcept { return geometry_; }

  /// Writes target rows [row_begin, row_end) of `target_data` (target_bytes()
  /// long) from `source`, which must have the shape prepare() saw. Different
  /// workers may run different rows at once. Allocates nothing.
  void run(const SourceView& source, std::uint8_t* target_data, std::size_t row_begin, std::size_t row_end,
           std::size_t worker) noexcept;

  /// All rows by worker 0.
  void run(const SourceView& source, std::uint8_t* target_data) noexcept {
    run(source, target_data, 0, target_.height, 0);
  }

 private:
  struct Rows {
    std::vector<std::int16_t> band[2];  // horizontally resized source rows, >> 4
    std::ptrdiff_t band_row[2] = {-1, -1};
    std::vector<std::uint8_t> pixels;  // one resized target row, source channel order
  };
  const std::int16_t* horizontal(const SourceView& source, Rows& rows, std::size_t slot, std::size_t row) noexcept;
  void resize_row(const SourceView& source, Rows& rows, std::size_t target_row) noexcept;

  /// What the tables were built for.
  struct Shape {
    std::size_t width, height, channels;
    std::ptrdiff_t row_stride, pixel_stride, channel_stride;
    TargetDesc target;
    Options options;
    Normalisation normalisation;
    std::size_t workers;
    bool operator==(const Shape&) const = default;
  };
  std::optional<Shape> shape_;
  TargetDesc target_;
  Options options_;
  Geometry geometry_;
  std::size_t elements_ = 0;            // content_width * channels
  bool single_tap_ = false;             // every second horizontal weight is zero
  std::vector<std::int32_t> offset0_;   // per content element: byte offset of the first tap in a source row
  std::vector<std::int32_t> offset1_;   // of the second tap
  std::vector<std::int32_t> weights_;   // both taps' weights, packed as HorizontalRow says
  std::int32_t pixel_step_ = 0;         // as HorizontalRow says
  std::size_t wide_end_ = 0;
  std::int32_t limit_ = 0;
  std::vector<std::int32_t> window_base_;
  std::vector<std::uint8_t> window_index_;
  std::vector<std::int32_t> row0_;      // per content row: first source row (within the window)
  std::vector<std::int16_t> beta0_, beta1_;
  std::array<std::array<std::uint8_t, 256>, 3> table8_{};  // per model channel: pixel -> quantised
  std::array<std::array<float, 256>, 3> table32_{};        // pixel -> normalised
  std::array<std::size_t, 3> source_channel_{0, 1, 2};     // model channel c reads this source channel
  std::vector<Rows> rows_;
};

// The two inner loops of linear resizing, compiled once per instruction set
// ("portable" runs on any x86-64; "avx2" where the CPU has it). Every kernel
// gives the same bytes; a unit test compares them element for element.

/// band[k] = (line[offset0[k]] * w0 + line[offset1[k]] * w1) >> 4 for
/// k < count, where weights[k] packs w0 (low 16 bits) and w1 (high). When
/// `pixel_step` is 1 to 3, offset1[k] is offset0[k] + pixel_step wherever
/// w1 is not zero, and for k < wide_end the 4 bytes at line + offset0[k] are
/// readable: wide kernels then read both taps with one load.
/// `windows` (from plan_windows) lets a kernel read each block of 16
/// elements from one 128-byte window of the row that holds all its taps;
/// `limit` is one past the last byte any tap reads.
struct HorizontalRow {
  const std::uint8_t* line;
  const std::int32_t* offset0;
  const std::int32_t* offset1;
  const std::int32_t* weights;
  std::size_t count;
  std::int32_t pixel_step;
  std::size_t wide_end;
  std::int16_t* band;
  const std::int32_t* window_base = nullptr;
  const std::uint8_t* window_index = nullptr;
  std::int32_t limit = 0;
};

/// Per block of 16 elements: the offset where its window starts
/// (kNoWindow when its taps span 128 bytes or more) and 32 indexes into the
/// window (the 16 first taps, then the 16 second ones).
inline constexpr std::int32_t kNoWindow = INT32_MIN;
void plan_windows(std::span<const std::int32_t> offset0, std::span<const std::int32_t> offset1,
                  std::vector<std::int32_t>& base, std::vector<std::uint8_t>& index);

/// out[k] = ((top[k] * beta0) >> 16) + ((bottom[k] * beta1) >> 16), + 2, >> 2,
/// saturated to 0-255.
struct BlendRow {
  const std::int16_t* top;
  const std::int16_t* bottom;
  std::int16_t beta0, beta1;
  std::uint8_t* out;
  std::size_t count;
};

/// planes[c][x] = tables[c][pixels[3 * x + source_channel[c]]] for x < count
/// and c < 3: three interleaved channels through their tables into planes.
struct PlanarRow {
  const std::uint8_t* pixels;
  std::size_t count;
  std::array<const std::uint8_t*, 3> tables;
  std::array<std::size_t, 3> source_channel;
  std::array<std::uint8_t*, 3> planes;
};

struct PixelKernel {
  const char* name;
  bool (*supported)() noexcept;
  void (*horizontal)(const HorizontalRow& row) noexcept;
  void (*blend)(const BlendRow& row) noexcept;
  void (*planar)(const PlanarRow& row) noexcept;
  /// out[k] = line[offset0[k]] for k < count: whole-pixel resizing.
  void (*pick)(const HorizontalRow& row, std::uint8_t* out) noexcept;
};

/// The kernels built into this binary, narrowest first.
std::span<const PixelKernel> pixel_kernels() noexcept;

/// rint(real / qn) + offset saturated to the element's range, as the tables hold it.
std::uint8_t quantize_value(float real, float qn, std::int32_t offset, Element element) noexcept;

}  // namespace tallowind::image
