// The TensorSet class as Model.create_tensor_set sees it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ara2/tensor_set.hpp"

namespace tallowind::python {

/// A new TensorSet object over `set`, made from the Model object `model`
/// (kept alive by it). Should the object not be created, the set is released.
PyObject* make_tensor_set(ara2::TensorSetPtr set, PyObject* model);

}  // namespace tallowind::python
