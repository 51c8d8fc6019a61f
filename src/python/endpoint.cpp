// Python class Endpoint: one accelerator reachable through a session.
#include "python/endpoint.hpp"

#include "python/model.hpp"
#include "python/module_state.hpp"
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

struct EndpointState {
  ara2::EndpointRef ref;
};
using EndpointObject = Boxed<EndpointState>;

PyObject* endpoint_check_status(PyObject* self, PyObject*) {
  auto state = ara2::check_status(EndpointObject::of(self).ref);
  if (!state) return to_python(state.error());
  return state_member(*state);
}

PyObject* endpoint_dram_statistics(PyObject* self, PyObject*) {
  auto statistics = ara2::dram_statistics(EndpointObject::of(self).ref);
  if (!statistics) return to_python(statistics.error());
  return make_dram_statistics(*statistics);
}

PyObject* endpoint_load_model(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Endpoint::load_model, args, nargs, kwnames);
  PathArg path;
  if (!argv || !convert_path(argv[0], path)) return nullptr;
  auto model = ara2::Model::load(EndpointObject::of(self).ref, path.bytes);
  if (!model) return to_python(model.error());
  return make_model(std::move(*model));
}

PyObject* endpoint_repr(PyObject*) { return PyUnicode_FromString("Endpoint()"); }

PyMethodDef endpoint_methods[] = {
    method<endpoint_check_status>(surface::Endpoint::check_status),
    method<endpoint_dram_statistics>(surface::Endpoint::dram_statistics),
    method<endpoint_load_model>(surface::Endpoint::load_model),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot endpoint_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::Endpoint::class_.doc)},
    {Py_tp_methods, endpoint_methods},
    {Py_tp_repr, slot<endpoint_repr>()},
    {Py_tp_str, slot<endpoint_repr>()},
    {Py_tp_dealloc, slot<EndpointObject::dealloc>()},
    {0, nullptr},
};

PyType_Spec endpoint_spec = {surface::Endpoint::class_.name, sizeof(EndpointObject), 0, 0, endpoint_slots};

}  // namespace

PyTypeObject* endpoint_type() {
  PyTypeObject*& type = module_state().type(TypeId::Endpoint);
  return create_type_once(type, endpoint_spec);
}

PyObject* make_endpoint(ara2::EndpointRef ref) {
  PyTypeObject* type = endpoint_type();
  if (type == nullptr) return nullptr;
  return EndpointObject::create(type, EndpointState{std::move(ref)});
}

const ara2::EndpointRef& endpoint_ref(PyObject* endpoint) noexcept { return EndpointObject::of(endpoint).ref; }

}  // namespace tallowind::python
