// Python class TensorSet: a further set of input and output tensors of a
// Model, for requests in flight side by side on one loaded model.
#include "python/tensor_set.hpp"

#include <fmt/format.h>

#include <optional>
#include <string>
#include <utility>

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

/// A set's data methods work on its own tensors and its Model's loaded model.
struct SetData {
  using Surface = surface::TensorSet::Members;
  static std::optional<TensorTarget> target(PyObject* self) {
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
  static constexpr TargetClass target_class{enter_set, target};
};

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

const auto own_methods = std::array{
    method<tensor_set_close>(surface::TensorSet::close),
    method<tensor_set_enter>(surface::TensorSet::dunder_enter),
    method<tensor_set_exit>(surface::TensorSet::dunder_exit),
};

// The data and inference methods, then the class's own.
auto tensor_set_methods = method_table(data_method_table<SetData>(), own_methods);

PyType_Slot tensor_set_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::TensorSet::class_.doc)},
    {Py_tp_methods, tensor_set_methods.data()},
    {Py_tp_repr, slot<tensor_set_repr>()},
    {Py_tp_dealloc, slot<tensor_set_dealloc>()},
    {0, nullptr},
};

PyType_Spec tensor_set_spec = {surface::TensorSet::class_.name, sizeof(TensorSetObject), 0, 0, tensor_set_slots};

}  // namespace

PyTypeObject* tensor_set_type() {
  return create_type_once(module_state().type(TypeId::TensorSet), tensor_set_spec);
}

PyObject* make_tensor_set(ara2::TensorSetPtr set, PyObject* model) {
  PyTypeObject* type = tensor_set_type();
  if (type == nullptr) return nullptr;
  return TensorSetObject::create(type, std::move(set), Ref::borrow(model));
}

}  // namespace tallowind::python
