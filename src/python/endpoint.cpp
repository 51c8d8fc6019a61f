// Python class Endpoint: one accelerator reachable through a session.
#include "python/endpoint.hpp"

#include "python/model.hpp"
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
namespace {

struct EndpointState {
  ara2::EndpointRef ref;
};
using EndpointObject = Boxed<EndpointState>;

constexpr const char check_status_doc[] =
    "check_status($self)\n--\n\n"
    "Check the current status/state of the endpoint.\n"
    "\n"
    "Returns:\n"
    "    State: Current endpoint state";

PyObject* endpoint_check_status(PyObject* self, PyObject*) {
  auto state = ara2::check_status(EndpointObject::of(self).ref);
  if (!state) return to_python(state.error());
  return state_member(*state);
}

constexpr const char dram_statistics_doc[] =
    "dram_statistics($self)\n--\n\n"
    "Get DRAM statistics for the endpoint.\n"
    "\n"
    "Returns:\n"
    "    DramStatistics: Memory usage information";

PyObject* endpoint_dram_statistics(PyObject* self, PyObject*) {
  auto statistics = ara2::dram_statistics(EndpointObject::of(self).ref);
  if (!statistics) return to_python(statistics.error());
  return make_dram_statistics(*statistics);
}

constexpr const char load_model_doc[] =
    "load_model($self, model_path)\n--\n\n"
    "Load a neural network model from a file.\n"
    "\n"
    "Args:\n"
    "    model_path: Path to the compiled model file (.dvm)\n"
    "\n"
    "Returns:\n"
    "    Model: Loaded model ready for inference";

PyObject* endpoint_load_model(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_args("load_model", args, nargs, kwnames, {"model_path"}, 1, argv)) return nullptr;
  PathArg path;
  if (!convert_path(argv[0], "model_path", path)) return nullptr;
  auto model = ara2::Model::load(EndpointObject::of(self).ref, path.bytes);
  if (!model) return to_python(model.error());
  return make_model(std::move(*model));
}

PyObject* endpoint_repr(PyObject*) { return PyUnicode_FromString("Endpoint()"); }

PyMethodDef endpoint_methods[] = {
    {"check_status", as_method(endpoint_check_status), METH_NOARGS, check_status_doc},
    {"dram_statistics", as_method(endpoint_dram_statistics), METH_NOARGS, dram_statistics_doc},
    {"load_model", as_method(endpoint_load_model), METH_FASTCALL | METH_KEYWORDS, load_model_doc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char endpoint_doc[] =
    "ARA-2 accelerator endpoint.\n"
    "\n"
    "An endpoint represents a single ARA-2 accelerator device that can load\n"
    "and execute neural network models.";

PyType_Slot endpoint_slots[] = {
    {Py_tp_doc, const_cast<char*>(endpoint_doc)},
    {Py_tp_methods, endpoint_methods},
    {Py_tp_repr, slot<endpoint_repr>()},
    {Py_tp_str, slot<endpoint_repr>()},
    {Py_tp_dealloc, slot<EndpointObject::dealloc>()},
    {0, nullptr},
};

PyType_Spec endpoint_spec = {"tallowind_ara2.Endpoint", sizeof(EndpointObject), 0, 0, endpoint_slots};

}  // namespace

PyTypeObject* endpoint_type() {
  static PyTypeObject* type = nullptr;
  return create_type_once(type, endpoint_spec);
}

PyObject* make_endpoint(ara2::EndpointRef ref) {
  PyTypeObject* type = endpoint_type();
  if (type == nullptr) return nullptr;
  return EndpointObject::create(type, EndpointState{std::move(ref)});
}

const ara2::EndpointRef& endpoint_ref(PyObject* endpoint) noexcept { return EndpointObject::of(endpoint).ref; }

}  // namespace ara2py
