// The Model class as the other class files see it: the object's layout, the
// entry every Model method takes (thread check, then borrow), and the checks
// the indexed methods share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "ara2/model.hpp"
#include "python/support.hpp"

namespace tallowind::python {

/// What a Model object holds. `core` is closed (not open) after close().
struct ModelState {
  explicit ModelState(ara2::Model model) noexcept : core(std::move(model)) {}

  ara2::Model core;
  ThreadAffinity affinity{"tallowind_ara2::model::Model"};
  BorrowFlag borrow;
};
using ModelObject = Boxed<ModelState>;

/// A new Model object owning `model`; if the object cannot be created the
/// model is closed at once.
PyObject* make_model(ara2::Model model);

/// The state of a Model object; `self` must be one.
inline ModelState& model_state(PyObject* self) noexcept { return ModelObject::of(self); }

/// Entry of a Model method once its arguments are bound and before they are
/// converted: refuses other threads (internal-failure exception) and takes
/// shared or exclusive access. nullopt: an exception is set.
///
///   auto access = enter_exclusive(self);
///   if (!access) return nullptr;
std::optional<BorrowGuard> enter_shared(PyObject* self);
std::optional<BorrowGuard> enter_exclusive(PyObject* self);

/// Ara2Error "model is closed".
std::nullptr_t raise_model_closed();
/// TensorError "tensors not allocated: call allocate_tensors() first".
std::nullptr_t raise_not_allocated();

/// IndexError "input index {i} out of range (model has {n} inputs)" (or
/// output) unless `index` is below the count; the model must be open.
bool check_index(const ara2::Model& model, ara2::Direction direction, std::uint64_t index);

/// The checks of the tensor accessors, in order: tensors allocated (false on
/// a closed model), then the index.
bool check_allocated_index(const ara2::Model& model, ara2::Direction direction, std::uint64_t index);

/// The start of every method that takes one tensor index after allocation:
/// bind `index`, enter, convert it, then check_allocated_index, in that order.
/// `use(model, index)` runs while the model is borrowed.
template <ara2::Direction D, bool Exclusive, class Use>
PyObject* with_allocated_index(const Signature<1>& signature, PyObject* self, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames, Use use) {
  auto argv = bind_args(signature, args, nargs, kwnames);
  if (!argv) return nullptr;
  auto access = Exclusive ? enter_exclusive(self) : enter_shared(self);
  if (!access) return nullptr;
  std::uint64_t index = 0;
  if (!convert_u64(argv[0], index)) return nullptr;
  const ara2::Model& model = model_state(self).core;
  if (!check_allocated_index(model, D, index)) return nullptr;
  return use(model, index);
}

}  // namespace tallowind::python
