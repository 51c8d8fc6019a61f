// The read-only value records handed back by sessions, endpoints and models.
// Each holds a copy of the core value; reprs come from the core.
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
namespace {

PyObject* from(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* from(std::int32_t value) { return PyLong_FromLong(value); }
PyObject* from(bool value) { return PyBool_FromLong(value); }
PyObject* from(float value) { return PyFloat_FromDouble(value); }
PyObject* from(const std::string& value) { return to_str(value); }
PyObject* from(const std::array<float, 3>& value) {
  return Py_BuildValue("(ddd)", double(value[0]), double(value[1]), double(value[2]));
}
PyObject* from(ara2::ModelOutputType value) { return output_type_member(value); }
PyObject* from(const ara2::InputQuantization& value) { return make_input_quantization(value); }
PyObject* from(const ara2::InputPreprocess& value) { return make_input_preprocess(value); }
PyObject* from(const ara2::OutputQuantization& value) { return make_output_quantization(value); }

template <class T>
PyObject* record_repr(PyObject* self) {
  return to_str(ara2::record_text(Boxed<T>::of(self)));
}

/// The getter of one attribute: a new Python value built from the record's `Member`.
template <auto Member>
PyObject* field(PyObject* self, void*) {
  using Record = typename MemberClass<decltype(Member)>::type;
  return from(Boxed<Record>::of(self).*Member);
}

#define ARA2_FIELD(T, member, doc) \
  PyGetSetDef { #member, guarded<field<&T::member>>, nullptr, const_cast<char*>(doc), nullptr }
#define ARA2_END_FIELDS \
  PyGetSetDef { nullptr, nullptr, nullptr, nullptr, nullptr }

template <class T>
struct Record {
  static inline PyTypeObject* type = nullptr;
};

template <class T>
PyType_Spec make_spec(const char* name, const char* doc, PyGetSetDef* fields) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_getset, fields},
      {Py_tp_repr, slot<record_repr<T>>()},
      {Py_tp_dealloc, slot<Boxed<T>::dealloc>()},
      {0, nullptr},
  };
  return PyType_Spec{name, static_cast<int>(sizeof(Boxed<T>)), 0, 0, slots};
}

template <class T>
PyTypeObject* record_type(const char* name, const char* doc, PyGetSetDef* fields) {
  static PyType_Spec spec = make_spec<T>(name, doc, fields);
  return create_type_once(Record<T>::type, spec);
}

template <class T>
PyObject* make_record(PyTypeObject* type, const T& value) {
  if (type == nullptr) return nullptr;
  return Boxed<T>::create(type, value);
}

using ara2::DramStatistics;
using ara2::InputPreprocess;
using ara2::InputQuantization;
using ara2::InputTensorInfo;
using ara2::ModelTiming;
using ara2::OutputQuantization;
using ara2::OutputTensorInfo;

constexpr const char signed_doc[] = "True if the tensor uses signed int8, False for uint8.";
constexpr const char offset_doc[] = "Integer zero-point offset.";
constexpr const char layer_id_doc[] = "Model layer this tensor belongs to.";
constexpr const char blob_id_doc[] = "Blob index within the layer.";
constexpr const char layer_name_doc[] = "Name of the layer, as compiled into the model.";
constexpr const char blob_name_doc[] = "Name of the blob within the layer.";
constexpr const char layer_type_doc[] = "Layer type reported by the compiler (e.g. \"Convolution\").";
constexpr const char layout_doc[] = "Data layout string (e.g., \"NCHW\").";
constexpr const char size_doc[] = "Total size in bytes.";
constexpr const char width_doc[] = "Width in pixels.";
constexpr const char height_doc[] = "Height in pixels.";
constexpr const char nch_doc[] = "Number of channels.";
constexpr const char bpp_doc[] = "Bytes per element.";
constexpr const char quant_doc[] = "Quantization parameters for converting to and from float.";

PyGetSetDef model_timing_fields[] = {
    ARA2_FIELD(ModelTiming, run_time_us, "NPU inference execution time in microseconds."),
    ARA2_FIELD(ModelTiming, input_time_us, "Input DMA transfer time in microseconds."),
    ARA2_FIELD(ModelTiming, output_time_us, "Output DMA transfer time in microseconds."),
    ARA2_END_FIELDS,
};

PyGetSetDef dram_statistics_fields[] = {
    ARA2_FIELD(DramStatistics, dram_size, "Total DRAM capacity in bytes."),
    ARA2_FIELD(DramStatistics, dram_occupancy_size, "Total occupied DRAM in bytes."),
    ARA2_FIELD(DramStatistics, free_size, "Free DRAM in bytes."),
    ARA2_FIELD(DramStatistics, reserved_occupancy_size, "Reserved DRAM in bytes."),
    ARA2_FIELD(DramStatistics, model_occupancy_size, "DRAM occupied by loaded models in bytes."),
    ARA2_FIELD(DramStatistics, tensor_occupancy_size, "DRAM occupied by tensor buffers in bytes."),
    ARA2_END_FIELDS,
};

PyGetSetDef input_quantization_fields[] = {
    ARA2_FIELD(InputQuantization, qn, "Per-tensor quantization scale."),
    ARA2_FIELD(InputQuantization, offset, offset_doc),
    ARA2_FIELD(InputQuantization, is_signed, signed_doc),
    ARA2_FIELD(InputQuantization, qmode, "Kinara quantization mode (9 = asymmetric, production default)."),
    ARA2_END_FIELDS,
};

PyGetSetDef output_quantization_fields[] = {
    ARA2_FIELD(OutputQuantization, qn, "Per-tensor quantization scale. ``float_val = (raw - offset) * qn``."),
    ARA2_FIELD(OutputQuantization, offset, offset_doc),
    ARA2_FIELD(OutputQuantization, is_signed, signed_doc),
    ARA2_END_FIELDS,
};

PyGetSetDef input_preprocess_fields[] = {
    ARA2_FIELD(InputPreprocess, mean, "Per-channel mean subtracted during preprocessing."),
    ARA2_FIELD(InputPreprocess, scale, "Per-channel scale applied after mean subtraction."),
    ARA2_FIELD(InputPreprocess, bgr_to_rgb, "True if BGR inputs must be swapped to RGB before normalization."),
    ARA2_FIELD(InputPreprocess, aspect_resize,
               "True if the source image should be letterboxed to preserve aspect\n"
               "ratio when it is resized to the model's input size."),
    ARA2_FIELD(InputPreprocess, mirror, "True if the input should be horizontally mirrored."),
    ARA2_FIELD(InputPreprocess, center_crop,
               "True if the input should be center-cropped to the model's input\n"
               "aspect ratio."),
    ARA2_END_FIELDS,
};

PyGetSetDef input_tensor_info_fields[] = {
    ARA2_FIELD(InputTensorInfo, layer_id, layer_id_doc),
    ARA2_FIELD(InputTensorInfo, blob_id, blob_id_doc),
    ARA2_FIELD(InputTensorInfo, layer_name, layer_name_doc),
    ARA2_FIELD(InputTensorInfo, blob_name, blob_name_doc),
    ARA2_FIELD(InputTensorInfo, layer_type, layer_type_doc),
    ARA2_FIELD(InputTensorInfo, layout, layout_doc),
    ARA2_FIELD(InputTensorInfo, size, size_doc),
    ARA2_FIELD(InputTensorInfo, width, width_doc),
    ARA2_FIELD(InputTensorInfo, height, height_doc),
    ARA2_FIELD(InputTensorInfo, nch, nch_doc),
    ARA2_FIELD(InputTensorInfo, bpp, bpp_doc),
    ARA2_FIELD(InputTensorInfo, batch_size, "Number of batches this tensor holds."),
    ARA2_FIELD(InputTensorInfo, quant, quant_doc),
    ARA2_FIELD(InputTensorInfo, preprocess,
               "Image preprocessing parameters (per-channel mean/scale, BGR swap,\n"
               "resize, mirror and crop flags)."),
    ARA2_END_FIELDS,
};

PyGetSetDef output_tensor_info_fields[] = {
    ARA2_FIELD(OutputTensorInfo, layer_id, layer_id_doc),
    ARA2_FIELD(OutputTensorInfo, blob_id, blob_id_doc),
    ARA2_FIELD(OutputTensorInfo, fused_parent_id, "Layer this one was fused into, or -1 when it was not fused."),
    ARA2_FIELD(OutputTensorInfo, layer_name, layer_name_doc),
    ARA2_FIELD(OutputTensorInfo, blob_name, blob_name_doc),
    ARA2_FIELD(OutputTensorInfo, layer_fused_parent_name,
               "Name of the fused parent layer, empty when it was not fused."),
    ARA2_FIELD(OutputTensorInfo, layer_type, layer_type_doc),
    ARA2_FIELD(OutputTensorInfo, layout, layout_doc),
    ARA2_FIELD(OutputTensorInfo, size, size_doc),
    ARA2_FIELD(OutputTensorInfo, width, width_doc),
    ARA2_FIELD(OutputTensorInfo, height, height_doc),
    ARA2_FIELD(OutputTensorInfo, nch, nch_doc),
    ARA2_FIELD(OutputTensorInfo, bpp, bpp_doc),
    ARA2_FIELD(OutputTensorInfo, num_classes, "Number of classes the model was trained on."),
    ARA2_FIELD(OutputTensorInfo, layer_output_type, "What kind of output this layer produces."),
    ARA2_FIELD(OutputTensorInfo, max_dynamic_id, "Highest batch id this tensor supports."),
    ARA2_FIELD(OutputTensorInfo, quant, quant_doc),
    ARA2_END_FIELDS,
};

#undef ARA2_FIELD
#undef ARA2_END_FIELDS

}  // namespace

PyTypeObject* model_timing_type() {
  return record_type<ModelTiming>("tallowind_ara2.ModelTiming", "Timing information from a model inference run.",
                                  model_timing_fields);
}

PyTypeObject* dram_statistics_type() {
  return record_type<DramStatistics>("tallowind_ara2.DramStatistics", "DRAM statistics for an endpoint.",
                                     dram_statistics_fields);
}

PyTypeObject* input_quantization_type() {
  return record_type<InputQuantization>(
      "tallowind_ara2.InputQuantization",
      "Input tensor quantization parameters.\n"
      "\n"
      "For qmode 9 models (the production default), ``qn`` is the per-tensor\n"
      "scale and ``offset`` is the integer zero-point. Per-channel image\n"
      "preprocessing lives on :class:`InputPreprocess` instead.",
      input_quantization_fields);
}

PyTypeObject* output_quantization_type() {
  return record_type<OutputQuantization>("tallowind_ara2.OutputQuantization",
                                         "Output tensor quantization parameters (qmode 9 semantics).",
                                         output_quantization_fields);
}

PyTypeObject* input_preprocess_type() {
  return record_type<InputPreprocess>(
      "tallowind_ara2.InputPreprocess",
      "Image preprocessing parameters for an input tensor.\n"
      "\n"
      "Describes how float image data is expected to be normalized before\n"
      "quantization: ``(pixel - mean[c]) * scale[c]``.",
      input_preprocess_fields);
}

PyTypeObject* input_tensor_info_type() {
  return record_type<InputTensorInfo>("tallowind_ara2.InputTensorInfo", "Detailed information about an input tensor.",
                                      input_tensor_info_fields);
}

PyTypeObject* output_tensor_info_type() {
  return record_type<OutputTensorInfo>("tallowind_ara2.OutputTensorInfo",
                                       "Detailed information about an output tensor.", output_tensor_info_fields);
}

PyObject* make_model_timing(const ModelTiming& value) { return make_record(model_timing_type(), value); }
PyObject* make_dram_statistics(const DramStatistics& value) { return make_record(dram_statistics_type(), value); }
PyObject* make_input_quantization(const InputQuantization& value) {
  return make_record(input_quantization_type(), value);
}
PyObject* make_output_quantization(const OutputQuantization& value) {
  return make_record(output_quantization_type(), value);
}
PyObject* make_input_preprocess(const InputPreprocess& value) { return make_record(input_preprocess_type(), value); }
PyObject* make_input_tensor_info(const InputTensorInfo& value) {
  return make_record(input_tensor_info_type(), value);
}
PyObject* make_output_tensor_info(const OutputTensorInfo& value) {
  return make_record(output_tensor_info_type(), value);
}

}  // namespace ara2py
