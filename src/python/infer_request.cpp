// Python class InferRequest: an asynchronous inference in flight.
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
namespace {

struct InferRequestObject {
  PyObject_HEAD
};

constexpr const char infer_request_doc[] =
    "A pending asynchronous inference request.\n"
    "\n"
    "Created by :meth:`Model.submit`. Call :meth:`wait` to block until the\n"
    "NPU finishes and retrieve timing information. The GIL is released\n"
    "during ``wait()`` so other Python threads can run.\n"
    "\n"
    "The underlying request is freed automatically when the object is\n"
    "garbage-collected or when ``wait()`` returns.\n"
    "\n"
    "Example::\n"
    "\n"
    "    request = model.submit()\n"
    "    # ... pre-process next frame while NPU is busy ...\n"
    "    timing = request.wait()";

PyType_Slot infer_request_slots[] = {
    {Py_tp_doc, const_cast<char*>(infer_request_doc)},
    {0, nullptr},
};

PyType_Spec infer_request_spec = {"tallowind_ara2.InferRequest", sizeof(InferRequestObject), 0, 0,
                                  infer_request_slots};

}  // namespace

PyTypeObject* infer_request_type() {
  static PyTypeObject* type = nullptr;
  return create_type_once(type, infer_request_spec);
}

}  // namespace ara2py
