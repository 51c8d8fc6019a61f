// Images into input tensors (set_input_image, the Geometry class) and
// answers out of outputs (top_k, nms, decode_detections): arguments
// converted here, the work done by src/image with the interpreter lock
// released. Scratch lives per thread and only grows, so a frame loop
// allocates nothing in the kernels.
#include "python/image.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ara2/metadata.hpp"
#include "ara2/trace.hpp"
#include "image/results.hpp"
#include "python/model.hpp"
#include "python/model_data.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

#include "python/tensor_io.hpp"

// numpy's C API through tensor_io.cpp's table (ensure_numpy imports it).
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL tallowind_ara2_numpy_api
#include <numpy/arrayobject.h>

namespace tallowind::python {
namespace {

constexpr std::size_t kMaxThreads = 16;

std::nullptr_t raise_tensor(std::string_view text) { return to_python(ara2::CoreError::tensor_access(text)); }
std::nullptr_t raise_value(std::string_view text) { return raise_error(PyExc_ValueError, text); }

bool convert_double(Arg arg, double& out) {
  if (arg.object == nullptr) return true;
  const double value = PyFloat_AsDouble(arg.object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_bool(Arg arg, bool& out) {
  if (arg.object == nullptr) return true;
  const int value = PyObject_IsTrue(arg.object);
  if (value < 0) return false;
  out = value != 0;
  return true;
}

/// A str argument that must be one of `choices`.
bool convert_choice(Arg arg, std::initializer_list<std::string_view> choices, std::string& out) {
  if (arg.object == nullptr) return true;
  if (!convert_str(arg, out)) return false;
  if (std::find(choices.begin(), choices.end(), out) != choices.end()) return true;
  std::string names;
  for (std::string_view choice : choices) names += fmt::format("{}'{}'", names.empty() ? "" : " or ", choice);
  raise_value(fmt::format("{} must be {}, not '{}'", arg.name, names, out));
  return false;
}

/// An integer argument within [low, high].
bool convert_bounded(Arg arg, std::uint64_t low, std::uint64_t high, std::uint64_t& out) {
  if (arg.object == nullptr) return true;
  if (!convert_u64(arg, out)) return false;
  if (out >= low && out <= high) return true;
  raise_value(fmt::format("{} must be between {} and {}, not {}", arg.name, low, high, out));
  return false;
}

// ---------------------------------------------------------------------------
// The image argument

/// A strided view of the image's buffer, held while the view is in use.
class ImageBuffer {
 public:
  ImageBuffer() = default;
  ImageBuffer(const ImageBuffer&) = delete;
  ImageBuffer& operator=(const ImageBuffer&) = delete;
  ~ImageBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  /// The image as a source of `channels` channels, or an exception.
  bool acquire(PyObject* image, std::size_t channels, image::SourceView& out) {
    if (PyObject_GetBuffer(image, &view_, PyBUF_RECORDS_RO) < 0) {
      PyErr_Clear();
      raise_error(PyExc_TypeError,
                  fmt::format("image must be a uint8 array, not {}", Py_TYPE(image)->tp_name));
      return false;
    }
    held_ = true;
    const std::string_view format = view_.format != nullptr ? view_.format : "B";
    if (view_.itemsize != 1 || (format != "B" && format != "=B" && format != "<B" && format != "|B")) {
      Ref dtype = Ref::steal(PyObject_GetAttrString(image, "dtype"));
      Ref text = dtype ? Ref::steal(PyObject_Str(dtype.get())) : Ref();
      PyErr_Clear();
      const char* name = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
      PyErr_Clear();
      raise_error(PyExc_TypeError, fmt::format("image must be a uint8 array, got {}",
                                               name != nullptr ? name : std::string("format '") +
                                                                            std::string(format) + "'"));
      return false;
    }
    const Py_ssize_t* shape = view_.shape;
    const bool fits = channels == 3 ? view_.ndim == 3 && shape[2] == 3
                                    : view_.ndim == 2 || (view_.ndim == 3 && shape[2] == 1);
    if (!fits) {
      std::string got = "(";
      for (int i = 0; i < view_.ndim; ++i) got += fmt::format("{}{}", i ? ", " : "", shape[i]);
      got += view_.ndim == 1 ? ",)" : ")";
      raise_value(fmt::format("expected an image of height x width{} for this {}-channel input, got shape {}",
                              channels == 3 ? " x 3" : " (or height x width x 1)", channels, got));
      return false;
    }
    if (shape[0] == 0 || shape[1] == 0) {
      raise_value("the image is empty");
      return false;
    }
    out.data = static_cast<const std::uint8_t*>(view_.buf);
    out.height = static_cast<std::size_t>(shape[0]);
    out.width = static_cast<std::size_t>(shape[1]);
    out.channels = channels;
    out.row_stride = view_.strides[0];
    out.pixel_stride = view_.strides[1];
    out.channel_stride = view_.ndim == 3 ? view_.strides[2] : 1;
    // Offsets within a row are 32-bit.
    const double reach = std::abs(static_cast<double>(out.pixel_stride)) * static_cast<double>(out.width) +
                         std::abs(static_cast<double>(out.channel_stride)) * 3.0;
    if (reach >= 2147483647.0) {
      raise_value("the image's rows span more than 2 GiB");
      return false;
    }
    return true;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// ---------------------------------------------------------------------------
// Geometry

PyObject* geometry_repr(PyObject* self) {
  const image::Geometry& g = Boxed<image::Geometry>::of(self);
  const std::string text =
      fmt::format("Geometry(scale_x={}, scale_y={}, offset_x={}, offset_y={}, mirrored={}, source={}x{}, target={}x{})",
                  g.scale_x, g.scale_y, g.offset_x, g.offset_y, g.mirrored ? "true" : "false", g.source_width,
                  g.source_height, g.target_width, g.target_height);
  return to_str(text);
}

PyObject* from(double value) { return PyFloat_FromDouble(value); }
PyObject* from(bool value) { return PyBool_FromLong(value); }
PyObject* from(std::size_t value) { return PyLong_FromSize_t(value); }

template <auto Member>
PyObject* geometry_field(PyObject* self, void*) {
  return from(Boxed<image::Geometry>::of(self).*Member);
}

/// `object` as an aligned, C-ordered float32 array of `ndim` dimensions (any
/// with 0); a new reference or nullptr with an exception set.
PyArrayObject* float_array(PyObject* object, int ndim) {
  if (!ensure_numpy()) return nullptr;
  return reinterpret_cast<PyArrayObject*>(
      PyArray_FROMANY(object, NPY_FLOAT32, ndim, ndim, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
}

/// An N x 4 float32 array of boxes, or a ValueError naming `name`.
Ref boxes_array(PyObject* object, const char* name) {
  Ref array = Ref::steal(reinterpret_cast<PyObject*>(float_array(object, 0)));
  if (!array) return Ref();
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) != 4) {
    raise_value(fmt::format("{} must be an N x 4 array", name));
    return Ref();
  }
  return array;
}

PyObject* geometry_to_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Geometry::to_source, args, nargs, kwnames);
  if (!argv) return nullptr;
  Ref boxes = boxes_array(argv[0].object, "boxes");
  if (!boxes) return nullptr;
  auto* in = reinterpret_cast<PyArrayObject*>(boxes.get());
  npy_intp dims[2] = {PyArray_DIM(in, 0), 4};
  PyObject* out = PyArray_SimpleNew(2, dims, NPY_FLOAT32);
  if (out == nullptr) return nullptr;
  image::boxes_to_source(Boxed<image::Geometry>::of(self), static_cast<const float*>(PyArray_DATA(in)),
                         static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out))),
                         static_cast<std::size_t>(dims[0]));
  return out;
}

using image::Geometry;
PyGetSetDef geometry_getset[] = {
    getter<geometry_field<&Geometry::scale_x>>(surface::Geometry::scale_x),
    getter<geometry_field<&Geometry::scale_y>>(surface::Geometry::scale_y),
    getter<geometry_field<&Geometry::offset_x>>(surface::Geometry::offset_x),
    getter<geometry_field<&Geometry::offset_y>>(surface::Geometry::offset_y),
    getter<geometry_field<&Geometry::mirrored>>(surface::Geometry::mirrored),
    getter<geometry_field<&Geometry::source_width>>(surface::Geometry::source_width),
    getter<geometry_field<&Geometry::source_height>>(surface::Geometry::source_height),
    getter<geometry_field<&Geometry::target_width>>(surface::Geometry::target_width),
    getter<geometry_field<&Geometry::target_height>>(surface::Geometry::target_height),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef geometry_methods[] = {
    method<geometry_to_source>(surface::Geometry::to_source),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* make_geometry(const Geometry& geometry) { return make_value(geometry_type(), geometry); }

// ---------------------------------------------------------------------------
// Writing an image

/// The converter of this thread: its tables only grow.
image::Converter& thread_converter() {
  thread_local image::Converter converter;
  return converter;
}

std::string element_name(image::Element element) {
  switch (element) {
    case image::Element::UInt8:
      return "uint8";
    case image::Element::Int8:
      return "int8";
    case image::Element::Float32:
      return "float32";
  }
  return "?";
}

}  // namespace

PyTypeObject* geometry_type() {
  return value_class<Geometry, geometry_repr>(TypeId::Geometry, surface::Geometry::class_, geometry_getset, geometry_methods);
}

std::optional<ImageInput> image_input(const ara2::LoadedModel& model, std::uint64_t index) {
  auto info = model.input_info(index);
  if (!info) {
    to_python(info.error());
    return std::nullopt;
  }
  ImageInput input;
  image::TargetDesc& target = input.target;
  target.width = info->width;
  target.height = info->height;
  target.channels = info->nch;
  if (info->nch != 1 && info->nch != 3) {
    raise_tensor(fmt::format("input {} has {} channels; images fill inputs of 1 or 3", index, info->nch));
    return std::nullopt;
  }
  if (info->bpp == 1) {
    target.element = info->quant.is_signed ? image::Element::Int8 : image::Element::UInt8;
  } else if (info->bpp == 4) {
    target.element = image::Element::Float32;
  } else {
    raise_tensor(fmt::format("input {} has {} bytes per element; images fill inputs of 1 (uint8, int8) or 4 "
                             "(float32)", index, info->bpp));
    return std::nullopt;
  }
  std::string layout = info->layout;
  for (char& c : layout) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (layout == "CHW" || layout == "NCHW") {
    target.layout = image::Layout::Planar;
  } else if (layout == "HWC" || layout == "NHWC") {
    target.layout = image::Layout::Interleaved;
  } else if (info->nch != 1) {
    raise_tensor(fmt::format("input {} has layout '{}'; images fill CHW, NCHW, HWC or NHWC", index, info->layout));
    return std::nullopt;
  }
  input.normalisation = {info->preprocess.mean, info->preprocess.scale, info->quant.qn, info->quant.offset};
  input.fit = info->preprocess.center_crop     ? image::Fit::CentreCrop
              : info->preprocess.aspect_resize ? image::Fit::Letterbox
                                               : image::Fit::Stretch;
  input.mirror = info->preprocess.mirror;
  input.wants_rgb = info->preprocess.bgr_to_rgb;
  return input;
}

bool convert_image_args(Arg color, Arg interpolation, Arg fill, Arg crop_ratio, Arg threads, ImageArgs& out) {
  std::string color_name = "bgr", interpolation_name = "linear";
  std::uint64_t fill_value = out.fill, thread_count = out.threads;
  if (!convert_choice(color, {"bgr", "rgb"}, color_name)) return false;
  if (!convert_choice(interpolation, {"linear", "nearest"}, interpolation_name)) return false;
  if (!convert_bounded(fill, 0, 255, fill_value)) return false;
  if (!convert_double(crop_ratio, out.crop_ratio)) return false;
  if (!(out.crop_ratio > 0.0 && out.crop_ratio <= 1.0)) {
    raise_value(fmt::format("crop_ratio must be in (0, 1], not {}", out.crop_ratio));
    return false;
  }
  if (!convert_bounded(threads, 1, kMaxThreads, thread_count)) return false;
  out.rgb = color_name == "rgb";
  out.interpolation =
      interpolation_name == "nearest" ? image::Interpolation::Nearest : image::Interpolation::Linear;
  out.fill = static_cast<std::uint8_t>(fill_value);
  out.threads = static_cast<std::size_t>(thread_count);
  return true;
}

PyObject* write_image(const ImageInput& input, const ImageArgs& args, PyObject* image, ara2::TensorSet& set,
                      std::uint64_t index) {
  ImageBuffer buffer;
  image::SourceView source;
  if (!buffer.acquire(image, input.target.channels, source)) return nullptr;
  const std::size_t needed = image::target_bytes(input.target);
  const std::uint64_t held = set.inputs()[index].size();
  if (held != needed) {
    return raise_tensor(fmt::format("the input tensor holds {} bytes; a {} x {} x {} {} image needs {}", held,
                                    input.target.channels, input.target.height, input.target.width,
                                    element_name(input.target.element), needed));
  }
  image::Options options;
  options.fit = input.fit;
  options.mirror = input.mirror;
  options.swap_channels = input.target.channels == 3 && input.wants_rgb != args.rgb;
  options.interpolation = args.interpolation;
  options.fill = args.fill;
  options.crop_ratio = args.crop_ratio;
  image::Converter& converter = thread_converter();
  if (auto error = converter.prepare(source, input.target, options, input.normalisation, args.threads)) {
    return raise_value(*error);
  }
  const std::size_t rows = input.target.height;
  const std::size_t workers = std::min(args.threads, rows);
  ara2::Result<void> written;
  Py_BEGIN_ALLOW_THREADS
  written = set.with_input(index, needed, [&](std::span<std::uint8_t> tensor) {
    std::uint8_t* data = tensor.data();
    if (workers <= 1) {
      converter.run(source, data);
      return;
    }
    // Contiguous bands of rows, the last one on this thread.
    std::vector<std::thread> helpers;
    auto band = [&](std::size_t w) { return rows * w / workers; };
    for (std::size_t w = 1; w < workers; ++w) {
      helpers.emplace_back([&, w] { converter.run(source, data, band(w), band(w + 1), w); });
    }
    converter.run(source, data, 0, band(1), 0);
    for (std::thread& helper : helpers) helper.join();
  });
  Py_END_ALLOW_THREADS
  if (!written) return to_python(written.error());
  return make_geometry(converter.geometry());
}

PyObject* data_set_input_image(const TargetClass& cls, const Signature<7>& signature, const Call& call) {
  return with_index(cls, ara2::Direction::Input, true, signature, call,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<7>& argv) -> PyObject* {
                      ImageArgs image_args;
                      if (!convert_image_args(argv[2], argv[3], argv[4], argv[5], argv[6], image_args)) {
                        return nullptr;
                      }
                      // What a pending request reads must not change under it.
                      if (auto writable = target.set->check_inputs_writable(); !writable) {
                        return to_python(writable.error());
                      }
                      auto input = image_input(*target.model, index);
                      if (!input) return nullptr;
                      const ara2::trace::Scope span(ara2::trace::Phase::InputWrite, endpoint_of(target),
                                                    ara2::trace::tensor(index));
                      return write_image(*input, image_args, argv[1].object, *target.set, index);
                    });
}

// ---------------------------------------------------------------------------
// Results: top_k, nms, decode_detections

namespace {

PyObject* top_k(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::functions::top_k, args, nargs, kwnames);
  if (!argv) return nullptr;
  std::uint64_t k = surface::functions::top_k_k_default;
  if (argv[1].object != nullptr && !convert_u64(argv[1], k)) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      return raise_value("k must not be negative");
    }
    return nullptr;
  }
  PyObject* labels = argv[2].object != nullptr && argv[2].object != Py_None ? argv[2].object : nullptr;
  Ref scores = Ref::steal(reinterpret_cast<PyObject*>(float_array(argv[0].object, 0)));
  if (!scores) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(scores.get());
  const std::span<const float> values(static_cast<const float*>(PyArray_DATA(array)),
                                      static_cast<std::size_t>(PyArray_SIZE(array)));
  thread_local std::vector<std::uint32_t> best;
  best.resize(std::min<std::uint64_t>(k, values.size()));
  const std::size_t count = image::top_k(values, best.size(), best);
  const Py_ssize_t label_count = labels != nullptr ? PyObject_Length(labels) : 0;
  if (label_count < 0) return nullptr;
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!result) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t index = best[i];
    Ref label = index < static_cast<std::size_t>(label_count)
                    ? Ref::steal(PySequence_GetItem(labels, static_cast<Py_ssize_t>(index)))
                    : Ref::borrow(Py_None);
    if (!label) return nullptr;
    PyObject* item = Py_BuildValue("(IOd)", index, label.get(), static_cast<double>(values[index]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item);
  }
  return result.release();
}

PyObject* index_array(std::span<const std::uint32_t> indices) {
  npy_intp dims[1] = {static_cast<npy_intp>(indices.size())};
  PyObject* out = PyArray_SimpleNew(1, dims, NPY_INT64);
  if (out == nullptr) return nullptr;
  auto* data = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)));
  std::copy(indices.begin(), indices.end(), data);
  return out;
}

PyObject* nms(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  namespace defaults = surface::functions;
  auto argv = bind_args(surface::functions::nms, args, nargs, kwnames);
  if (!argv) return nullptr;
  double iou = defaults::nms_iou_threshold_default, threshold = defaults::nms_score_threshold_default;
  std::uint64_t max_detections = defaults::nms_max_detections_default;
  if (!convert_double(argv[2], iou) || !convert_double(argv[3], threshold)) return nullptr;
  if (argv[4].object != nullptr && !convert_u64(argv[4], max_detections)) return nullptr;
  Ref boxes = boxes_array(argv[0].object, "boxes");
  if (!boxes) return nullptr;
  Ref scores = Ref::steal(reinterpret_cast<PyObject*>(float_array(argv[1].object, 1)));
  if (!scores) return nullptr;
  const auto n = static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(boxes.get()), 0));
  if (static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(scores.get()), 0)) != n) {
    return raise_value("boxes and scores must have the same length");
  }
  Ref classes;
  std::span<const std::int64_t> class_ids;
  if (argv[5].object != nullptr && argv[5].object != Py_None) {
    classes = Ref::steal(PyArray_FROMANY(argv[5].object, NPY_INT64, 1, 1, NPY_ARRAY_IN_ARRAY));
    if (!classes) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(classes.get());
    if (static_cast<std::size_t>(PyArray_DIM(a, 0)) != n) return raise_value("class_ids must have one per box");
    class_ids = {static_cast<const std::int64_t*>(PyArray_DATA(a)), n};
  }
  const std::span<const float> box_values(
      static_cast<const float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(boxes.get()))), 4 * n);
  const std::span<const float> score_values(
      static_cast<const float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(scores.get()))), n);
  thread_local std::vector<std::uint32_t> order, kept;
  order.resize(n);
  kept.resize(n);
  std::size_t count = 0;
  Py_BEGIN_ALLOW_THREADS
  count = image::nms(box_values, score_values, class_ids, static_cast<float>(iou), static_cast<float>(threshold),
                     max_detections, order, kept);
  Py_END_ALLOW_THREADS
  return index_array({kept.data(), count});
}

/// The (qn, offset) of a quantisation record (anything with those attributes).
bool convert_quant(Arg arg, std::optional<std::pair<float, std::int32_t>>& out) {
  if (arg.object == nullptr || arg.object == Py_None) return true;
  Ref qn = Ref::steal(PyObject_GetAttrString(arg.object, "qn"));
  Ref offset = qn ? Ref::steal(PyObject_GetAttrString(arg.object, "offset")) : Ref();
  if (!offset) {
    PyErr_Clear();
    raise_error(PyExc_TypeError, fmt::format("{} must have qn and offset (output_quants(i)) or be None", arg.name));
    return false;
  }
  const double scale = PyFloat_AsDouble(qn.get());
  const long zero = PyLong_AsLong(offset.get());
  if (PyErr_Occurred()) return false;
  out = std::pair{static_cast<float>(scale), static_cast<std::int32_t>(zero)};
  return true;
}

/// A 2-D view (leading dimensions of 1 dropped) of an output: raw 8-bit when
/// quantised, float32 otherwise (converted when it is not).
bool matrix_of(Arg arg, const std::optional<std::pair<float, std::int32_t>>& quant, Ref& holder,
               image::Matrix& out) {
  if (!ensure_numpy()) return false;
  PyArrayObject* array = nullptr;
  if (quant) {
    if (!PyArray_Check(arg.object) ||
        (PyArray_TYPE(reinterpret_cast<PyArrayObject*>(arg.object)) != NPY_UINT8 &&
         PyArray_TYPE(reinterpret_cast<PyArrayObject*>(arg.object)) != NPY_INT8)) {
      raise_value(fmt::format("{} must be a uint8 or int8 array when its quantisation is given", arg.name));
      return false;
    }
    holder = Ref::borrow(arg.object);
    array = reinterpret_cast<PyArrayObject*>(arg.object);
    out.type = PyArray_TYPE(array) == NPY_UINT8 ? image::Matrix::Type::UInt8 : image::Matrix::Type::Int8;
    out.qn = quant->first;
    out.offset = quant->second;
  } else {
    holder = Ref::steal(PyArray_FROMANY(arg.object, NPY_FLOAT32, 0, 0, NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
    if (!holder) return false;
    array = reinterpret_cast<PyArrayObject*>(holder.get());
    out.type = image::Matrix::Type::Float32;
  }
  int first = 0;
  while (PyArray_NDIM(array) - first > 2 && PyArray_DIM(array, first) == 1) ++first;
  if (PyArray_NDIM(array) - first != 2) {
    raise_value(fmt::format("{} must be a 2-D array (rows by columns)", arg.name));
    return false;
  }
  const npy_intp item = PyArray_ITEMSIZE(array);
  out.data = PyArray_DATA(array);
  out.rows = static_cast<std::size_t>(PyArray_DIM(array, first));
  out.columns = static_cast<std::size_t>(PyArray_DIM(array, first + 1));
  out.row_stride = PyArray_STRIDE(array, first) / item;
  out.column_stride = PyArray_STRIDE(array, first + 1) / item;
  return true;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

/// What an OutputSpec of the model file says about the boxes and scores,
/// where it says anything, over the arguments.
bool follow_metadata(PyObject* object, image::DecodeOptions& options, bool& normalized) {
  PyTypeObject* type = output_spec_type();
  if (type == nullptr) return false;
  if (Py_TYPE(object) != type) {
    raise_error(PyExc_TypeError, "metadata must be an OutputSpec (read_metadata(path).outputs[i]) or None");
    return false;
  }
  const ara2::OutputSpec& spec = Boxed<ara2::OutputSpec>::of(object);
  if (spec.normalized) normalized = *spec.normalized;
  if (spec.encoding) {
    const std::string encoding = lower(*spec.encoding);
    if (encoding == "xywh" || encoding == "cxcywh" || encoding == "center") {
      options.format = image::BoxFormat::CentreSize;
    } else if (encoding == "xyxy" || encoding == "ltrb" || encoding == "corners") {
      options.format = image::BoxFormat::Corners;
    } else {
      raise_value(fmt::format("the metadata's box encoding '{}' is not one this decoder knows (xywh, cxcywh, "
                              "center; xyxy, ltrb, corners)", *spec.encoding));
      return false;
    }
  }
  if (spec.score_format) {
    const std::string format = lower(*spec.score_format);
    if (format == "logits" || format == "logit" || format == "raw") {
      options.sigmoid = true;
    } else if (format == "sigmoid" || format == "probabilities" || format == "probability" || format == "softmax") {
      options.sigmoid = false;
    } else {
      raise_value(fmt::format("the metadata's score format '{}' is not one this decoder knows (logits, raw; "
                              "sigmoid, probabilities, softmax)", *spec.score_format));
      return false;
    }
  }
  return true;
}

PyObject* decode_detections(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  namespace defaults = surface::functions;
  auto argv = bind_args(surface::functions::decode_detections, args, nargs, kwnames);
  if (!argv) return nullptr;
  std::optional<std::pair<float, std::int32_t>> boxes_quant, scores_quant;
  std::string format = "xywh";
  image::DecodeOptions options;
  bool normalized = false;
  double threshold = defaults::decode_detections_score_threshold_default;
  double iou = defaults::decode_detections_iou_threshold_default;
  std::uint64_t max_detections = defaults::decode_detections_max_detections_default;
  if (!convert_quant(argv[2], boxes_quant) || !convert_quant(argv[3], scores_quant) ||
      !convert_choice(argv[4], {"xywh", "xyxy"}, format) || !convert_bool(argv[5], options.sigmoid) ||
      !convert_bool(argv[6], normalized) || !convert_double(argv[7], threshold) || !convert_double(argv[8], iou) ||
      !convert_bool(argv[11], options.per_class)) {
    return nullptr;
  }
  if (argv[9].object != nullptr && !convert_u64(argv[9], max_detections)) return nullptr;
  options.format = format == "xyxy" ? image::BoxFormat::Corners : image::BoxFormat::CentreSize;
  const Geometry* geometry = nullptr;
  if (argv[10].object != nullptr && argv[10].object != Py_None) {
    PyTypeObject* type = geometry_type();
    if (type == nullptr) return nullptr;
    if (Py_TYPE(argv[10].object) != type) return raise_error(PyExc_TypeError, "geometry must be a Geometry or None");
    geometry = &Boxed<Geometry>::of(argv[10].object);
  }
  if (argv[12].object != nullptr && argv[12].object != Py_None &&
      !follow_metadata(argv[12].object, options, normalized)) {
    return nullptr;
  }
  if (normalized && geometry == nullptr) return raise_value("normalized boxes need the geometry of the input");
  Ref boxes_holder, scores_holder;
  image::Matrix boxes, scores;
  if (!matrix_of(argv[0], boxes_quant, boxes_holder, boxes) || !matrix_of(argv[1], scores_quant, scores_holder, scores)) {
    return nullptr;
  }
  if (boxes.columns != 4) return raise_value("boxes must have 4 columns (a transposed view will do)");
  if (boxes.rows != scores.rows) return raise_value("boxes and scores must have one row per box each");
  options.score_threshold = static_cast<float>(threshold);
  options.iou_threshold = static_cast<float>(iou);
  options.max_detections = static_cast<std::size_t>(max_detections);
  thread_local image::DecodeScratch scratch;
  thread_local std::vector<image::Detection> found;
  Py_BEGIN_ALLOW_THREADS
  image::decode_detections(boxes, scores, options, scratch, found);
  Py_END_ALLOW_THREADS
  const npy_intp count = static_cast<npy_intp>(found.size());
  npy_intp box_dims[2] = {count, 4};
  Ref out_boxes = Ref::steal(PyArray_SimpleNew(2, box_dims, NPY_FLOAT32));
  Ref out_scores = Ref::steal(PyArray_SimpleNew(1, &count, NPY_FLOAT32));
  Ref out_classes = Ref::steal(PyArray_SimpleNew(1, &count, NPY_INT64));
  if (!out_boxes || !out_scores || !out_classes) return nullptr;
  auto* b = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out_boxes.get())));
  auto* s = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out_scores.get())));
  auto* c = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out_classes.get())));
  for (std::size_t i = 0; i < found.size(); ++i) {
    std::copy(found[i].box, found[i].box + 4, b + 4 * i);
    if (normalized) {
      b[4 * i] *= static_cast<float>(geometry->target_width), b[4 * i + 2] *= static_cast<float>(geometry->target_width);
      b[4 * i + 1] *= static_cast<float>(geometry->target_height);
      b[4 * i + 3] *= static_cast<float>(geometry->target_height);
    }
    s[i] = found[i].score;
    c[i] = found[i].class_id;
  }
  if (geometry != nullptr) image::boxes_to_source(*geometry, b, b, found.size());
  return Py_BuildValue("(OOO)", out_boxes.get(), out_scores.get(), out_classes.get());
}

PyMethodDef top_k_def = method<top_k>(surface::functions::top_k);
PyMethodDef nms_def = method<nms>(surface::functions::nms);
PyMethodDef decode_detections_def = method<decode_detections>(surface::functions::decode_detections);

}  // namespace

PyMethodDef* top_k_method() { return &top_k_def; }
PyMethodDef* nms_method() { return &nms_def; }
PyMethodDef* decode_detections_method() { return &decode_detections_def; }

}  // namespace tallowind::python
