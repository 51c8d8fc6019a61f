// Entry point of the extension: the module definition and the registration
// step that fills each new module object, in a fixed order.
#include "ara2/socket_path.hpp"
#include "python/tensor_io.hpp"
#include "python/exception_table.hpp"
#include "python/module_state.hpp"
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

PyObject* socket_path(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::functions::socket_path, args, nargs, kwnames)) return nullptr;
  return to_str(ara2::resolve_socket_path());
}

PyMethodDef socket_path_def = method<socket_path>(surface::functions::socket_path);

/// Sets the attribute `name`, taking over `value`; an exported one is first
/// appended to __all__ (created on first need).
bool add_attribute(PyObject* module, const char* name, bool exported, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return false;
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return false;
  if (exported) {
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
    if (PyList_Append(all.get(), key.get()) < 0) return false;
  }
  return PyObject_SetAttr(module, key.get(), owned.get()) == 0;
}

PyObject* new_ref(PyObject* borrowed) { return borrowed == nullptr ? nullptr : Py_NewRef(borrowed); }
PyObject* new_ref(PyTypeObject* borrowed) { return new_ref(reinterpret_cast<PyObject*>(borrowed)); }

// The constants' values.
PyObject* version_value() { return PyUnicode_FromString(ARA2_VERSION); }
PyObject* default_socket_value() { return to_str(ara2::kDefaultSocket); }

/// A new list on every import: callers may change theirs.
PyObject* socket_paths_value() {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (std::string_view path : ara2::kSocketPaths) {
    Ref item = Ref::steal(to_str(path));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

/// A function bound to `module`, as a built-in of its own.
template <PyMethodDef* (*Definition)()>
PyObject* bound_function(PyObject* module) {
  Ref module_name = Ref::steal(PyUnicode_FromString("tallowind_ara2"));
  if (!module_name) return nullptr;
  return PyCFunction_NewEx(Definition(), module, module_name.get());
}

struct ModuleAttribute {
  const char* name;
  bool exported;
  PyObject* (*make)(PyObject* module);  // a new reference, or nullptr with an exception set
};

// The attributes in registration order, as the surface description declares them.
#define ARA2_CONSTANT(name, id, exported) {name, exported, [](PyObject*) { return id##_value(); }},
#define ARA2_EXCEPTION(name, id, exported) \
  {name, exported, [](PyObject*) { return new_ref(exception_class(error_class_of(surface::id::class_))); }},
#define ARA2_CLASS(name, id, exported) {name, exported, [](PyObject*) { return new_ref(id##_type()); }},
#define ARA2_FUNCTION(name, id, exported) {name, exported, bound_function<id##_method>},

const ModuleAttribute module_attributes[] = {
    ARA2_MODULE_ATTRIBUTES(ARA2_CONSTANT, ARA2_EXCEPTION, ARA2_CLASS, ARA2_FUNCTION)};

#undef ARA2_CONSTANT
#undef ARA2_EXCEPTION
#undef ARA2_CLASS
#undef ARA2_FUNCTION

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "tallowind_ara2 can only be registered on a module, not on '%s'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  // Classes, exceptions and enumeration members are process-wide objects of
  // the interpreter that first imported the module: another interpreter must
  // not share them (its own types and allocator differ, and it may outlive
  // or die before the owner). Older Pythons have no slot that says so.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "module tallowind_ara2 does not support loading in subinterpreters");
    return -1;
  }
  // Counted from here on, so that the last module object to go tears the state down.
  *static_cast<bool*>(PyModule_GetState(module)) = true;
  ++module_state().live_modules;
  for (const ModuleAttribute& attribute : module_attributes) {
    if (!add_attribute(module, attribute.name, attribute.exported, attribute.make(module))) return -1;
  }
  return start_trace_from_environment() ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, slot<module_exec>()},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

// A module object going gives back the memory parked for reuse by released
// arrays; the last one (of those registered in the main interpreter: the
// per-module flag says so) releases the whole module state.
void module_free(void* module) {
  release_parked_arrays();
  auto* counted = static_cast<bool*>(PyModule_GetState(static_cast<PyObject*>(module)));
  if (counted == nullptr || !*counted) return;
  *counted = false;
  ModuleState& state = module_state();
  if (--state.live_modules == 0) state.teardown();
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tallowind_ara2", surface::module_doc, sizeof(bool), nullptr, module_slots, nullptr,
    nullptr, guarded<module_free>,
};

}  // namespace

PyMethodDef* socket_path_method() { return &socket_path_def; }

}  // namespace tallowind::python

PyMODINIT_FUNC PyInit_tallowind_ara2() { return PyModuleDef_Init(&tallowind::python::module_def); }
