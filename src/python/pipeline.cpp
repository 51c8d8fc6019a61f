// Python classes Pipeline and PipelineResult: frames put from numpy, spread
// over the models of several endpoints, results handed back in order.
//
// The request bookkeeping is the core's (ara2::Pipeline); this file turns
// frames into input bytes, waits for the oldest frame without the
// interpreter lock (in slices, so that Ctrl-C is seen), reads its outputs
// into arrays, and queues the result or hands it to the callback.
#include <fmt/format.h>

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ara2/pipeline.hpp"
#include "ara2/trace.hpp"
#include "python/endpoint.hpp"
#include "python/image.hpp"
#include "python/module_state.hpp"
#include "python/support.hpp"
#include "python/tensor_io.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

/// The longest library wait between two looks at pending signals: how long
/// Ctrl-C may take to interrupt a wait.
constexpr std::uint32_t kWaitSliceMs = 100;
/// Requests per endpoint; each is a tensor set.
constexpr std::uint64_t kMaxRequests = 1024;

// ---------------------------------------------------------------------------
// PipelineResult

struct ResultState {
  std::uint64_t index = 0;
  std::size_t endpoint = 0;
  Ref userdata;
  Ref outputs;  // a tuple of arrays
  Ref timing;   // ModelTiming or None
  Ref error;    // an exception or None
  Ref geometry;  // where put_image() put the image, or None
};
using ResultObject = Boxed<ResultState>;

ResultState& result_state(PyObject* self) noexcept { return ResultObject::of(self); }

int result_traverse(PyObject* self, visitproc visit, void* arg) {
  ResultState& state = result_state(self);
  for (const Ref* member : {&state.userdata, &state.outputs, &state.timing, &state.error, &state.geometry}) {
    Py_VISIT(member->get());
  }
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int result_clear(PyObject* self) {
  ResultState& state = result_state(self);
  state.userdata = state.outputs = state.timing = state.error = state.geometry = Ref();
  return 0;
}

/// A member that may have been cleared by the collector reads as None.
PyObject* member_or_none(const Ref& member) { return Py_NewRef(member ? member.get() : Py_None); }

PyObject* result_index(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(result_state(self).index); }
PyObject* result_endpoint(PyObject* self, void*) { return PyLong_FromSize_t(result_state(self).endpoint); }
PyObject* result_userdata(PyObject* self, void*) { return member_or_none(result_state(self).userdata); }
PyObject* result_outputs(PyObject* self, void*) { return member_or_none(result_state(self).outputs); }
PyObject* result_timing(PyObject* self, void*) { return member_or_none(result_state(self).timing); }
PyObject* result_error(PyObject* self, void*) { return member_or_none(result_state(self).error); }
PyObject* result_geometry(PyObject* self, void*) { return member_or_none(result_state(self).geometry); }

PyObject* result_repr(PyObject* self) {
  const ResultState& state = result_state(self);
  if (state.error && state.error.get() != Py_None) {
    return PyUnicode_FromFormat("PipelineResult(index=%llu, endpoint=%zu, error=%R)",
                                static_cast<unsigned long long>(state.index), state.endpoint, state.error.get());
  }
  const Py_ssize_t outputs = state.outputs ? PyTuple_GET_SIZE(state.outputs.get()) : 0;
  return PyUnicode_FromFormat("PipelineResult(index=%llu, endpoint=%zu, outputs=%zd)",
                              static_cast<unsigned long long>(state.index), state.endpoint, outputs);
}

PyGetSetDef result_getset[] = {
    getter<result_index>(surface::PipelineResult::index),
    getter<result_userdata>(surface::PipelineResult::userdata),
    getter<result_endpoint>(surface::PipelineResult::endpoint),
    getter<result_outputs>(surface::PipelineResult::outputs),
    getter<result_timing>(surface::PipelineResult::timing),
    getter<result_error>(surface::PipelineResult::error),
    getter<result_geometry>(surface::PipelineResult::geometry),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::PipelineResult::class_.doc)},
    {Py_tp_getset, result_getset},
    {Py_tp_repr, slot<result_repr>()},
    {Py_tp_traverse, slot<result_traverse>()},
    {Py_tp_clear, slot<result_clear>()},
    {Py_tp_dealloc, slot<ResultObject::dealloc>()},
    {0, nullptr},
};

// Garbage-collected: the user data may refer back to the result.
PyType_Spec result_spec = {surface::PipelineResult::class_.name, sizeof(ResultObject), 0, Py_TPFLAGS_HAVE_GC,
                           result_slots};

// ---------------------------------------------------------------------------
// Pipeline

struct PipelineState {
  PipelineState(ara2::Pipeline pipeline, std::vector<OutputReader> output_readers, Ref on_result) noexcept
      : core(std::move(pipeline)),
        readers(std::move(output_readers)),
        userdata(core.capacity()),
        geometry(core.capacity()),
        callback(std::move(on_result)) {}

  ara2::Pipeline core;  // closed once the pipeline is
  std::vector<OutputReader> readers;  // one per model output
  std::vector<Ref> userdata;          // per slot, while its frame is in flight
  std::vector<Ref> geometry;          // per slot: the Geometry of a frame put as an image
  std::optional<ImageInput> image;    // what input 0 asks of images, read at the first put_image()
  std::deque<Ref> ready;              // collected results not yet handed out
  Ref callback;                       // empty: results are queued
  ThreadAffinity affinity{"tallowind_ara2::pipeline::Pipeline"};
  BorrowFlag borrow;
};
using PipelineObject = Boxed<PipelineState>;

PipelineState& pipeline_state(PyObject* self) noexcept { return PipelineObject::of(self); }

std::nullptr_t raise_closed() { return to_python(ara2::CoreError::closed("pipeline")); }

/// Thread check, borrow, then the closed check. nullopt: an exception is set.
std::optional<BorrowGuard> enter_open(PyObject* self, bool exclusive) {
  PipelineState& state = pipeline_state(self);
  auto access = enter_state(state, exclusive);
  if (access && !state.core.is_open()) {
    raise_closed();
    return std::nullopt;
  }
  return access;
}

/// The error of a failed frame as an exception object, as it would be raised.
Ref exception_object(const ara2::CoreError& error) {
  to_python(error);
  return take_raised_exception();
}

/// The outputs of `set`, one array each; nullptr with an exception set.
Ref read_outputs(const PipelineState& state, const ara2::TensorSet& set) {
  Ref outputs = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(state.readers.size())));
  if (!outputs) return Ref();
  for (std::size_t i = 0; i < state.readers.size(); ++i) {
    PyObject* array = read_output(state.readers[i], set);
    if (array == nullptr) return Ref();
    PyTuple_SET_ITEM(outputs.get(), static_cast<Py_ssize_t>(i), array);
  }
  return outputs;
}

/// The result of the oldest frame, whose outcome is known and whose request
/// is released; the frame's turn ends here whatever happens.
Ref finish_oldest(PipelineState& state, const ara2::Result<ara2::ModelTiming>& outcome) {
  ara2::Pipeline& core = state.core;
  const std::size_t index = core.oldest_index();
  const ara2::Pipeline::Slot& slot = core.slot(index);
  ResultState result{core.oldest_number(), slot.worker, std::move(state.userdata[index]), Ref(), Ref(), Ref(),
                     std::move(state.geometry[index])};
  if (outcome) {
    const ara2::trace::Scope span(ara2::trace::Phase::OutputRead, ara2::trace::kNoEndpoint,
                                  ara2::trace::frame(result.index));
    result.outputs = read_outputs(state, *slot.set);
    // Reading can fail only as the tensors' memory does; the frame reports it.
    if (!result.outputs) result.error = take_raised_exception();
    else result.timing = Ref::steal(make_model_timing(*outcome));
  } else {
    result.error = exception_object(outcome.error());
  }
  core.retire_oldest();
  if (PyErr_Occurred()) return Ref();
  if (!result.outputs) result.outputs = Ref::steal(PyTuple_New(0));
  if (!result.timing) result.timing = Ref::borrow(Py_None);
  if (!result.error) result.error = Ref::borrow(Py_None);
  if (!result.outputs) return Ref();
  PyTypeObject* type = pipeline_result_type();
  if (type == nullptr) return Ref();
  return Ref::steal(ResultObject::create(type, std::move(result)));
}

/// Waits for the oldest frame (the interpreter lock released, signals looked
/// at between slices) and makes its result. An interrupted wait leaves the
/// frame in flight.
Ref collect_oldest(PipelineState& state) {
  const ara2::trace::Scope span(ara2::trace::Phase::Collect, ara2::trace::kNoEndpoint,
                                ara2::trace::frame(state.core.oldest_number()));
  ara2::Pipeline::Slot& slot = state.core.slot(state.core.oldest_index());
  if (slot.failure) return finish_oldest(state, ara2::fail(*slot.failure));
  for (;;) {
    std::optional<ara2::Result<ara2::ModelTiming>> outcome;
    Py_BEGIN_ALLOW_THREADS
    outcome = slot.request->wait_once(kWaitSliceMs);
    Py_END_ALLOW_THREADS
    if (outcome) return finish_oldest(state, *outcome);
    if (PyErr_CheckSignals() < 0) return Ref();
  }
}

/// Queues `result`, or hands it to the callback.
bool deliver(PipelineState& state, Ref result) {
  if (!state.callback) {
    state.ready.push_back(std::move(result));
    return true;
  }
  Ref returned = Ref::steal(PyObject_CallOneArg(state.callback.get(), result.get()));
  return static_cast<bool>(returned);
}

bool collect_and_deliver(PipelineState& state) {
  Ref result = collect_oldest(state);
  return result && deliver(state, std::move(result));
}

/// The oldest result not handed out yet, waiting for its frame if needed;
/// empty without an exception when there is none.
Ref next_result(PipelineState& state) {
  if (state.callback) {
    to_python(ara2::CoreError::results_go_to_callback());
    return Ref();
  }
  if (state.ready.empty()) {
    if (state.core.in_flight() == 0) return Ref();
    return collect_oldest(state);
  }
  Ref result = std::move(state.ready.front());
  state.ready.pop_front();
  return result;
}

/// Input `index` of a frame given as one object or a list or tuple, read
/// afresh each time: the tobytes() of one input may change the list.
Ref frame_input(PyObject* inputs, bool sequence, std::size_t index) {
  if (!sequence) return Ref::borrow(inputs);
  const Py_ssize_t at = static_cast<Py_ssize_t>(index);
  if (PyTuple_Check(inputs)) return Ref::borrow(PyTuple_GET_ITEM(inputs, at));
  if (at < PyList_GET_SIZE(inputs)) return Ref::borrow(PyList_GET_ITEM(inputs, at));
  raise_error(PyExc_ValueError, "the list of inputs changed while it was read");
  return Ref();
}

PyObject* pipeline_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Pipeline::put, args, nargs, kwnames);
  if (!argv) return nullptr;
  auto access = enter_open(self, true);
  if (!access) return nullptr;
  PipelineState& state = pipeline_state(self);
  ara2::Pipeline& core = state.core;
  const ara2::trace::Scope span(ara2::trace::Phase::Put, ara2::trace::kNoEndpoint,
                                ara2::trace::frame(core.oldest_number() + core.in_flight()));
  // Back-pressure: the oldest frame frees the slot this one needs.
  if (core.full() && !collect_and_deliver(state)) return nullptr;

  PyObject* inputs = argv[0].object;
  const bool sequence = PyList_Check(inputs) || PyTuple_Check(inputs);
  const std::size_t given = sequence ? static_cast<std::size_t>(Py_SIZE(inputs)) : 1;
  const std::size_t index = core.next_index();
  ara2::TensorSet& set = *core.slot(index).set;
  if (given != set.inputs().size()) {
    return raise_error(PyExc_ValueError, fmt::format("expected {} input(s), one per model input, got {}",
                                                     set.inputs().size(), given));
  }
  {
    const ara2::trace::Scope writing(ara2::trace::Phase::InputWrite, ara2::trace::kNoEndpoint,
                                     ara2::trace::frame(core.oldest_number() + core.in_flight()));
    for (std::size_t i = 0; i < given; ++i) {
      Ref input = frame_input(inputs, sequence, i);
      InputBytes bytes;
      if (!input || !input_bytes(input.get(), bytes)) return nullptr;
      if (auto written = set.write_input(i, bytes.span()); !written) return to_python(written.error());
    }
  }
  state.userdata[index] = Ref::borrow(argv[1].object != nullptr ? argv[1].object : Py_None);
  state.geometry[index] = Ref();
  core.submit_next();
  Py_RETURN_NONE;
}

PyObject* pipeline_put_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Pipeline::put_image, args, nargs, kwnames);
  if (!argv) return nullptr;
  auto access = enter_open(self, true);
  if (!access) return nullptr;
  ImageArgs image_args;
  if (!convert_image_args(argv[2], argv[3], argv[4], argv[5], Arg{nullptr, "threads"}, image_args)) return nullptr;
  PipelineState& state = pipeline_state(self);
  ara2::Pipeline& core = state.core;
  const ara2::TensorSet& first = *core.slot(core.next_index()).set;
  if (first.inputs().size() != 1) {
    return raise_error(PyExc_ValueError, fmt::format("put_image() fills models of one input; this one has {}",
                                                     first.inputs().size()));
  }
  if (!state.image) {
    state.image = image_input(core.model(), 0);
    if (!state.image) return nullptr;
  }
  const ara2::trace::Scope span(ara2::trace::Phase::Put, ara2::trace::kNoEndpoint,
                                ara2::trace::frame(core.oldest_number() + core.in_flight()));
  // Back-pressure: the oldest frame frees the slot this one needs.
  if (core.full() && !collect_and_deliver(state)) return nullptr;
  const std::size_t index = core.next_index();
  Ref geometry;
  {
    const ara2::trace::Scope writing(ara2::trace::Phase::InputWrite, ara2::trace::kNoEndpoint,
                                     ara2::trace::frame(core.oldest_number() + core.in_flight()));
    geometry = Ref::steal(write_image(*state.image, image_args, argv[0].object, *core.slot(index).set, 0));
  }
  if (!geometry) return nullptr;
  state.userdata[index] = Ref::borrow(argv[1].object != nullptr ? argv[1].object : Py_None);
  state.geometry[index] = std::move(geometry);
  core.submit_next();
  Py_RETURN_NONE;
}

PyObject* pipeline_get(PyObject* self, PyObject*) {
  auto access = enter_open(self, true);
  if (!access) return nullptr;
  Ref result = next_result(pipeline_state(self));
  if (!result && !PyErr_Occurred()) return to_python(ara2::CoreError::no_frames());
  return result.release();
}

PyObject* pipeline_next(PyObject* self) {
  auto access = enter_open(self, true);
  if (!access) return nullptr;
  return next_result(pipeline_state(self)).release();  // nullptr without an exception: the end
}

PyObject* pipeline_iter(PyObject* self) {
  auto access = enter_open(self, false);
  if (!access) return nullptr;
  return Py_NewRef(self);
}

PyObject* wait_all(PyObject* self) {
  PipelineState& state = pipeline_state(self);
  while (state.core.in_flight() != 0) {
    if (!collect_and_deliver(state)) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* pipeline_wait_all(PyObject* self, PyObject*) {
  auto access = enter_open(self, true);
  if (!access) return nullptr;
  return wait_all(self);
}

/// Frees what is in flight without waiting, drops the queued results and releases the models and tensors.
void close_state(PipelineState& state) {
  state.core.close();
  for (Ref& data : state.userdata) data = Ref();
  for (Ref& geometry : state.geometry) geometry = Ref();
  state.ready.clear();
  release_parked_arrays();
}

PyObject* pipeline_close(PyObject* self, PyObject*) {
  PipelineState& state = pipeline_state(self);
  auto access = enter_state(state, true);
  if (!access) return nullptr;
  close_state(state);
  Py_RETURN_NONE;
}

PyObject* pipeline_enter(PyObject* self, PyObject*) {
  auto access = enter_open(self, false);
  if (!access) return nullptr;
  return Py_NewRef(self);
}

PyObject* pipeline_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Pipeline::dunder_exit, args, nargs, kwnames);
  if (!argv) return nullptr;
  PipelineState& state = pipeline_state(self);
  auto access = enter_state(state, true);
  if (!access) return nullptr;
  // Frames in flight are waited for only when no exception is leaving the
  // block: closing never raises, so it cannot hide one.
  Ref waited = Ref::borrow(Py_None);
  if (argv[0].object == Py_None && state.core.is_open()) waited = Ref::steal(wait_all(self));
  close_state(state);
  if (!waited) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* pipeline_capacity(PyObject* self, void*) {
  auto access = enter_open(self, false);
  if (!access) return nullptr;
  return PyLong_FromSize_t(pipeline_state(self).core.capacity());
}

PyObject* pipeline_in_flight(PyObject* self, void*) {
  auto access = enter_open(self, false);
  if (!access) return nullptr;
  return PyLong_FromSize_t(pipeline_state(self).core.in_flight());
}

PyObject* pipeline_ready(PyObject* self, void*) {
  auto access = enter_open(self, false);
  if (!access) return nullptr;
  return PyLong_FromSize_t(pipeline_state(self).ready.size());
}

PyObject* pipeline_repr(PyObject* self) {
  PipelineState& state = pipeline_state(self);
  auto access = enter_state(state, false);
  if (!access) return nullptr;
  if (!state.core.is_open()) return PyUnicode_FromString("Pipeline(closed)");
  const std::string text = fmt::format("Pipeline(capacity={}, in_flight={}, ready={})", state.core.capacity(),
                                       state.core.in_flight(), state.ready.size());
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---------------------------------------------------------------------------
// Pipeline.open

/// One Endpoint, or a sequence of them.
bool convert_endpoints(Arg arg, std::vector<ara2::EndpointRef>& out) {
  PyTypeObject* endpoint = endpoint_type();
  if (endpoint == nullptr) return false;
  if (Py_TYPE(arg.object) == endpoint) {
    out.push_back(endpoint_ref(arg.object));
    return true;
  }
  Ref items = PyUnicode_Check(arg.object) ? Ref() : Ref::steal(PySequence_Fast(arg.object, ""));
  PyObject* wrong = arg.object;
  if (items) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count && wrong == arg.object; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
      if (Py_TYPE(item) == endpoint) {
        out.push_back(endpoint_ref(item));
      } else {
        wrong = item;
      }
    }
    if (wrong == arg.object) return true;
  }
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "argument '%s': expected an Endpoint or a sequence of Endpoints, got %s%s", arg.name,
               items ? "a sequence holding " : "", Py_TYPE(wrong)->tp_name);
  return false;
}

PyObject* pipeline_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Pipeline::open, args, nargs, kwnames);
  if (!argv) return nullptr;
  std::vector<ara2::EndpointRef> endpoints;
  if (!convert_endpoints(argv[0], endpoints)) return nullptr;
  PathArg path;
  if (!convert_path(argv[1], path)) return nullptr;
  std::uint64_t requests = surface::Pipeline::open_requests_default;
  if (argv[2].object != nullptr && !convert_u64(argv[2], requests)) return nullptr;
  std::optional<tallowind::tensor::TensorMemory> memory;
  if (!convert_memory(argv[3], memory)) return nullptr;
  const int dequantize = argv[4].object != nullptr ? PyObject_IsTrue(argv[4].object) : 0;
  if (dequantize < 0) return nullptr;
  PyObject* callback = argv[5].object != nullptr && argv[5].object != Py_None ? argv[5].object : nullptr;
  if (callback != nullptr && !PyCallable_Check(callback)) {
    return raise_error(PyExc_TypeError, fmt::format("argument 'callback': expected a callable or None, got {}",
                                                    Py_TYPE(callback)->tp_name));
  }
  if (endpoints.empty()) return raise_error(PyExc_ValueError, "argument 'endpoints': no endpoint given");
  if (requests == 0 || requests > kMaxRequests) {
    return raise_error(PyExc_ValueError,
                       fmt::format("argument 'requests': expected 1 to {} requests per endpoint, got {}", kMaxRequests,
                                   requests));
  }

  auto core = ara2::Pipeline::open(endpoints, path.bytes, static_cast<std::size_t>(requests), memory);
  if (!core) return to_python(core.error());
  // Every output must be readable as asked before any frame goes in.
  std::vector<OutputReader> readers;
  const std::size_t outputs = core->slot(0).set->outputs().size();
  for (std::size_t i = 0; i < outputs; ++i) {
    auto reader = output_reader(core->model(), i, dequantize != 0);
    if (!reader) return nullptr;
    readers.push_back(*reader);
  }
  PyTypeObject* type = pipeline_type();
  if (type == nullptr) return nullptr;
  return PipelineObject::create(type, std::move(*core), std::move(readers), Ref::borrow(callback));
}

// ---------------------------------------------------------------------------
// Finalisation and the collector

int pipeline_traverse(PyObject* self, visitproc visit, void* arg) {
  PipelineState& state = pipeline_state(self);
  Py_VISIT(state.callback.get());
  for (const Ref& data : state.userdata) Py_VISIT(data.get());
  for (const Ref& result : state.ready) Py_VISIT(result.get());
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int pipeline_clear(PyObject* self) {
  PipelineState& state = pipeline_state(self);
  state.callback = Ref();
  for (Ref& data : state.userdata) data = Ref();
  state.ready.clear();
  return 0;
}

void pipeline_dealloc(PyObject* self) {
  // Off the owner thread the requests, models and tensors are left as they are.
  if (!pipeline_state(self).affinity.may_release()) {
    PipelineObject::free_instance(self);
    return;
  }
  PipelineObject::dealloc(self);
  release_parked_arrays();
}

PyMethodDef pipeline_methods[] = {
    method<pipeline_open>(surface::Pipeline::open),
    method<pipeline_put>(surface::Pipeline::put),
    method<pipeline_put_image>(surface::Pipeline::put_image),
    method<pipeline_get>(surface::Pipeline::get),
    method<pipeline_wait_all>(surface::Pipeline::wait_all),
    method<pipeline_close>(surface::Pipeline::close),
    method<pipeline_enter>(surface::Pipeline::dunder_enter),
    method<pipeline_exit>(surface::Pipeline::dunder_exit),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pipeline_getset[] = {
    getter<pipeline_capacity>(surface::Pipeline::capacity),
    getter<pipeline_in_flight>(surface::Pipeline::in_flight),
    getter<pipeline_ready>(surface::Pipeline::ready),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pipeline_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::Pipeline::class_.doc)},
    {Py_tp_methods, pipeline_methods},
    {Py_tp_getset, pipeline_getset},
    {Py_tp_iter, slot<pipeline_iter>()},
    {Py_tp_iternext, slot<pipeline_next>()},
    {Py_tp_repr, slot<pipeline_repr>()},
    {Py_tp_traverse, slot<pipeline_traverse>()},
    {Py_tp_clear, slot<pipeline_clear>()},
    {Py_tp_dealloc, slot<pipeline_dealloc>()},
    {0, nullptr},
};

// Garbage-collected: a callback that refers back to its pipeline is the usual cycle.
PyType_Spec pipeline_spec = {surface::Pipeline::class_.name, sizeof(PipelineObject), 0, Py_TPFLAGS_HAVE_GC,
                             pipeline_slots};

}  // namespace

PyTypeObject* pipeline_type() {
  PyTypeObject*& type = module_state().type(TypeId::Pipeline);
  return create_type_once(type, pipeline_spec);
}

PyTypeObject* pipeline_result_type() {
  PyTypeObject*& type = module_state().type(TypeId::PipelineResult);
  return create_type_once(type, result_spec);
}

}  // namespace tallowind::python
