// The data and inference methods Model and TensorSet share (run, submit,
// set_input_tensor, get_output_tensor, dequantize, and the tensor memory and
// descriptor accessors): one body each, over the loaded model and tensor set
// that each class resolves in its own way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "ara2/loaded_model.hpp"
#include "ara2/tensor_set.hpp"
#include "ara2/values.hpp"
#include "python/image.hpp"
#include "python/support.hpp"

namespace tallowind::python {

/// What a data method works on: a loaded model, one of its tensor sets, and
/// the timeout run() uses. Shares, so that nothing a callback in tobytes()
/// closes is released under the method.
struct TensorTarget {
  ara2::LoadedModelPtr model;
  ara2::TensorSetPtr set;
  std::uint32_t timeout_ms = 0;
};

/// How a class's data methods reach their target.
struct TargetClass {
  /// The thread check, then shared or exclusive access; nullopt: an exception is set.
  std::optional<BorrowGuard> (*enter)(PyObject* self, bool exclusive);
  /// The class's own checks (closed, not allocated) in order, then the
  /// target; nullopt: an exception is set.
  std::optional<TensorTarget> (*target)(PyObject* self);
};

/// TensorError "input tensors are in use by a pending request: ...".
std::nullptr_t raise_inputs_in_use();

// The method bodies. Each binds its arguments, enters, converts the index,
// resolves the target, checks the index, and works; an InferRequest made by
// submit keeps `self` alive.
PyObject* data_run(const TargetClass& cls, PyObject* self);
PyObject* data_submit(const TargetClass& cls, PyObject* self);
PyObject* data_set_input_tensor(const TargetClass& cls, const Signature<2>& signature, PyObject* self,
                                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* data_read_output(const TargetClass& cls, bool dequantize, const Signature<1>& signature, PyObject* self,
                           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* data_tensor_memory(const TargetClass& cls, ara2::Direction direction, const Signature<1>& signature,
                             PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* data_tensor_fd(const TargetClass& cls, ara2::Direction direction, const Signature<1>& signature,
                         PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// The Model's data method entries, without the terminating sentinel; the
/// storage lives for the process.
std::span<const PyMethodDef> model_data_methods();

/// Defines, in a class file, the ten data methods of a class and their
/// table entries `prefix##_data_table[]`: `Surface` is the class's
/// namespace in the generated header (surface::Model), `cls` its TargetClass.
#define ARA2_DATA_METHODS(prefix, Surface, cls)                                                                    \
  PyObject* prefix##_run(PyObject* self, PyObject*) { return data_run(cls, self); }                                \
  PyObject* prefix##_submit(PyObject* self, PyObject*) { return data_submit(cls, self); }                          \
  PyObject* prefix##_set_input_tensor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
    return data_set_input_tensor(cls, Surface::set_input_tensor, self, args, nargs, kwnames);                       \
  }                                                                                                                 \
  PyObject* prefix##_set_input_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {  \
    return data_set_input_image(cls, Surface::set_input_image, self, args, nargs, kwnames);                         \
  }                                                                                                                 \
  PyObject* prefix##_get_output_tensor(PyObject* self, PyObject* const* args, Py_ssize_t nargs,                    \
                                       PyObject* kwnames) {                                                         \
    return data_read_output(cls, false, Surface::get_output_tensor, self, args, nargs, kwnames);                    \
  }                                                                                                                 \
  PyObject* prefix##_dequantize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {       \
    return data_read_output(cls, true, Surface::dequantize, self, args, nargs, kwnames);                            \
  }                                                                                                                 \
  PyObject* prefix##_input_tensor_memory(PyObject* self, PyObject* const* args, Py_ssize_t nargs,                  \
                                         PyObject* kwnames) {                                                       \
    return data_tensor_memory(cls, ara2::Direction::Input, Surface::input_tensor_memory, self, args, nargs,        \
                              kwnames);                                                                             \
  }                                                                                                                 \
  PyObject* prefix##_output_tensor_memory(PyObject* self, PyObject* const* args, Py_ssize_t nargs,                 \
                                          PyObject* kwnames) {                                                      \
    return data_tensor_memory(cls, ara2::Direction::Output, Surface::output_tensor_memory, self, args, nargs,      \
                              kwnames);                                                                             \
  }                                                                                                                 \
  PyObject* prefix##_input_tensor_fd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {  \
    return data_tensor_fd(cls, ara2::Direction::Input, Surface::input_tensor_fd, self, args, nargs, kwnames);       \
  }                                                                                                                 \
  PyObject* prefix##_output_tensor_fd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
    return data_tensor_fd(cls, ara2::Direction::Output, Surface::output_tensor_fd, self, args, nargs, kwnames);     \
  }                                                                                                                 \
  const PyMethodDef prefix##_data_table[] = {                                                                     \
      method<prefix##_input_tensor_memory>(Surface::input_tensor_memory),                                          \
      method<prefix##_output_tensor_memory>(Surface::output_tensor_memory),                                        \
      method<prefix##_input_tensor_fd>(Surface::input_tensor_fd),                                                  \
      method<prefix##_output_tensor_fd>(Surface::output_tensor_fd),                                                \
      method<prefix##_run>(Surface::run),                                                                          \
      method<prefix##_submit>(Surface::submit),                                                                    \
      method<prefix##_set_input_tensor>(Surface::set_input_tensor),                                                \
      method<prefix##_set_input_image>(Surface::set_input_image),                                                  \
      method<prefix##_get_output_tensor>(Surface::get_output_tensor),                                              \
      method<prefix##_dequantize>(Surface::dequantize),                                                            \
  };

}  // namespace tallowind::python
