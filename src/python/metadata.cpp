// The metadata functions (read_metadata, read_labels, has_metadata) and the
// classes of the metadata document they return. Each object holds a private
// copy of its section; every attribute access builds a new Python value.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ara2/dvm_archive.hpp"
#include "ara2/metadata.hpp"
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
namespace {

PyObject* make(const ara2::DatasetInfo& value);
PyObject* make(const ara2::InputSpec& value);
PyObject* make(const ara2::ModelInfo& value);
PyObject* make(const ara2::OutputSpec& value);
PyObject* make(const ara2::DeploymentInfo& value);
PyObject* make(const ara2::CompilationInfo& value);
PyObject* make(const ara2::PpaMetrics& value);
PyObject* make(const ara2::Ara2Info& value);
PyObject* make(const ara2::DvmMetadata& value);

PyObject* from(bool value) { return PyBool_FromLong(value); }
PyObject* from(double value) { return PyFloat_FromDouble(value); }
PyObject* from(std::uint32_t value) { return PyLong_FromUnsignedLong(value); }
PyObject* from(std::int32_t value) { return PyLong_FromLong(value); }
PyObject* from(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* from(std::int64_t value) { return PyLong_FromLongLong(value); }
PyObject* from(const std::string& value) { return to_str(value); }

PyObject* from(const ara2::DShapeItem& item) {
  Ref name = Ref::steal(to_str(item.name));
  Ref extent = Ref::steal(PyLong_FromUnsignedLongLong(item.extent));
  if (!name || !extent) return nullptr;
  return PyTuple_Pack(2, name.get(), extent.get());
}

template <class T>
  requires requires(const T& v) { make(v); }
PyObject* from(const T& record) {
  return make(record);
}

template <class T>
PyObject* from(const std::optional<T>& value) {
  if (!value) Py_RETURN_NONE;
  return from(*value);
}

template <class T>
PyObject* from(const std::vector<T>& values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = from(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

template <class T>
PyObject* record_repr(PyObject* self) {
  return to_str(ara2::repr(Boxed<T>::of(self)));
}

/// The getter of one attribute: a new Python value built from `Member` (a
/// data member or an accessor of the record) on every access.
template <auto Member>
PyObject* field(PyObject* self, void*) {
  using Record = typename MemberClass<decltype(Member)>::type;
  return from(std::invoke(Member, Boxed<Record>::of(self)));
}

#define ARA2_FIELD(T, name, member, doc) \
  PyGetSetDef { name, guarded<field<&T::member>>, nullptr, const_cast<char*>(doc), nullptr }
#define ARA2_END_FIELDS \
  PyGetSetDef { nullptr, nullptr, nullptr, nullptr, nullptr }

using ara2::CompilationInfo;
using ara2::DatasetInfo;
using ara2::DeploymentInfo;
using ara2::DvmMetadata;
using ara2::InputSpec;
using ara2::ModelInfo;
using ara2::OutputSpec;
using ara2::PpaMetrics;
using ara2::Ara2Info;

PyGetSetDef dvm_metadata_fields[] = {
    ARA2_FIELD(DvmMetadata, "task", task, "Model task type (e.g., \"detect\", \"segment\", \"classify\")."),
    ARA2_FIELD(DvmMetadata, "classes", classes, "Class labels from the dataset."),
    ARA2_FIELD(DvmMetadata, "dataset", dataset, "Dataset information."),
    ARA2_FIELD(DvmMetadata, "input", input, "Input specification."),
    ARA2_FIELD(DvmMetadata, "model", model, "Model information."),
    ARA2_FIELD(DvmMetadata, "deployment", deployment, "Deployment information."),
    ARA2_FIELD(DvmMetadata, "compilation", compilation, "Compilation information."),
    ARA2_FIELD(DvmMetadata, "ara2", ara2, "ARA-2 / Kinara-specific metadata (quantization mode, etc.)"),
    ARA2_FIELD(DvmMetadata, "decoder_version", decoder_version, "Decoder version string (e.g., \"yolov8\")."),
    ARA2_FIELD(DvmMetadata, "nms", nms, "NMS type (e.g., \"class_agnostic\")."),
    ARA2_FIELD(DvmMetadata, "outputs", outputs, "Output specifications."),
    ARA2_END_FIELDS,
};

PyGetSetDef dataset_info_fields[] = {
    ARA2_FIELD(DatasetInfo, "classes", classes, "Class label strings."),
    ARA2_FIELD(DatasetInfo, "id", id, "Dataset identifier (e.g., \"coco2017\")."),
    ARA2_FIELD(DatasetInfo, "name", name, "Human-readable dataset name."),
    ARA2_END_FIELDS,
};

PyGetSetDef input_spec_fields[] = {
    ARA2_FIELD(InputSpec, "size", size, "Size string (e.g., \"640x480\")."),
    ARA2_FIELD(InputSpec, "input_channels", input_channels, "Number of input channels."),
    ARA2_FIELD(InputSpec, "output_channels", output_channels, "Number of output channels."),
    ARA2_FIELD(InputSpec, "cameraadaptor", cameraadaptor, "Camera adaptor type (e.g., \"rgb\", \"bgr\")."),
    ARA2_END_FIELDS,
};

PyGetSetDef model_info_fields[] = {
    ARA2_FIELD(ModelInfo, "model_task", model_task, "Task type (e.g., \"detect\", \"segment\", \"classify\")."),
    ARA2_FIELD(ModelInfo, "model_size", model_size, "Model size variant (e.g., \"s\", \"m\", \"l\", \"x\")."),
    ARA2_FIELD(ModelInfo, "model_version", model_version, "Source model version string."),
    ARA2_FIELD(ModelInfo, "detection", detection, "True if the model produces detection outputs."),
    ARA2_FIELD(ModelInfo, "segmentation", segmentation, "True if the model produces segmentation outputs."),
    ARA2_END_FIELDS,
};

PyGetSetDef output_spec_fields[] = {
    ARA2_FIELD(OutputSpec, "index", index, "Output index."),
    ARA2_FIELD(OutputSpec, "name", name, "Output name."),
    ARA2_FIELD(OutputSpec, "output_type", output_type, "Output type (detection, segmentation, etc.)."),
    ARA2_FIELD(OutputSpec, "decoder", decoder, "Decoder to use."),
    ARA2_FIELD(OutputSpec, "decode", decode, "Whether to decode this output."),
    ARA2_FIELD(OutputSpec, "dtype", dtype, "Data type (float32, int8, etc.)."),
    ARA2_FIELD(OutputSpec, "shape", shape, "Tensor shape."),
    ARA2_FIELD(OutputSpec, "dshape", dshape,
               "Physical axis names in memory order, as `(name, extent)` pairs.\n"
               "\n"
               "Names are the metadata spellings (`\"batch\"`, `\"num_boxes\"`,\n"
               "`\"num_protos\"`, ...) so a caller can map them onto\n"
               "`tallowind.decoder.DimName` without this package depending on the\n"
               "decoder. Empty when the producer omitted the field."),
    ARA2_FIELD(OutputSpec, "normalized", normalized,
               "Whether box coordinates are already normalized to `[0, 1]`.\n"
               "\n"
               "`None` when the metadata does not say \xE2\x80\x94 the caller must then assume\n"
               "pixel-space coordinates and divide the box quantization scale by the\n"
               "model's input dimension. Only meaningful for `boxes` and `detection`\n"
               "outputs."),
    ARA2_END_FIELDS,
};

PyGetSetDef deployment_info_fields[] = {
    ARA2_FIELD(DeploymentInfo, "model_name", model_name, "Model name for deployment."),
    ARA2_FIELD(DeploymentInfo, "name", name, "Human-readable deployment name."),
    ARA2_FIELD(DeploymentInfo, "author", author, "Author or organization."),
    ARA2_FIELD(DeploymentInfo, "description", description, "Description of the deployed model."),
    ARA2_END_FIELDS,
};

PyGetSetDef compilation_info_fields[] = {
    ARA2_FIELD(CompilationInfo, "target", target, "Target hardware (e.g., \"ara-2\")."),
    ARA2_FIELD(CompilationInfo, "format", format, "Model format (e.g., \"dvm\")."),
    ARA2_FIELD(CompilationInfo, "ppa", ppa, "Performance, power and area metrics."),
    ARA2_END_FIELDS,
};

PyGetSetDef ppa_metrics_fields[] = {
    ARA2_FIELD(PpaMetrics, "ips", ips, "Inferences per second."),
    ARA2_FIELD(PpaMetrics, "power_mw", power_mw, "Power consumption in milliwatts."),
    ARA2_FIELD(PpaMetrics, "cycles", cycles, "Execution cycles."),
    ARA2_FIELD(PpaMetrics, "ddr_bw_mbps", ddr_bw_mbps, "DDR bandwidth in MB/s."),
    ARA2_END_FIELDS,
};

PyGetSetDef ara2_info_fields[] = {
    ARA2_FIELD(Ara2Info, "qmode", qmode, "Kinara quantization mode (9 = asymmetric, the production default)."),
    ARA2_END_FIELDS,
};

#undef ARA2_FIELD
#undef ARA2_END_FIELDS

PyObject* input_spec_dimensions(PyObject* self, PyObject*) {
  const auto dimensions = Boxed<InputSpec>::of(self).dimensions();
  if (!dimensions) Py_RETURN_NONE;
  return Py_BuildValue("(kk)", static_cast<unsigned long>(dimensions->first),
                       static_cast<unsigned long>(dimensions->second));
}

PyMethodDef input_spec_methods[] = {
    {"dimensions", as_method(input_spec_dimensions), METH_NOARGS,
     "dimensions($self)\n--\n\nParse the size string into (width, height)."},
    {nullptr, nullptr, 0, nullptr},
};

template <class T>
struct MetadataClass {
  static inline PyTypeObject* type = nullptr;
};

template <class T>
PyTypeObject* metadata_type(const char* name, const char* doc, PyGetSetDef* fields,
                            PyMethodDef* methods = nullptr) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_getset, fields},
      {Py_tp_repr, slot<record_repr<T>>()},
      {Py_tp_dealloc, slot<Boxed<T>::dealloc>()},
      {methods ? Py_tp_methods : 0, methods},
      {0, nullptr},
  };
  static PyType_Spec spec{name, static_cast<int>(sizeof(Boxed<T>)), 0, 0, slots};
  return create_type_once(MetadataClass<T>::type, spec);
}

template <class T>
PyObject* make_object(PyTypeObject* type, const T& value) {
  if (type == nullptr) return nullptr;
  return Boxed<T>::create(type, value);
}

PyObject* make(const DatasetInfo& value) { return make_object(dataset_info_type(), value); }
PyObject* make(const InputSpec& value) { return make_object(input_spec_type(), value); }
PyObject* make(const ModelInfo& value) { return make_object(model_info_type(), value); }
PyObject* make(const OutputSpec& value) { return make_object(output_spec_type(), value); }
PyObject* make(const DeploymentInfo& value) { return make_object(deployment_info_type(), value); }
PyObject* make(const CompilationInfo& value) { return make_object(compilation_info_type(), value); }
PyObject* make(const PpaMetrics& value) { return make_object(ppa_metrics_type(), value); }
PyObject* make(const Ara2Info& value) { return make_object(ara2_info_type(), value); }
PyObject* make(const DvmMetadata& value) { return make_object(dvm_metadata_type(), value); }

// --- Module functions ------------------------------------------------------

/// Binds the one `path` argument; false with a TypeError set.
bool path_argument(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PathArg& path) {
  PyObject* argv[1];
  return bind_args(function, args, nargs, kwnames, {"path"}, 1, argv) && convert_path(argv[0], "path", path);
}

/// Whatever the error's kind, these functions raise it as MetadataError.
std::nullptr_t raise_metadata_error(const ara2::CoreError& error) {
  return raise_as(ara2::ErrorClass::MetadataError, error.message());
}

PyObject* read_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PathArg path;
  if (!path_argument("read_metadata", args, nargs, kwnames, path)) return nullptr;
  auto metadata = ara2::dvm_read_metadata(path.bytes);
  if (!metadata) return raise_metadata_error(metadata.error());
  return from(*metadata);
}

PyObject* read_labels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PathArg path;
  if (!path_argument("read_labels", args, nargs, kwnames, path)) return nullptr;
  auto labels = ara2::dvm_read_labels(path.bytes);
  if (!labels) return raise_metadata_error(labels.error());
  return from(*labels);
}

PyObject* has_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PathArg path;
  if (!path_argument("has_metadata", args, nargs, kwnames, path)) return nullptr;
  auto found = ara2::dvm_has_metadata(path.bytes);
  if (!found) return raise_metadata_error(found.error());
  return from(*found);
}

constexpr const char read_metadata_doc[] =
    "read_metadata(path)\n--\n\n"
    "Read Tallowind metadata from a DVM model file.\n"
    "\n"
    "Args:\n"
    "    path: Path to the .dvm model file (str or os.PathLike)\n"
    "\n"
    "Returns:\n"
    "    DvmMetadata or None if the file has no embedded metadata\n"
    "\n"
    "Raises:\n"
    "    MetadataError: If the file cannot be read or metadata is malformed";

constexpr const char read_labels_doc[] =
    "read_labels(path)\n--\n\n"
    "Read class labels from a DVM model file.\n"
    "\n"
    "Args:\n"
    "    path: Path to the .dvm model file (str or os.PathLike)\n"
    "\n"
    "Returns:\n"
    "    list[str]: Class label strings (empty if not present)\n"
    "\n"
    "Raises:\n"
    "    MetadataError: If the file cannot be read";

constexpr const char has_metadata_doc[] =
    "has_metadata(path)\n--\n\n"
    "Check if a DVM file has embedded metadata.\n"
    "\n"
    "Args:\n"
    "    path: Path to the .dvm model file (str or os.PathLike)\n"
    "\n"
    "Returns:\n"
    "    bool: True if the file contains Tallowind metadata";

PyMethodDef read_metadata_def = {"read_metadata", as_method(read_metadata), METH_FASTCALL | METH_KEYWORDS,
                                 read_metadata_doc};
PyMethodDef read_labels_def = {"read_labels", as_method(read_labels), METH_FASTCALL | METH_KEYWORDS,
                               read_labels_doc};
PyMethodDef has_metadata_def = {"has_metadata", as_method(has_metadata), METH_FASTCALL | METH_KEYWORDS,
                                has_metadata_doc};

}  // namespace

PyTypeObject* dvm_metadata_type() {
  return metadata_type<DvmMetadata>("tallowind_ara2.DvmMetadata", "Tallowind metadata embedded in a DVM model file.",
                                    dvm_metadata_fields);
}
PyTypeObject* dataset_info_type() {
  return metadata_type<DatasetInfo>("tallowind_ara2.DatasetInfo", "Dataset information from model metadata.",
                                    dataset_info_fields);
}
PyTypeObject* model_info_type() {
  return metadata_type<ModelInfo>("tallowind_ara2.ModelInfo", "Model information from metadata.", model_info_fields);
}
PyTypeObject* deployment_info_type() {
  return metadata_type<DeploymentInfo>("tallowind_ara2.DeploymentInfo", "Deployment information from metadata.",
                                       deployment_info_fields);
}
PyTypeObject* input_spec_type() {
  return metadata_type<InputSpec>("tallowind_ara2.InputSpec", "Input specification from metadata.",
                                  input_spec_fields, input_spec_methods);
}
PyTypeObject* output_spec_type() {
  return metadata_type<OutputSpec>("tallowind_ara2.OutputSpec", "Output tensor specification from metadata.",
                                   output_spec_fields);
}
PyTypeObject* compilation_info_type() {
  return metadata_type<CompilationInfo>("tallowind_ara2.CompilationInfo", "Compilation information from metadata.",
                                        compilation_info_fields);
}
PyTypeObject* ppa_metrics_type() {
  return metadata_type<PpaMetrics>("tallowind_ara2.PpaMetrics",
                                   "Performance, power, and area metrics from compilation.", ppa_metrics_fields);
}
PyTypeObject* ara2_info_type() {
  return metadata_type<Ara2Info>("tallowind_ara2.Ara2Info", "Kinara ARA-2 specific metadata section.",
                                 ara2_info_fields);
}

PyMethodDef* read_metadata_method() { return &read_metadata_def; }
PyMethodDef* read_labels_method() { return &read_labels_def; }
PyMethodDef* has_metadata_method() { return &has_metadata_def; }

}  // namespace ara2py
