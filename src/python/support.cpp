#include "python/support.hpp"

#include <fmt/format.h>

#include <cstring>
#include <exception>
#include <limits>

#include "ara2/text.hpp"
#include "python/exception_table.hpp"

namespace tallowind::python {

// ---------------------------------------------------------------------------
// Arguments

namespace detail {

bool bind_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const char* const* name, std::size_t names, std::size_t required, PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(names);
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = nullptr;

  if (nargs > count) {
    if (count == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function, nargs);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", function, count,
                   count == 1 ? "" : "s", nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t match = -1;
    for (Py_ssize_t j = 0; j < count; ++j) {
      if (PyUnicode_CompareWithASCIIString(key, name[j]) == 0) {
        match = j;
        break;
      }
    }
    if (match < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[match] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, name[match]);
      return false;
    }
    out[match] = args[nargs + k];
  }

  for (std::size_t j = 0; j < required; ++j) {
    if (out[j] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, name[j], j + 1);
      return false;
    }
  }
  return true;
}

}  // namespace detail

bool convert_str(Arg arg, std::string& out) {
  if (!PyUnicode_Check(arg.object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %s", arg.name, Py_TYPE(arg.object)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg.object, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_optional_str(Arg arg, std::optional<std::string>& out) {
  if (arg.object == nullptr || arg.object == Py_None) {
    out.reset();
    return true;
  }
  std::string text;
  if (!convert_str(arg, text)) return false;
  out = std::move(text);
  return true;
}

bool convert_path(Arg arg, PathArg& out) {
  Ref path = Ref::steal(PyOS_FSPath(arg.object));
  if (!path) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
  }
  if (!path || !PyUnicode_Check(path.get())) {
    PyObject* shown = path ? path.get() : arg.object;
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or os.PathLike returning str, got %s", arg.name,
                 Py_TYPE(shown)->tp_name);
    return false;
  }
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return false;
  out.bytes.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  out.text = ara2::utf8_lossy(out.bytes);
  return true;
}

namespace {

/// operator.index(object), with a TypeError naming the argument.
Ref index_of(Arg arg) {
  Ref index = Ref::steal(PyNumber_Index(arg.object));
  if (!index && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be interpreted as an integer", arg.name,
                 Py_TYPE(arg.object)->tp_name);
  }
  return index;
}

template <class T>
bool convert_small_unsigned(Arg arg, T& out) {
  Ref index = index_of(arg);
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || static_cast<unsigned long long>(value) > std::numeric_limits<T>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<T>(value);
  return true;
}

}  // namespace

bool convert_u64(Arg arg, std::uint64_t& out) {
  Ref index = index_of(arg);
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_u32(Arg arg, std::uint32_t& out) { return convert_small_unsigned(arg, out); }

bool convert_u16(Arg arg, std::uint16_t& out) { return convert_small_unsigned(arg, out); }

PyObject* to_str(std::string_view text) {
  const std::string valid = ara2::utf8_lossy(text);
  return PyUnicode_FromStringAndSize(valid.data(), static_cast<Py_ssize_t>(valid.size()));
}

// ---------------------------------------------------------------------------
// Errors

PyObject* exception_class(ara2::ErrorClass cls) {
  const ExceptionDef& def = kExceptionDefs[static_cast<std::size_t>(cls)];
  if (def.facts == nullptr) return *def.builtin;
  PyObject*& slot = module_state().exceptions[static_cast<std::size_t>(cls)];
  if (slot != nullptr) return slot;
  PyObject* base = def.builtin != nullptr ? *def.builtin : exception_class(ara2::ErrorClass::Ara2Error);
  if (base == nullptr) return nullptr;
  PyObject* created = PyErr_NewExceptionWithDoc(def.facts->name, def.facts->doc, base, nullptr);
  // Creating a class can run a garbage collection and with it other threads;
  // should one of them have won, its class is the one everybody keeps.
  if (created == nullptr || slot != nullptr) {
    Py_XDECREF(created);
    return slot;
  }
  slot = created;
  return created;
}

PyObject* internal_failure_class() { return exception_class(ara2::ErrorClass::InternalFailure); }

std::nullptr_t raise_error(PyObject* type, std::string_view message) {
  if (type == nullptr) return nullptr;  // creating the class failed; its error is pending
  Ref text = Ref::steal(to_str(message));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

namespace {

/// Appends `note` to the pending exception's __notes__ (what add_note does
/// from 3.11 on, and harmless on 3.10), leaving str(exc) and args untouched.
/// A failure to attach it keeps the original exception.
void attach_note(std::string_view note) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception = PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *exception = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &exception, &traceback);
  PyErr_NormalizeException(&type, &exception, &traceback);
#endif
  if (exception != nullptr) {
    Ref text = Ref::steal(to_str(note));
    Ref notes = Ref::steal(text ? PyObject_GetAttrString(exception, "__notes__") : nullptr);
    if (text && !notes && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      notes = Ref::steal(PyList_New(0));
      if (notes && PyObject_SetAttrString(exception, "__notes__", notes.get()) < 0) notes = Ref();
    }
    if (!notes || !PyList_Check(notes.get()) || PyList_Append(notes.get(), text.get()) < 0) PyErr_Clear();
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(type, exception, traceback);
#endif
}

}  // namespace

std::nullptr_t to_python(const ara2::CoreError& error, ara2::ErrorScope scope) {
  raise_error(exception_class(error.error_class(scope)), error.message());
  if (!error.note().empty() && PyErr_Occurred()) attach_note(error.note());
  return nullptr;
}

std::nullptr_t raise_internal(std::string_view message) {
  return to_python(ara2::CoreError::internal(std::string(message)));
}

void raise_current_exception() noexcept {
  // Only the C API from here on: building C++ strings could throw again.
  const char* what = "an exception of an unknown type";
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  } catch (const std::exception& error) {
    what = error.what();
  } catch (...) {
  }
  PyObject* cls = internal_failure_class();
  if (cls == nullptr) return;
  Ref detail = Ref::steal(PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace"));
  if (!detail) return;
  Ref text = Ref::steal(PyUnicode_FromFormat("uncaught C++ exception: %U", detail.get()));
  if (text) PyErr_SetObject(cls, text.get());
}

Ref take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

ErrorStash::ErrorStash() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  exception_ = PyErr_GetRaisedException();
#else
  PyErr_Fetch(&type_, &value_, &traceback_);
#endif
}

ErrorStash::~ErrorStash() {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception_);
#else
  PyErr_Restore(type_, value_, traceback_);
#endif
}

void report_unraisable(PyObject* type, std::string_view message, PyObject* context) {
  ErrorStash stash;
  raise_error(type, message);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(context);
}

void report_unraisable(const ara2::CoreError& error, PyObject* context) {
  ErrorStash stash;
  to_python(error);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(context);
}

// ---------------------------------------------------------------------------
// Types

PyTypeObject* create_type_once(PyTypeObject*& slot, PyType_Spec& spec, bool (*setup)(PyTypeObject*)) {
  if (slot != nullptr) return slot;
  spec.flags = (spec.flags | Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION) & ~Py_TPFLAGS_BASETYPE;
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  auto* created = reinterpret_cast<PyTypeObject*>(type.get());
  if (setup != nullptr && !setup(created)) return nullptr;
  // Another thread may have run while the type was built; keep the first one.
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(type.release());
  return slot;
}

bool add_class_attribute(PyTypeObject* type, const char* name, PyObject* value) {
  return PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, value) == 0;
}

// ---------------------------------------------------------------------------
// Thread affinity and re-entrancy

bool ThreadAffinity::check() const {
  if (on_owner_thread()) return true;
  raise_internal(fmt::format("{} is unsendable, but sent to another thread", type_path_));
  return false;
}

bool ThreadAffinity::may_release() const {
  if (on_owner_thread()) return true;
  report_unraisable(PyExc_RuntimeError, fmt::format("{} is unsendable, but is being dropped on another thread", type_path_),
                    nullptr);
  return false;
}

BorrowGuard BorrowGuard::shared(BorrowFlag& flag) {
  if (flag.state_ < 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return BorrowGuard(nullptr);
  }
  ++flag.state_;
  return BorrowGuard(&flag);
}

BorrowGuard BorrowGuard::exclusive(BorrowFlag& flag) {
  if (flag.state_ != 0) {
    PyErr_SetString(PyExc_RuntimeError, flag.state_ < 0 ? "Already mutably borrowed" : "Already borrowed");
    return BorrowGuard(nullptr);
  }
  flag.state_ = -1;
  return BorrowGuard(&flag);
}

BorrowGuard::~BorrowGuard() {
  if (flag_ == nullptr) return;
  if (flag_->state_ < 0) {
    flag_->state_ = 0;
  } else {
    --flag_->state_;
  }
}

}  // namespace tallowind::python
