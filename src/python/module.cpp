// Entry point of the extension: the module definition and the registration
// step that fills each new module object, in a fixed order.
#include "ara2/socket_path.hpp"
#include "python/model_data.hpp"
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
namespace {

constexpr const char module_doc[] =
    "Tallowind ARA-2 Python Library\n"
    "\n"
    "Python bindings for the ARA-2 neural accelerator client library.\n"
    "\n"
    "Example:\n"
    "    >>> import tallowind_ara2\n"
    "    >>> session = tallowind_ara2.Session.connect()\n"
    "    >>> endpoints = session.list_endpoints()\n"
    "    >>> model = endpoints[0].load_model(\"model.dvm\")\n"
    "    >>> model.allocate_tensors(\"dma\")\n"
    "    >>> timing = model.run()";

PyObject* socket_path(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_no_args("socket_path", nargs, kwnames)) return nullptr;
  return to_str(ara2::resolve_socket_path());
}

PyMethodDef socket_path_def = {
    "socket_path", as_method(socket_path), METH_FASTCALL | METH_KEYWORDS,
    "socket_path()\n--\n\n"
    "Resolves the ARA-2 proxy socket path: `ARA2_SOCKET` if set, otherwise\n"
    "the first entry in `SOCKET_PATHS` that exists, otherwise\n"
    "`DEFAULT_SOCKET`."};

/// Appends `name` to __all__ and sets the attribute, taking over `value`.
bool add_export(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttr(module, key.get(), owned.get()) == 0;
}

PyObject* new_ref(PyObject* borrowed) { return borrowed == nullptr ? nullptr : Py_NewRef(borrowed); }
PyObject* new_ref(PyTypeObject* borrowed) { return new_ref(reinterpret_cast<PyObject*>(borrowed)); }

PyObject* socket_path_list() {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (std::string_view path : ara2::socket_paths) {
    Ref item = Ref::steal(to_str(path));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};

constexpr ClassEntry classes[] = {
    {"Session", session_type},
    {"Proxy", proxy_type},
    {"ProxyEndpoint", proxy_endpoint_type},
    {"Endpoint", endpoint_type},
    {"Model", model_type},
    {"InferRequest", infer_request_type},
    {"Abi", abi_type},
    {"State", state_type},
    {"DramStatistics", dram_statistics_type},
    {"ModelTiming", model_timing_type},
    {"InputQuantization", input_quantization_type},
    {"InputPreprocess", input_preprocess_type},
    {"OutputQuantization", output_quantization_type},
    {"ModelOutputType", model_output_type_type},
    {"InputTensorInfo", input_tensor_info_type},
    {"OutputTensorInfo", output_tensor_info_type},
    {"DvmMetadata", dvm_metadata_type},
    {"DatasetInfo", dataset_info_type},
    {"ModelInfo", model_info_type},
    {"DeploymentInfo", deployment_info_type},
    {"InputSpec", input_spec_type},
    {"OutputSpec", output_spec_type},
    {"CompilationInfo", compilation_info_type},
    {"PpaMetrics", ppa_metrics_type},
    {"Ara2Info", ara2_info_type},
};

struct ExceptionEntry {
  const char* name;
  ara2::ErrorClass cls;
};

constexpr ExceptionEntry exceptions[] = {
    {"Ara2Error", ara2::ErrorClass::Ara2Error},         {"LibraryError", ara2::ErrorClass::LibraryError},
    {"HardwareError", ara2::ErrorClass::HardwareError}, {"ProxyError", ara2::ErrorClass::ProxyError},
    {"ModelError", ara2::ErrorClass::ModelError},       {"TensorError", ara2::ErrorClass::TensorError},
    {"MetadataError", ara2::ErrorClass::MetadataError},
};

PyMethodDef* (*const functions[])() = {read_metadata_method, read_labels_method, has_metadata_method,
                                       [] { return &socket_path_def; }, discover_method};

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "tallowind_ara2 can only be registered on a module, not on '%s'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  if (!add_export(module, "__version__", PyUnicode_FromString("0.22.0"))) return -1;
  if (!add_export(module, "DEFAULT_SOCKET", to_str(ara2::default_socket))) return -1;
  if (!add_export(module, "SOCKET_PATHS", socket_path_list())) return -1;
  for (const auto& entry : exceptions) {
    if (!add_export(module, entry.name, new_ref(exception_class(entry.cls)))) return -1;
  }
  for (const auto& entry : classes) {
    if (!add_export(module, entry.name, new_ref(entry.type()))) return -1;
  }
  Ref module_name = Ref::steal(PyUnicode_FromString("tallowind_ara2"));
  if (!module_name) return -1;
  for (auto method : functions) {
    PyMethodDef* def = method();
    if (!add_export(module, def->ml_name, PyCFunction_NewEx(def, module, module_name.get()))) return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)}, {0, nullptr}};

// Teardown gives back the memory parked for reuse by released arrays.
void module_free(void*) { release_parked_arrays(); }

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tallowind_ara2", module_doc, 0, nullptr, module_slots, nullptr, nullptr, module_free,
};

}  // namespace

PyMethodDef* socket_path_method() { return &socket_path_def; }

}  // namespace ara2py

PyMODINIT_FUNC PyInit_tallowind_ara2() { return PyModuleDef_Init(&ara2py::module_def); }
