// Python class trace: starting and stopping request traces (ara2/trace.hpp),
// and the recording ARA2_TRACE asks for, from import to exit.
#include <cstdlib>
#include <fmt/format.h>

#include "ara2/trace.hpp"
#include "python/module_state.hpp"
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

/// The file a trace object was started for; its __exit__ stops that recording only.
struct TraceState {
  std::string path;
};
using TraceObject = Boxed<TraceState>;

/// Starts a recording, or raises: RuntimeError when one is on, OSError when
/// the file cannot be written.
bool start_recording(const PathArg& path) {
  int error = 0;
  switch (ara2::trace::start(path.bytes, error)) {
    case ara2::trace::Refusal::None:
      return true;
    case ara2::trace::Refusal::AlreadyOn:
      raise_error(PyExc_RuntimeError,
                  fmt::format("a trace is already being recorded to {}", ara2::trace::current_path()));
      return false;
    case ara2::trace::Refusal::CannotWrite:
      errno = error;
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.bytes.c_str());
      return false;
  }
  return false;
}

/// Ends the recording and writes it; the number of spans, or nullptr with
/// OSError raised when the file could not be written. None when none was on.
PyObject* stop_recording() {
  std::optional<ara2::trace::Written> written;
  Py_BEGIN_ALLOW_THREADS written = ara2::trace::stop();
  Py_END_ALLOW_THREADS
  if (!written) Py_RETURN_NONE;
  if (written->error != 0) {
    errno = written->error;
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, written->path.c_str());
  }
  return PyLong_FromSize_t(written->events);
}

PyObject* trace_start(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::trace::start, args, nargs, kwnames);
  if (!argv) return nullptr;
  PathArg path;
  if (!convert_path(argv[0], path) || !start_recording(path)) return nullptr;
  PyTypeObject* type = trace_type();
  if (type == nullptr) return nullptr;
  return TraceObject::create(type, TraceState{path.bytes});
}

PyObject* trace_stop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::trace::stop, args, nargs, kwnames)) return nullptr;
  if (ara2::trace::current_path().empty()) return raise_error(PyExc_RuntimeError, "no trace is being recorded");
  return stop_recording();
}

PyObject* trace_recording(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::trace::recording, args, nargs, kwnames)) return nullptr;
  const std::string path = ara2::trace::current_path();
  if (path.empty()) Py_RETURN_NONE;
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

PyObject* trace_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* trace_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::trace::dunder_exit, args, nargs, kwnames)) return nullptr;
  if (ara2::trace::current_path() == TraceObject::of(self).path) {
    Ref written = Ref::steal(stop_recording());
    if (!written) return nullptr;
  }
  Py_RETURN_FALSE;
}

PyObject* trace_repr(PyObject* self) {
  const std::string& path = TraceObject::of(self).path;
  const bool on = ara2::trace::current_path() == path;
  Ref text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!text) return nullptr;
  return PyUnicode_FromFormat("trace(%R, %s)", text.get(), on ? "recording" : "stopped");
}

PyMethodDef trace_methods[] = {
    method<trace_start>(surface::trace::start),
    method<trace_stop>(surface::trace::stop),
    method<trace_recording>(surface::trace::recording),
    method<trace_enter>(surface::trace::dunder_enter),
    method<trace_exit>(surface::trace::dunder_exit),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot trace_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::trace::class_.doc)},
    {Py_tp_methods, trace_methods},
    {Py_tp_repr, slot<trace_repr>()},
    {Py_tp_dealloc, slot<TraceObject::dealloc>()},
    {0, nullptr},
};

PyType_Spec trace_spec = {surface::trace::class_.name, sizeof(TraceObject), 0, 0, trace_slots};

/// Writes the recording ARA2_TRACE started, when the interpreter exits.
void write_at_exit() { (void)ara2::trace::stop(); }

}  // namespace

PyTypeObject* trace_type() {
  PyTypeObject*& type = module_state().type(TypeId::Trace);
  return create_type_once(type, trace_spec);
}

bool start_trace_from_environment() {
  static bool started = false;  // once per process, whatever the imports
  const char* path = std::getenv("ARA2_TRACE");
  if (started || path == nullptr || *path == '\0') return true;
  started = true;
  int error = 0;
  if (ara2::trace::start(path, error) == ara2::trace::Refusal::CannotWrite) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    return false;
  }
  if (Py_AtExit(write_at_exit) == 0) return true;
  raise_error(PyExc_RuntimeError, "no room to write the trace at exit");
  return false;
}

}  // namespace tallowind::python
