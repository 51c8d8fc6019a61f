// The InferRequest class as Model.submit and TensorSet.submit see it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ara2/inference.hpp"

namespace tallowind::python {

/// A new pending InferRequest holding `request` and a reference to the object
/// that submitted it (a Model or a TensorSet). Should the object not be
/// created, the request is freed at once.
PyObject* make_infer_request(ara2::PendingRequest request, PyObject* owner);

}  // namespace tallowind::python
