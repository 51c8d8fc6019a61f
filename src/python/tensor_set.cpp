// Python class TensorSet: a further set of input and output tensors of a
// Model, for requests in flight side by side on one loaded model.
#include "python/tensor_set.hpp"

#include <fmt/format.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/model.hpp"
#include "python/model_data.hpp"
#include "python/module_state.hpp"
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

struct TensorSetState {
  TensorSetState(ara2::TensorSetPtr tensor_set, Ref model_object) noexcept
      : set(std::move(tensor_set)), model(std::move(model_object)) {}

  ara2::TensorSetPtr set;  // empty once closed
  Ref model;               // the Model object it belongs to
  ThreadAffinity affinity{"tallowind_ara2::model::TensorSet"};
  BorrowFlag borrow;
};
using TensorSetObject = Boxed<TensorSetState>;

TensorSetState& set_state(PyObject* self) noexcept { return TensorSetObject::of(self); }

std::nullptr_t raise_set_closed() { return to_python(ara2::CoreError::closed("tensor set")); }

std::optional<BorrowGuard> enter_set(PyObject* self, bool exclusive) { return enter_state(set_state(self), exclusive); }

std::optional<TensorTarget> set_target(PyObject* self) {
  const TensorSetState& state = set_state(self);
  if (!state.set) {
    raise_set_closed();
    return std::nullopt;
  }
  const ara2::Model& model = model_state(state.model.get()).core;
  if (!model.is_open()) {
    raise_model_closed();
    return std::nullopt;
  }
  return TensorTarget{model.loaded_share(), state.set, model.timeout_ms()};
}

constexpr TargetClass set_class{enter_set, set_target};

ARA2_DATA_METHODS(tensor_set, surface::TensorSet, set_class)

/// Drops the set: released now, or by the last request still pending on it.
PyObject* close_set(PyObject* self) {
  auto access = enter_set(self, true);
  if (!access) return nullptr;
  set_state(self).set.reset();
  Py_RETURN_NONE;
}

PyObject* tensor_set_close(PyObject* self, PyObject*) { return close_set(self); }

PyObject* tensor_set_enter(PyObject* self, PyObject*) {
  auto access = enter_set(self, false);
  if (!access) return nullptr;
  return Py_NewRef(self);
}

PyObject* tensor_set_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::TensorSet::dunder_exit, args, nargs, kwnames)) return nullptr;
  Ref closed = Ref::steal(close_set(self));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* tensor_set_repr(PyObject* self) {
  auto access = enter_set(self, false);
  if (!access) return nullptr;
  const ara2::TensorSetPtr& set = set_state(self).set;
  if (!set) return PyUnicode_FromString("TensorSet(closed)");
  const std::string text = fmt::format("TensorSet(n_inputs={}, n_outputs={}, pending={})", set->inputs().size(),
                                       set->outputs().size(), set->pending());
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void tensor_set_dealloc(PyObject* self) {
  // Off the owner thread the set is left as it is, like a Model's tensors.
  if (!set_state(self).affinity.may_release()) {
    TensorSetObject::free_instance(self);
    return;
  }
  TensorSetObject::dealloc(self);
}

const PyMethodDef own_methods[] = {
    method<tensor_set_close>(surface::TensorSet::close),
    method<tensor_set_enter>(surface::TensorSet::dunder_enter),
    method<tensor_set_exit>(surface::TensorSet::dunder_exit),
};

PyMethodDef* all_methods() {
  static std::vector<PyMethodDef> methods = [] {
    std::vector<PyMethodDef> all(std::begin(tensor_set_data_table), std::end(tensor_set_data_table));
    all.insert(all.end(), std::begin(own_methods), std::end(own_methods));
    all.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return all;
  }();
  return methods.data();
}

PyType_Slot tensor_set_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::TensorSet::class_.doc)},
    {Py_tp_methods, nullptr},  // filled with all_methods() before the type is built
    {Py_tp_repr, slot<tensor_set_repr>()},
    {Py_tp_dealloc, slot<tensor_set_dealloc>()},
    {0, nullptr},
};

PyType_Spec tensor_set_spec = {surface::TensorSet::class_.name, sizeof(TensorSetObject), 0, 0, tensor_set_slots};

}  // namespace

PyTypeObject* tensor_set_type() {
  PyTypeObject*& type = module_state().type(TypeId::TensorSet);
  if (type == nullptr) tensor_set_slots[1].pfunc = all_methods();
  return create_type_once(type, tensor_set_spec);
}

PyObject* make_tensor_set(ara2::TensorSetPtr set, PyObject* model) {
  PyTypeObject* type = tensor_set_type();
  if (type == nullptr) return nullptr;
  return TensorSetObject::create(type, std::move(set), Ref::borrow(model));
}

}  // namespace tallowind::python
