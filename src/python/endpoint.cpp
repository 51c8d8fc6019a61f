// Python class Endpoint: one accelerator reachable through a session.
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
namespace {

struct EndpointObject {
  PyObject_HEAD
};

constexpr const char endpoint_doc[] =
    "ARA-2 accelerator endpoint.\n"
    "\n"
    "An endpoint represents a single ARA-2 accelerator device that can load\n"
    "and execute neural network models.";

PyType_Slot endpoint_slots[] = {
    {Py_tp_doc, const_cast<char*>(endpoint_doc)},
    {0, nullptr},
};

PyType_Spec endpoint_spec = {"tallowind_ara2.Endpoint", sizeof(EndpointObject), 0, 0, endpoint_slots};

}  // namespace

PyTypeObject* endpoint_type() {
  static PyTypeObject* type = nullptr;
  return create_type_once(type, endpoint_spec);
}

}  // namespace ara2py
