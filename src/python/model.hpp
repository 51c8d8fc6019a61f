// The Model class as the other class files see it: the object's layout, the
// entry every Model method takes (thread check, then borrow), and the closed
// and not-allocated refusals.
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

}  // namespace tallowind::python
