// The data and inference methods Model and TensorSet share (run, submit,
// set_input_tensor, get_output_tensor, dequantize, and the tensor memory and
// descriptor accessors): one body each, and one table of them, over the
// loaded model and tensor set that each class resolves in its own way.
//
// A method for both classes is one body here and one entry in
// data_method_table(), which both classes' method tables take in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "ara2/inference.hpp"
#include "ara2/loaded_model.hpp"
#include "ara2/tensor_set.hpp"
#include "ara2/trace.hpp"
#include "ara2/values.hpp"
#include "python/infer_request.hpp"
#include "python/support.hpp"
#include "python/tensor_io.hpp"
#include "python/types.hpp"

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

// The bodies, inline so that each class's entries inline its checks. An
// InferRequest made by submit keeps `self` alive.

/// The endpoint a target's trace spans are drawn for.
inline std::int32_t endpoint_of(const TensorTarget& target) {
  return static_cast<std::int32_t>(target.model->endpoint().index);
}

/// The start of the methods without arguments: enter exclusively, resolve
/// the target, then `use(target)`.
template <class Use>
PyObject* with_target(const TargetClass& cls, PyObject* self, Use use) {
  auto access = cls.enter(self, true);
  if (!access) return nullptr;
  auto target = cls.target(self);
  if (!target) return nullptr;
  return use(*target);
}

inline PyObject* data_run(const TargetClass& cls, const Signature<0>&, PyObject* self) {
  return with_target(cls, self, [](const TensorTarget& target) -> PyObject* {
    auto timing = ara2::run_inference(*target.model, *target.set, target.timeout_ms);
    if (!timing) return to_python(timing.error());
    return make_model_timing(*timing);
  });
}

inline PyObject* data_submit(const TargetClass& cls, const Signature<0>&, PyObject* self) {
  return with_target(cls, self, [self](const TensorTarget& target) -> PyObject* {
    auto request = ara2::PendingRequest::submit(target.model, target.set);
    if (!request) return to_python(request.error());
    return make_infer_request(std::move(*request), self);
  });
}

inline PyObject* data_set_input_tensor(const TargetClass& cls, const Signature<2>& signature, const Call& call) {
  return with_index(cls, ara2::Direction::Input, true, signature, call,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<2>& argv) -> PyObject* {
                      // Refused before tobytes() runs; the write checks again, since
                      // tobytes() may have run anything, a submit included.
                      if (auto writable = target.set->check_inputs_writable(); !writable) {
                        return to_python(writable.error());
                      }
                      InputBytes bytes;
                      if (!input_bytes(argv[1].object, bytes)) return nullptr;
                      const ara2::trace::Scope span(ara2::trace::Phase::InputWrite, endpoint_of(target),
                                                    ara2::trace::tensor(index));
                      if (auto written = target.set->write_input(index, bytes.span()); !written) {
                        return to_python(written.error());
                      }
                      Py_RETURN_NONE;
                    });
}

template <bool Dequantize>
PyObject* data_read_output(const TargetClass& cls, const Signature<1>& signature, const Call& call) {
  return with_index(cls, ara2::Direction::Output, false, signature, call,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<1>&) -> PyObject* {
                      auto reader = output_reader(*target.model, index, Dequantize);
                      if (!reader) return nullptr;
                      const ara2::trace::Scope span(
                          Dequantize ? ara2::trace::Phase::Dequantize : ara2::trace::Phase::OutputRead,
                          endpoint_of(target), ara2::trace::tensor(index));
                      return read_output(*reader, *target.set);
                    });
}

template <ara2::Direction D>
PyObject* data_tensor_memory(const TargetClass& cls, const Signature<1>& signature, const Call& call) {
  return with_index(cls, D, D == ara2::Direction::Input, signature, call,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<1>&) -> PyObject* {
                      const std::string_view name =
                          ara2::memory_kind_name(target.set->slots(D)[index].tensor.memory());
                      return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
                    });
}

template <ara2::Direction D>
PyObject* data_tensor_fd(const TargetClass& cls, const Signature<1>& signature, const Call& call) {
  return with_index(cls, D, D == ara2::Direction::Input, signature, call,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<1>&) -> PyObject* {
                      auto fd = target.set->slots(D)[index].tensor.clone_fd();
                      if (!fd) return to_python(ara2::CoreError::tensor_access(fd.error().display()));
                      PyObject* number = PyLong_FromLong(fd->get());
                      if (number != nullptr) (void)fd->release();  // the caller owns it now
                      return number;
                    });
}

/// set_input_image (image.cpp): the image converted straight into input
/// `index` under the same checks as set_input_tensor.
PyObject* data_set_input_image(const TargetClass& cls, const Signature<7>& signature, const Call& call);

// Flattened: each entry is one function with the class's checks and the body
// inlined, as run() and the small reads are sub-microsecond calls.
template <class Class, auto Body, const auto& Sig>
[[gnu::flatten]] PyObject* data_call(PyObject* self, PyObject*) {
  return Body(Class::target_class, Sig, self);
}

template <class Class, auto Body, const auto& Sig>
[[gnu::flatten]] PyObject* data_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
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
      data_method<Class, data_set_input_image, S::set_input_image>(),
      data_method<Class, data_read_output<false>, S::get_output_tensor>(),
      data_method<Class, data_read_output<true>, S::dequantize>(),
  };
}

}  // namespace tallowind::python
