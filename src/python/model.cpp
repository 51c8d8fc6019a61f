// Python class Model: a compiled model loaded on an endpoint.
#include "python/model.hpp"

#include <fmt/format.h>

#include <string>
#include <array>

#include "python/model_data.hpp"
#include "python/module_state.hpp"
#include "python/tensor_io.hpp"
#include "python/tensor_set.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {

using ara2::Direction;
using tallowind::tensor::TensorMemory;

std::optional<BorrowGuard> enter_shared(PyObject* self) { return enter_state(model_state(self), false); }

std::optional<BorrowGuard> enter_exclusive(PyObject* self) { return enter_state(model_state(self), true); }

std::nullptr_t raise_model_closed() { return to_python(ara2::CoreError::closed("model")); }

std::nullptr_t raise_not_allocated() { return to_python(ara2::CoreError::not_allocated()); }


namespace {

// ---------------------------------------------------------------------------
// Counts and descriptions

PyObject* model_count(PyObject* self, Direction direction) {
  auto access = enter_shared(self);
  if (!access) return nullptr;
  const ara2::Model& model = model_state(self).core;
  if (!model.is_open()) return raise_model_closed();
  return PyLong_FromUnsignedLongLong(model.loaded().count(direction));
}

PyObject* model_n_inputs(PyObject* self, void*) { return model_count(self, Direction::Input); }
PyObject* model_n_outputs(PyObject* self, void*) { return model_count(self, Direction::Output); }

/// What a description method reads: the full description, or only the sizing
/// fields (which do not depend on the layer output type being known).
enum class Read { Info, Fields };

std::optional<BorrowGuard> enter_model(PyObject* self, bool exclusive) {
  return exclusive ? enter_exclusive(self) : enter_shared(self);
}

/// The loaded model of an open Model (no tensor set: the descriptions need none).
std::optional<TensorTarget> open_model_target(PyObject* self) {
  const ara2::Model& model = model_state(self).core;
  if (!model.is_open()) {
    raise_model_closed();
    return std::nullopt;
  }
  return TensorTarget{model.loaded_share(), nullptr, 0};
}

constexpr TargetClass described_model{enter_model, open_model_target};

/// The body of the eleven description methods: with_index's order (bind,
/// enter, convert the index, the closed check, the index check), then the
/// record or the sizing fields of that tensor, built by `Build`.
template <Direction D, Read R, auto Build>
PyObject* describe(const Signature<1>& signature, const Call& call) {
  return with_index(described_model, D, false, signature, call,
                    [](const TensorTarget& target, std::uint64_t index, const BoundArgs<1>&) -> PyObject* {
                      const ara2::LoadedModel& model = *target.model;
                      auto value = [&] {
                        if constexpr (R == Read::Fields) {
                          return model.tensor_fields(D, index);
                        } else if constexpr (D == Direction::Input) {
                          return model.input_info(index);
                        } else {
                          return model.output_info(index);
                        }
                      }();
                      if (!value) return to_python(value.error());
                      return Build(*value);
                    });
}

template <Direction D, Read R, auto Build, const Signature<1>& Sig>
PyObject* describe_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return describe<D, R, Build>(Sig, Call{self, args, nargs, kwnames});
}

/// The method table entry of a description method.
template <Direction D, Read R, auto Build, const Signature<1>& Sig>
PyMethodDef describe_method() {
  return method<describe_call<D, R, Build, Sig>>(Sig);
}

PyObject* shape_tuple(const ara2::TensorFields& fields) {
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(fields.nch),
                       static_cast<unsigned long long>(fields.height), static_cast<unsigned long long>(fields.width));
}
PyObject* size_object(const ara2::TensorFields& fields) { return PyLong_FromUnsignedLongLong(fields.size); }
PyObject* bpp_object(const ara2::TensorFields& fields) { return PyLong_FromUnsignedLongLong(fields.bpp); }
PyObject* input_quants(const ara2::InputTensorInfo& info) { return make_input_quantization(info.quant); }
// Built from the whole description, so an unknown layer output type fails here too.
PyObject* output_quants(const ara2::OutputTensorInfo& info) { return make_output_quantization(info.quant); }
PyObject* input_preprocess(const ara2::InputTensorInfo& info) { return make_input_preprocess(info.preprocess); }

// ---------------------------------------------------------------------------
// Timeout, close, context manager

PyObject* model_set_timeout_ms(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Model::set_timeout_ms, args, nargs, kwnames);
  if (!argv) return nullptr;
  auto access = enter_exclusive(self);
  if (!access) return nullptr;
  std::uint32_t timeout_ms = 0;
  if (!convert_u32(argv[0], timeout_ms)) return nullptr;
  ara2::Model& model = model_state(self).core;
  if (!model.is_open()) return raise_model_closed();
  model.set_timeout_ms(timeout_ms);
  Py_RETURN_NONE;
}

PyObject* close_model(PyObject* self) {
  auto access = enter_exclusive(self);
  if (!access) return nullptr;
  auto closed = model_state(self).core.close();
  release_parked_arrays();
  if (!closed) return to_python(closed.error());
  Py_RETURN_NONE;
}

PyObject* model_close(PyObject* self, PyObject*) { return close_model(self); }

PyObject* model_enter(PyObject* self, PyObject*) {
  auto access = enter_shared(self);
  if (!access) return nullptr;
  return Py_NewRef(self);
}

PyObject* model_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::Model::dunder_exit, args, nargs, kwnames)) return nullptr;
  Ref closed = Ref::steal(close_model(self));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* model_repr(PyObject* self) {
  auto access = enter_shared(self);
  if (!access) return nullptr;
  const ara2::Model& model = model_state(self).core;
  if (!model.is_open()) return PyUnicode_FromString("Model(closed)");
  const std::string text = fmt::format("Model(n_inputs={}, n_outputs={})", model.loaded().raw_count(Direction::Input),
                                       model.loaded().raw_count(Direction::Output));
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---------------------------------------------------------------------------
// Allocation and tensor accessors

PyObject* model_allocate_tensors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Model::allocate_tensors, args, nargs, kwnames);
  if (!argv) return nullptr;
  auto access = enter_exclusive(self);
  if (!access) return nullptr;
  std::optional<TensorMemory> memory;
  if (!convert_memory(argv[0], memory)) return nullptr;
  ara2::Model& model = model_state(self).core;
  if (!model.is_open()) return raise_model_closed();
  if (auto allocated = model.allocate_tensors(memory); !allocated) return to_python(allocated.error());
  Py_RETURN_NONE;
}

PyObject* model_create_tensor_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Model::create_tensor_set, args, nargs, kwnames);
  if (!argv) return nullptr;
  auto access = enter_shared(self);
  if (!access) return nullptr;
  std::optional<TensorMemory> memory;
  if (!convert_memory(argv[0], memory)) return nullptr;
  const ara2::Model& model = model_state(self).core;
  if (!model.is_open()) return raise_model_closed();
  auto set = ara2::TensorSet::create(model.loaded(), memory);
  if (!set) return to_python(set.error());
  return make_tensor_set(std::move(*set), self);
}

// ---------------------------------------------------------------------------
// Finalisation

void model_dealloc(PyObject* self) {
  ModelState& state = model_state(self);
  // Off the owner thread the model is left loaded and its tensors alive.
  if (!state.affinity.may_release()) {
    ModelObject::free_instance(self);
    return;
  }
  if (auto closed = state.core.close(); !closed) report_unraisable(closed.error(), nullptr);
  release_parked_arrays();
  ModelObject::dealloc(self);
}

// ---------------------------------------------------------------------------
// The type

/// The Model's data methods work on its default set, once allocated.
struct ModelData {
  using Surface = surface::Model::Members;
  static std::optional<TensorTarget> target(PyObject* self) {
    const ara2::Model& model = model_state(self).core;
    // A closed model has no tensors either.
    if (!model.is_allocated()) {
      raise_not_allocated();
      return std::nullopt;
    }
    return TensorTarget{model.loaded_share(), model.tensors_share(), model.timeout_ms()};
  }
  static constexpr TargetClass target_class{enter_model, target};
};

using ara2::InputTensorInfo;
using ara2::OutputTensorInfo;
using Model = surface::Model::Members;

const auto own_methods = std::array{
    describe_method<Direction::Input, Read::Info, make_input_tensor_info, Model::input_info>(),
    describe_method<Direction::Output, Read::Info, make_output_tensor_info, Model::output_info>(),
    describe_method<Direction::Input, Read::Fields, shape_tuple, Model::input_shape>(),
    describe_method<Direction::Output, Read::Fields, shape_tuple, Model::output_shape>(),
    describe_method<Direction::Input, Read::Fields, size_object, Model::input_size>(),
    describe_method<Direction::Output, Read::Fields, size_object, Model::output_size>(),
    describe_method<Direction::Input, Read::Fields, bpp_object, Model::input_bpp>(),
    describe_method<Direction::Output, Read::Fields, bpp_object, Model::output_bpp>(),
    describe_method<Direction::Input, Read::Info, input_quants, Model::input_quants>(),
    describe_method<Direction::Output, Read::Info, output_quants, Model::output_quants>(),
    describe_method<Direction::Input, Read::Info, input_preprocess, Model::input_preprocess>(),
    method<model_set_timeout_ms>(surface::Model::set_timeout_ms),
    method<model_allocate_tensors>(surface::Model::allocate_tensors),
    method<model_create_tensor_set>(surface::Model::create_tensor_set),
    method<model_close>(surface::Model::close),
    method<model_enter>(surface::Model::dunder_enter),
    method<model_exit>(surface::Model::dunder_exit),
};

// The class's own methods, then the data and inference methods.
auto model_methods = method_table(own_methods, data_method_table<ModelData>());

PyGetSetDef model_getset[] = {
    getter<model_n_inputs>(surface::Model::n_inputs),
    getter<model_n_outputs>(surface::Model::n_outputs),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::Model::class_.doc)},
    {Py_tp_methods, model_methods.data()},
    {Py_tp_getset, model_getset},
    {Py_tp_repr, slot<model_repr>()},
    {Py_tp_dealloc, slot<model_dealloc>()},
    {0, nullptr},
};

PyType_Spec model_spec = {surface::Model::class_.name, sizeof(ModelObject), 0, 0, model_slots};

}  // namespace

PyTypeObject* model_type() {
  return create_type_once(module_state().type(TypeId::Model), model_spec);
}

PyObject* make_model(ara2::Model model) {
  PyTypeObject* type = model_type();
  if (type == nullptr) return nullptr;  // `model` closes as it goes
  return ModelObject::create(type, std::move(model));
}

}  // namespace tallowind::python
