// Python class Model: a compiled model loaded on an endpoint.
#include "python/model.hpp"

#include <fmt/format.h>

#include <string>
#include <vector>

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

bool check_index(const ara2::LoadedModel& model, Direction direction, std::uint64_t index) {
  auto checked = model.check_index(direction, index);
  if (!checked) to_python(checked.error());
  return checked.has_value();
}

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

/// The shared part of the eleven description methods: bind, enter, convert
/// the index, then the closed check and the index check, in that order.
template <Direction D, Read R, class Build>
PyObject* describe(const Signature<1>& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Build build) {
  auto argv = bind_args(signature, args, nargs, kwnames);
  if (!argv) return nullptr;
  auto access = enter_shared(self);
  if (!access) return nullptr;
  std::uint64_t index = 0;
  if (!convert_u64(argv[0], index)) return nullptr;
  const ara2::Model& owner = model_state(self).core;
  if (!owner.is_open()) return raise_model_closed();
  const ara2::LoadedModel& model = owner.loaded();
  if (!check_index(model, D, index)) return nullptr;
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
  return build(*value);
}

PyObject* shape_tuple(const ara2::TensorFields& fields) {
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(fields.nch),
                       static_cast<unsigned long long>(fields.height), static_cast<unsigned long long>(fields.width));
}

PyObject* u64_object(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

#define ARA2_DESCRIBE(method, direction, read, expression)                                                      \
  PyObject* model_##method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {        \
    return describe<direction, read>(surface::Model::method, self, args, nargs, kwnames,                        \
                                     [](const auto& value) { return expression; });                             \
  }

ARA2_DESCRIBE(input_info, Direction::Input, Read::Info, make_input_tensor_info(value))
ARA2_DESCRIBE(output_info, Direction::Output, Read::Info, make_output_tensor_info(value))
ARA2_DESCRIBE(input_shape, Direction::Input, Read::Fields, shape_tuple(value))
ARA2_DESCRIBE(output_shape, Direction::Output, Read::Fields, shape_tuple(value))
ARA2_DESCRIBE(input_size, Direction::Input, Read::Fields, u64_object(value.size))
ARA2_DESCRIBE(output_size, Direction::Output, Read::Fields, u64_object(value.size))
ARA2_DESCRIBE(input_bpp, Direction::Input, Read::Fields, u64_object(value.bpp))
ARA2_DESCRIBE(output_bpp, Direction::Output, Read::Fields, u64_object(value.bpp))
ARA2_DESCRIBE(input_quants, Direction::Input, Read::Info, make_input_quantization(value.quant))
// Built from the whole description, so an unknown layer output type fails here too.
ARA2_DESCRIBE(output_quants, Direction::Output, Read::Info, make_output_quantization(value.quant))
ARA2_DESCRIBE(input_preprocess, Direction::Input, Read::Info, make_input_preprocess(value.preprocess))

#undef ARA2_DESCRIBE

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

const PyMethodDef own_methods[] = {
    method<model_input_info>(surface::Model::input_info),
    method<model_output_info>(surface::Model::output_info),
    method<model_input_shape>(surface::Model::input_shape),
    method<model_output_shape>(surface::Model::output_shape),
    method<model_input_size>(surface::Model::input_size),
    method<model_output_size>(surface::Model::output_size),
    method<model_input_bpp>(surface::Model::input_bpp),
    method<model_output_bpp>(surface::Model::output_bpp),
    method<model_input_quants>(surface::Model::input_quants),
    method<model_output_quants>(surface::Model::output_quants),
    method<model_input_preprocess>(surface::Model::input_preprocess),
    method<model_set_timeout_ms>(surface::Model::set_timeout_ms),
    method<model_allocate_tensors>(surface::Model::allocate_tensors),
    method<model_create_tensor_set>(surface::Model::create_tensor_set),
    method<model_close>(surface::Model::close),
    method<model_enter>(surface::Model::dunder_enter),
    method<model_exit>(surface::Model::dunder_exit),
};

/// The class's own methods, then the data and inference methods, then the sentinel.
PyMethodDef* all_methods() {
  static std::vector<PyMethodDef> methods = [] {
    std::vector<PyMethodDef> all(std::begin(own_methods), std::end(own_methods));
    for (const PyMethodDef& method : model_data_methods()) all.push_back(method);
    all.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return all;
  }();
  return methods.data();
}

PyGetSetDef model_getset[] = {
    getter<model_n_inputs>(surface::Model::n_inputs),
    getter<model_n_outputs>(surface::Model::n_outputs),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::Model::class_.doc)},
    {Py_tp_methods, nullptr},  // filled with all_methods() before the type is built
    {Py_tp_getset, model_getset},
    {Py_tp_repr, slot<model_repr>()},
    {Py_tp_dealloc, slot<model_dealloc>()},
    {0, nullptr},
};

PyType_Spec model_spec = {surface::Model::class_.name, sizeof(ModelObject), 0, 0, model_slots};

}  // namespace

PyTypeObject* model_type() {
  PyTypeObject*& type = module_state().type(TypeId::Model);
  if (type == nullptr) model_slots[1].pfunc = all_methods();
  return create_type_once(type, model_spec);
}

PyObject* make_model(ara2::Model model) {
  PyTypeObject* type = model_type();
  if (type == nullptr) return nullptr;  // `model` closes as it goes
  return ModelObject::create(type, std::move(model));
}

}  // namespace tallowind::python
