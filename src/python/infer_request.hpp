// The InferRequest class as Model.submit sees it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ara2/inference.hpp"

namespace tallowind::python {

/// A new pending InferRequest holding `request` and a reference to the Model
/// object `model`. Should the object not be created, the request is freed at once.
PyObject* make_infer_request(ara2::PendingRequest request, PyObject* model);

}  // namespace tallowind::python
