// Model methods that move tensor data and run inference; model.cpp adds them
// to the class's own methods.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace tallowind::python {

/// Method entries without the terminating sentinel; the storage lives for the process.
std::span<const PyMethodDef> model_data_methods();

/// Unmaps the memory of released large arrays kept for reuse (at most 128 MiB
/// in four mappings). Called when a model closes and at module teardown; the
/// interpreter lock must be held.
void release_parked_arrays() noexcept;

}  // namespace tallowind::python
