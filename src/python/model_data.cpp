// The data and inference methods of Model and TensorSet, and the Model's
// entries for them (its default tensor set).
#include "python/model_data.hpp"

#include <string_view>
#include <utility>

#include "ara2/inference.hpp"
#include "python/infer_request.hpp"
#include "python/model.hpp"
#include "python/tensor_io.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {

using ara2::Direction;

std::nullptr_t raise_inputs_in_use() { return to_python(ara2::CoreError::inputs_in_use()); }

namespace {

/// The shared start of the indexed methods: bind, enter, convert the index,
/// resolve the target (the class's checks), check the index, then
/// `use(target, index, argv)`.
template <std::size_t N, class Use>
PyObject* with_index(const TargetClass& cls, Direction direction, bool exclusive, const Signature<N>& signature,
                     PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Use use) {
  auto argv = bind_args(signature, args, nargs, kwnames);
  if (!argv) return nullptr;
  auto access = cls.enter(self, exclusive);
  if (!access) return nullptr;
  std::uint64_t index = 0;
  if (!convert_u64(argv[0], index)) return nullptr;
  auto target = cls.target(self);
  if (!target || !check_index(*target->model, direction, index)) return nullptr;
  return use(*target, index, argv);
}


}  // namespace

PyObject* data_run(const TargetClass& cls, PyObject* self) {
  auto access = cls.enter(self, true);
  if (!access) return nullptr;
  auto target = cls.target(self);
  if (!target) return nullptr;
  auto timing = ara2::run_inference(*target->model, *target->set, target->timeout_ms);
  if (!timing) return to_python(timing.error());
  return make_model_timing(*timing);
}

PyObject* data_submit(const TargetClass& cls, PyObject* self) {
  auto access = cls.enter(self, true);
  if (!access) return nullptr;
  auto target = cls.target(self);
  if (!target) return nullptr;
  auto request = ara2::PendingRequest::submit(target->model, target->set);
  if (!request) return to_python(request.error());
  return make_infer_request(std::move(*request), self);
}

PyObject* data_set_input_tensor(const TargetClass& cls, const Signature<2>& signature, PyObject* self,
                                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_index(cls, Direction::Input, true, signature, self, args, nargs, kwnames,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<2>& argv) -> PyObject* {
                      // What a pending request reads must not change under it.
                      if (target.set->pending() != 0) return raise_inputs_in_use();
                      InputBytes bytes;
                      if (!input_bytes(argv[1].object, bytes)) return nullptr;
                      // tobytes() may have run anything, a submit included.
                      if (target.set->pending() != 0) return raise_inputs_in_use();
                      if (!copy_input(target.set->inputs()[index], bytes)) return nullptr;
                      Py_RETURN_NONE;
                    });
}

PyObject* data_read_output(const TargetClass& cls, bool dequantize, const Signature<1>& signature, PyObject* self,
                           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_index(cls, Direction::Output, false, signature, self, args, nargs, kwnames,
                    [&](const TensorTarget& target, std::uint64_t index, const BoundArgs<1>&) -> PyObject* {
                      auto reader = output_reader(*target.model, index, dequantize);
                      if (!reader) return nullptr;
                      return read_output(*reader, target.set->outputs()[index]);
                    });
}

PyObject* data_tensor_memory(const TargetClass& cls, Direction direction, const Signature<1>& signature,
                             PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_index(cls, direction, direction == Direction::Input, signature, self, args, nargs, kwnames,
                    [&](const TensorTarget& target, std::uint64_t index, const BoundArgs<1>&) -> PyObject* {
                      const std::string_view name =
                          ara2::memory_kind_name(target.set->slots(direction)[index].tensor.memory());
                      return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
                    });
}

PyObject* data_tensor_fd(const TargetClass& cls, Direction direction, const Signature<1>& signature, PyObject* self,
                         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_index(cls, direction, direction == Direction::Input, signature, self, args, nargs, kwnames,
                    [&](const TensorTarget& target, std::uint64_t index, const BoundArgs<1>&) -> PyObject* {
                      auto fd = target.set->slots(direction)[index].tensor.clone_fd();
                      if (!fd) return to_python(ara2::CoreError::tensor_access(fd.error().display()));
                      PyObject* number = PyLong_FromLong(fd->get());
                      if (number != nullptr) (void)fd->release();  // the caller owns it now
                      return number;
                    });
}

// ---------------------------------------------------------------------------
// The Model's entries: its default set, once allocated

namespace {

std::optional<BorrowGuard> enter_model(PyObject* self, bool exclusive) {
  return exclusive ? enter_exclusive(self) : enter_shared(self);
}

std::optional<TensorTarget> model_target(PyObject* self) {
  const ara2::Model& model = model_state(self).core;
  // A closed model has no tensors either.
  if (!model.is_allocated()) {
    raise_not_allocated();
    return std::nullopt;
  }
  return TensorTarget{model.loaded_share(), model.tensors_share(), model.timeout_ms()};
}

constexpr TargetClass model_class{enter_model, model_target};

ARA2_DATA_METHODS(model, surface::Model, model_class)

}  // namespace

std::span<const PyMethodDef> model_data_methods() { return model_data_table; }

}  // namespace tallowind::python
