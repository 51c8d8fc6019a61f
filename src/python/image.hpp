// Images into input tensors and detections out of output tensors: the
// arguments converted, the pixel and result kernels of src/image run with
// the interpreter lock released. What Model, TensorSet and Pipeline share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>

#include "ara2/loaded_model.hpp"
#include "ara2/tensor_set.hpp"
#include "image/pixels.hpp"
#include "python/support.hpp"

namespace tallowind::python {

/// What an input asks of an image, read once from its description: the
/// tensor's shape, element type and layout, the normalisation, and the
/// geometry flags. nullopt: an exception is set (TensorError for a bpp or
/// layout an image cannot fill).
struct ImageInput {
  image::TargetDesc target;
  image::Normalisation normalisation;
  image::Fit fit = image::Fit::Stretch;
  bool mirror = false;
  bool wants_rgb = false;
};
std::optional<ImageInput> image_input(const ara2::LoadedModel& model, std::uint64_t index);

/// The arguments after the image: color, interpolation, fill, crop_ratio, and
/// threads (when the method has it).
struct ImageArgs {
  bool rgb = false;
  image::Interpolation interpolation = image::Interpolation::Linear;
  std::uint8_t fill = 114;
  double crop_ratio = 0.875;
  std::size_t threads = 1;
};
bool convert_image_args(Arg color, Arg interpolation, Arg fill, Arg crop_ratio, Arg threads, ImageArgs& out);

/// Writes `image` into input `index` of `set` (an index already checked) as
/// `input` asks, under the tensor set's write checks, and returns its
/// Geometry object; nullptr with an exception set, the tensor unchanged,
/// when anything does not fit. The interpreter lock is released while the
/// pixels are converted.
PyObject* write_image(const ImageInput& input, const ImageArgs& args, PyObject* image, ara2::TensorSet& set,
                      std::uint64_t index);

}  // namespace tallowind::python
