// The data and inference methods Model and TensorSet share (run, submit,
// set_input_tensor, get_output_tensor, dequantize, and the tensor memory and
// descriptor accessors): one body each, and one table of them, over the
// loaded model and tensor set that each class resolves in its own way.
//
// A method for both classes is one body here and one entry in
// data_method_table: the class tables follow.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "ara2/loaded_model.hpp"
#include "ara2/tensor_set.hpp"
#include "ara2/values.hpp"
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

/// How a class's methods reach their target.
struct TargetClass {
  /// The thread check, then shared or exclusive access; nullopt: an exception is set.
  std::optional<BorrowGuard> (*enter)(PyObject* self, bool exclusive);
  /// The class's own checks (closed, not allocated) in order, then the
  /// target; nullopt: an exception is set.
  std::optional<TensorTarget> (*target)(PyObject* self);
};

/// The arguments of a METH_FASTCALL | METH_KEYWORDS call.
struct Call {
  PyObject* self;
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

/// The order every method taking a tensor index follows, written once: bind
/// the arguments, enter (thread check, borrow), convert the index, resolve the
/// target (the class's closed and allocated checks), check the index, then
/// `use(target, index, argv)`.
template <std::size_t N, class Use>
PyObject* with_index(const TargetClass& cls, ara2::Direction direction, bool exclusive,
                     const Signature<N>& signature, const Call& call, Use use) {
  auto argv = bind_args(signature, call.args, call.nargs, call.kwnames);
  if (!argv) return nullptr;
  auto access = cls.enter(call.self, exclusive);
  if (!access) return nullptr;
  std::uint64_t index = 0;
  if (!convert_u64(argv[0], index)) return nullptr;
  auto target = cls.target(call.self);
  if (!target) return nullptr;
  if (auto checked = target->model->check_index(direction, index); !checked) return to_python(checked.error());
  return use(*target, index, argv);
}

// The bodies. An InferRequest made by submit keeps `self` alive.
PyObject* data_run(const TargetClass& cls, const Signature<0>& signature, PyObject* self);
PyObject* data_submit(const TargetClass& cls, const Signature<0>& signature, PyObject* self);
PyObject* data_set_input_tensor(const TargetClass& cls, const Signature<2>& signature, const Call& call);
template <bool Dequantize>
PyObject* data_read_output(const TargetClass& cls, const Signature<1>& signature, const Call& call);
template <ara2::Direction D>
PyObject* data_tensor_memory(const TargetClass& cls, const Signature<1>& signature, const Call& call);
template <ara2::Direction D>
PyObject* data_tensor_fd(const TargetClass& cls, const Signature<1>& signature, const Call& call);

template <class Class, auto Body, const auto& Sig>
PyObject* data_call(PyObject* self, PyObject*) {
  return Body(Class::target_class, Sig, self);
}

template <class Class, auto Body, const auto& Sig>
PyObject* data_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Body(Class::target_class, Sig, Call{self, args, nargs, kwnames});
}

/// The method table entry of `Body` for class `Class` (`Class::target_class`,
/// a TargetClass) under the described `Sig`: METH_NOARGS for a body taking
/// `self` alone, METH_FASTCALL | METH_KEYWORDS for one taking a Call.
template <class Class, auto Body, const auto& Sig>
PyMethodDef data_method() {
  if constexpr (std::is_invocable_v<decltype(Body), const TargetClass&, decltype(Sig), PyObject*>) {
    return method<static_cast<PyObject* (*)(PyObject*, PyObject*)>(data_call<Class, Body, Sig>)>(Sig);
  } else {
    using Fastcall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    return method<static_cast<Fastcall>(data_call<Class, Body, Sig>)>(Sig);
  }
}

/// The data methods of `Class`, whose `Surface` is its members in the
/// generated header (surface::Model::Members).
template <class Class, class S = typename Class::Surface>
auto data_method_table() {
  using ara2::Direction;
  return std::array{
      data_method<Class, data_tensor_memory<Direction::Input>, S::input_tensor_memory>(),
      data_method<Class, data_tensor_memory<Direction::Output>, S::output_tensor_memory>(),
      data_method<Class, data_tensor_fd<Direction::Input>, S::input_tensor_fd>(),
      data_method<Class, data_tensor_fd<Direction::Output>, S::output_tensor_fd>(),
      data_method<Class, data_run, S::run>(),
      data_method<Class, data_submit, S::submit>(),
      data_method<Class, data_set_input_tensor, S::set_input_tensor>(),
      data_method<Class, data_read_output<false>, S::get_output_tensor>(),
      data_method<Class, data_read_output<true>, S::dequantize>(),
  };
}

}  // namespace tallowind::python
