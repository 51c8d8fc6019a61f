#include <Python.h>

namespace {

int module_exec(PyObject* module) { return PyModule_AddStringConstant(module, "__version__", "0.22.0"); }

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tallowind_ara2", nullptr, 0, nullptr, module_slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tallowind_ara2() { return PyModuleDef_Init(&module_def); }
