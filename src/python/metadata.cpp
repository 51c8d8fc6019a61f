// The metadata functions (read_metadata, read_labels, has_metadata) and the
// classes of the metadata document they return.
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
namespace {

struct MetadataObject {
  PyObject_HEAD
};

#define ARA2_METADATA_CLASS(ident, name, doc)                                           \
  PyType_Slot ident##_slots[] = {{Py_tp_doc, const_cast<char*>(doc)}, {0, nullptr}};   \
  PyType_Spec ident##_spec = {"tallowind_ara2." name, sizeof(MetadataObject), 0, 0, ident##_slots};

ARA2_METADATA_CLASS(dvm_metadata, "DvmMetadata", "Tallowind metadata embedded in a DVM model file.")
ARA2_METADATA_CLASS(dataset_info, "DatasetInfo", "Dataset information from model metadata.")
ARA2_METADATA_CLASS(model_info, "ModelInfo", "Model information from metadata.")
ARA2_METADATA_CLASS(deployment_info, "DeploymentInfo", "Deployment information from metadata.")
ARA2_METADATA_CLASS(input_spec, "InputSpec", "Input specification from metadata.")
ARA2_METADATA_CLASS(output_spec, "OutputSpec", "Output tensor specification from metadata.")
ARA2_METADATA_CLASS(compilation_info, "CompilationInfo", "Compilation information from metadata.")
ARA2_METADATA_CLASS(ppa_metrics, "PpaMetrics", "Performance, power, and area metrics from compilation.")
ARA2_METADATA_CLASS(ara2_info, "Ara2Info", "Kinara ARA-2 specific metadata section.")

#undef ARA2_METADATA_CLASS

PyObject* not_available(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_args(function, args, nargs, kwnames, {"path"}, 1, argv)) return nullptr;
  PathArg path;
  if (!convert_path(argv[0], "path", path)) return nullptr;
  PyErr_Format(PyExc_NotImplementedError, "%s() is not available in this build yet", function);
  return nullptr;
}

PyObject* read_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return not_available("read_metadata", args, nargs, kwnames);
}

PyObject* read_labels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return not_available("read_labels", args, nargs, kwnames);
}

PyObject* has_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return not_available("has_metadata", args, nargs, kwnames);
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

#define ARA2_METADATA_TYPE(ident)                 \
  PyTypeObject* ident##_type() {                  \
    static PyTypeObject* type = nullptr;          \
    return create_type_once(type, ident##_spec);  \
  }

ARA2_METADATA_TYPE(dvm_metadata)
ARA2_METADATA_TYPE(dataset_info)
ARA2_METADATA_TYPE(model_info)
ARA2_METADATA_TYPE(deployment_info)
ARA2_METADATA_TYPE(input_spec)
ARA2_METADATA_TYPE(output_spec)
ARA2_METADATA_TYPE(compilation_info)
ARA2_METADATA_TYPE(ppa_metrics)
ARA2_METADATA_TYPE(ara2_info)

#undef ARA2_METADATA_TYPE

PyMethodDef* read_metadata_method() { return &read_metadata_def; }
PyMethodDef* read_labels_method() { return &read_labels_def; }
PyMethodDef* has_metadata_method() { return &has_metadata_def; }

}  // namespace ara2py
