// Python class InferRequest: an asynchronous inference in flight.
#include "python/infer_request.hpp"

#include <optional>
#include <utility>

#include "python/module_state.hpp"
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

struct InferRequestState {
  InferRequestState(ara2::PendingRequest request, Ref owner_object) noexcept
      : pending(std::move(request)), owner(std::move(owner_object)) {}

  std::optional<ara2::PendingRequest> pending;  // empty once consumed
  Ref owner;                                    // the Model or TensorSet, kept alive while pending
  ThreadAffinity affinity{"tallowind_ara2::model::InferRequest"};
  BorrowFlag borrow;
};
using InferRequestObject = Boxed<InferRequestState>;

InferRequestState& request_state(PyObject* self) noexcept { return InferRequestObject::of(self); }

std::nullptr_t raise_consumed() {
  return to_python(ara2::CoreError::request_consumed());
}

PyObject* infer_request_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::InferRequest::wait, args, nargs, kwnames);
  if (!argv) return nullptr;
  InferRequestState& state = request_state(self);
  auto access = enter_state(state, true);
  if (!access) return nullptr;
  std::uint32_t timeout_ms = surface::InferRequest::wait_timeout_ms_default;
  if (argv[0].object != nullptr && !convert_u32(argv[0], timeout_ms)) return nullptr;
  if (!state.pending) return raise_consumed();

  // Consumed from here on, whatever the outcome.
  ara2::PendingRequest pending = std::move(*state.pending);
  state.pending.reset();
  Ref owner = std::move(state.owner);

  // The wait loop and every release step run without the interpreter lock;
  // none of them touches a Python object.
  ara2::Result<ara2::ModelTiming> outcome;
  Py_BEGIN_ALLOW_THREADS
  outcome = std::move(pending).wait(timeout_ms);
  Py_END_ALLOW_THREADS

  owner = Ref();
  if (!outcome) return to_python(outcome.error());
  return make_model_timing(*outcome);
}

PyObject* infer_request_request_id(PyObject* self, void*) {
  InferRequestState& state = request_state(self);
  auto access = enter_state(state, false);
  if (!access) return nullptr;
  if (!state.pending) return raise_consumed();
  auto id = state.pending->request_id();
  if (!id) return to_python(id.error());
  return PyLong_FromUnsignedLongLong(*id);
}

PyObject* infer_request_repr(PyObject* self) {
  InferRequestState& state = request_state(self);
  auto access = enter_state(state, false);
  if (!access) return nullptr;
  return PyUnicode_FromString(state.pending ? "InferRequest(pending)" : "InferRequest(consumed)");
}

void infer_request_dealloc(PyObject* self) {
  InferRequestState& state = request_state(self);
  if (!state.affinity.may_release()) {
    InferRequestObject::free_instance(self);
    return;
  }
  // The request is freed (without waiting) before its owner can go with the last reference.
  state.pending.reset();
  InferRequestObject::dealloc(self);
}

PyMethodDef infer_request_methods[] = {
    method<infer_request_wait>(surface::InferRequest::wait),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef infer_request_getset[] = {
    getter<infer_request_request_id>(surface::InferRequest::request_id),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot infer_request_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::InferRequest::class_.doc)},
    {Py_tp_methods, infer_request_methods},
    {Py_tp_getset, infer_request_getset},
    {Py_tp_repr, slot<infer_request_repr>()},
    {Py_tp_dealloc, slot<infer_request_dealloc>()},
    {0, nullptr},
};

PyType_Spec infer_request_spec = {surface::InferRequest::class_.name, sizeof(InferRequestObject), 0, 0,
                                  infer_request_slots};

}  // namespace

PyTypeObject* infer_request_type() {
  PyTypeObject*& type = module_state().type(TypeId::InferRequest);
  return create_type_once(type, infer_request_spec);
}

PyObject* make_infer_request(ara2::PendingRequest request, PyObject* owner) {
  PyTypeObject* type = infer_request_type();
  if (type == nullptr) return nullptr;  // `request` is freed as it goes
  return InferRequestObject::create(type, std::move(request), Ref::borrow(owner));
}

}  // namespace tallowind::python
