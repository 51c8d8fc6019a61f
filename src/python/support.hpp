// The thin layer every Python class of the module is written with: owned
// references, argument binding and conversion, raising core errors, type
// creation, thread affinity and re-entrancy guards.
//
// Conventions for callers:
// - Functions returning bool return false with a Python exception set.
// - Functions returning PyObject* return a new reference, or nullptr with a
//   Python exception set.
// - Everything here runs with the interpreter lock held, except where noted.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

#include "ara2/core_error.hpp"
#include "python/module_state.hpp"

namespace tallowind::python {

/// Owning reference to a PyObject (may be empty).
class Ref {
 public:
  Ref() noexcept = default;
  /// Takes over a new reference (nullptr gives an empty Ref).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  /// Adds a reference to a borrowed object.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  /// Hands the reference to the caller, leaving this Ref empty.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// The surface description
//
// What the generated header (surface.hpp in the build tree, made from
// src/python/surface/surface.py) gives each function, method, property and
// class: surface::Model::load... is a Signature, surface::Model::n_inputs a
// Property, surface::Model::class_ the class's ClassFacts.

/// A function or method: the name its TypeErrors show ("load_model"), its
/// docstring with the text-signature header, its parameters in order, of
/// which the first `required` must be given.
template <std::size_t N>
struct Signature {
  const char* name;
  const char* doc;
  std::array<const char*, N> parameters;
  std::size_t required;
  bool is_static;
};

struct Property {
  const char* name;
  const char* doc;  // nullptr: none
};

struct ClassFacts {
  const char* name;  // "tallowind_ara2.Session": module and qualified name
  const char* doc;   // nullptr: none
};

// ---------------------------------------------------------------------------
// Arguments

/// One argument as bound to its parameter: the borrowed object (nullptr when
/// an optional parameter was not given) and the parameter's name, which the
/// converters show in their TypeErrors.
struct Arg {
  PyObject* object;
  const char* name;
};

/// The arguments of one call, by parameter position; false when binding
/// failed (a TypeError is set).
template <std::size_t N>
class BoundArgs {
 public:
  BoundArgs(const Signature<N>& signature, const std::array<PyObject*, N>& objects, bool bound) noexcept
      : signature_(signature), objects_(objects), bound_(bound) {}
  explicit operator bool() const noexcept { return bound_; }
  Arg operator[](std::size_t i) const noexcept { return {objects_[i], signature_.parameters[i]}; }

 private:
  const Signature<N>& signature_;  // the generated tables live for the process
  std::array<PyObject*, N> objects_;
  bool bound_;
};

namespace detail {
bool bind_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const char* const* names, std::size_t count, std::size_t required, PyObject** out);
}  // namespace detail

/// Binds METH_FASTCALL|METH_KEYWORDS arguments to the parameters of
/// `signature`, by position or keyword; a callable without parameters
/// refuses any argument.
///
///   auto argv = bind_args(surface::Model::input_info, args, nargs, kwnames);
///   if (!argv) return nullptr;
///   if (!convert_u64(argv[0], index)) return nullptr;
template <std::size_t N>
BoundArgs<N> bind_args(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> objects{};
  const bool bound = detail::bind_args(signature.name, args, nargs, kwnames, signature.parameters.data(), N,
                                       signature.required, objects.data());
  return BoundArgs<N>(signature, objects, bound);
}

/// A path argument: a str or an os.PathLike whose __fspath__ gives a str.
struct PathArg {
  std::string bytes;  // encoded with the file-system encoding (os.fsencode)
  std::string text;   // those bytes decoded as UTF-8, invalid sequences as U+FFFD
};

// Converters: the TypeErrors name the argument ("argument 'ip': expected
// str, got int").

/// A str, as UTF-8.
bool convert_str(Arg arg, std::string& out);
/// None (or a parameter that was not given) gives nullopt.
bool convert_optional_str(Arg arg, std::optional<std::string>& out);
/// str or os.PathLike giving str; bytes and bytes-giving PathLikes are refused.
bool convert_path(Arg arg, PathArg& out);
/// Index protocol; negative or too large raises OverflowError, a non-integer TypeError.
bool convert_u64(Arg arg, std::uint64_t& out);
/// Index protocol; outside the type's range raises OverflowError
/// "out of range integral type conversion attempted".
bool convert_u32(Arg arg, std::uint32_t& out);
bool convert_u16(Arg arg, std::uint16_t& out);

/// Text as a Python str; invalid UTF-8 is replaced by U+FFFD.
PyObject* to_str(std::string_view text);

// ---------------------------------------------------------------------------
// Errors

/// The Python class `cls` is raised as (borrowed): a module class is created
/// once per process; ErrorClass::InternalFailure gives the internal-failure
/// exception, a built-in class itself.
PyObject* exception_class(ara2::ErrorClass cls);

/// The internal-failure exception, "tallowind_ara2.InternalFailure": derives
/// directly from BaseException so `except Exception` does not swallow a broken
/// invariant; not a module attribute and not in __all__. Borrowed reference.
PyObject* internal_failure_class();

/// Raises `error` as the class error_class(scope) maps it to, with the message
/// as the only argument and the note, if any, in __notes__. Every exception
/// of the module's classes is raised here. Returns nullptr so a method can
/// `return to_python(error);`.
std::nullptr_t to_python(const ara2::CoreError& error, ara2::ErrorScope scope = ara2::ErrorScope::Any);

/// Raises a built-in or other exception type with a one-string argument.
std::nullptr_t raise_error(PyObject* type, std::string_view message);

/// Raises the internal-failure exception with `message`.
std::nullptr_t raise_internal(std::string_view message);

/// Where no exception can propagate (finalisers): reports `type(message)`
/// through sys.unraisablehook, keeping any exception already pending.
/// `context` is shown as the object the error happened in; pass nullptr from
/// tp_dealloc, where the dying object must not be handed out.
void report_unraisable(PyObject* type, std::string_view message, PyObject* context);
void report_unraisable(const ara2::CoreError& error, PyObject* context);

/// The exception being raised, as a normalised exception object, and the
/// error indicator cleared; empty when none is raised. For keeping an error
/// as a value (a pipeline result's error).
Ref take_raised_exception() noexcept;

/// Saves the pending exception (if any) and restores it on scope exit; for
/// finalisers that run Python-level code.
class ErrorStash {
 public:
  ErrorStash() noexcept;
  ~ErrorStash();
  ErrorStash(const ErrorStash&) = delete;
  ErrorStash& operator=(const ErrorStash&) = delete;

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception_;
#else
  PyObject *type_, *value_, *traceback_;
#endif
};

// ---------------------------------------------------------------------------
// The exception boundary
//
// No C++ exception may reach the interpreter. Every function the interpreter
// calls (methods, getters, type and module slots) is installed through
// `guarded<f>`: a noexcept trampoline with f's signature whose catch turns an
// exception into a Python one. On the non-throwing path it costs nothing
// beyond the call, which the compiler usually inlines.

/// Inside a catch block: raises the exception being handled as MemoryError
/// (std::bad_alloc) or the internal-failure exception (anything else, with
/// its what() text).
void raise_current_exception() noexcept;

namespace detail {

template <class R>
R failed_call() noexcept {
  if constexpr (std::is_void_v<R>) {
    // Finalisers: nowhere to raise.
    ErrorStash stash;
    raise_current_exception();
    PyErr_WriteUnraisable(nullptr);
  } else {
    raise_current_exception();
    if constexpr (std::is_pointer_v<R>) return nullptr;
    else return static_cast<R>(-1);  // int and Py_hash_t slots
  }
}

template <auto Function, class Signature = decltype(Function)>
struct Guarded;

template <auto Function, class R, class... Args>
struct Guarded<Function, R (*)(Args...)> {
  static R call(Args... args) noexcept {
    try {
      return Function(args...);
    } catch (...) {
      return failed_call<R>();
    }
  }
};

template <auto Function, class R, class... Args>
struct Guarded<Function, R (*)(Args...) noexcept> {
  static R call(Args... args) noexcept { return Function(args...); }
};

template <class F>
PyCFunction as_pycfunction(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace detail

/// `Function` behind the exception boundary, with the same signature: for
/// getters (PyGetSetDef) and anything else stored as a typed pointer.
template <auto Function>
inline constexpr auto guarded = &detail::Guarded<Function>::call;

/// `Function` behind the exception boundary as the void* a PyType_Slot or
/// PyModuleDef_Slot stores.
template <auto Function>
void* slot() noexcept {
  return reinterpret_cast<void*>(guarded<Function>);
}

/// A method behind the exception boundary as the PyCFunction a PyMethodDef
/// stores, whatever its calling convention (METH_FASTCALL | METH_KEYWORDS,
/// METH_NOARGS, ...). A macro because the function has to be a template
/// argument: each method gets its own trampoline.
#define as_method(function) (::tallowind::python::detail::as_pycfunction(::tallowind::python::guarded<function>))

/// The method table entry of `Function` for the described `signature`: name,
/// docstring and METH_STATIC from the description, the calling convention
/// from the function's type. A method taking no argument object (METH_NOARGS)
/// cannot have parameters, so a parameter added to the description fails the
/// build until the function binds it.
///
///   method<model_close>(surface::Model::close)
template <auto Function, std::size_t N>
PyMethodDef method(const Signature<N>& signature) noexcept {
  using F = decltype(Function);
  constexpr bool no_args = std::is_same_v<F, PyObject* (*)(PyObject*, PyObject*)>;
  constexpr bool fastcall = std::is_same_v<F, PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>;
  static_assert(no_args || fastcall, "methods are METH_NOARGS or METH_FASTCALL | METH_KEYWORDS");
  static_assert(fastcall || N == 0, "a method with parameters binds them: METH_FASTCALL | METH_KEYWORDS");
  const int flags = (no_args ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS) | (signature.is_static ? METH_STATIC : 0);
  return {signature.name, as_method(Function), flags, signature.doc};
}

/// The method table of a type: the parts in order, then the sentinel.
template <std::size_t... N>
std::array<PyMethodDef, (N + ... + 1)> method_table(const std::array<PyMethodDef, N>&... parts) {
  std::array<PyMethodDef, (N + ... + 1)> table{};
  std::size_t at = 0;
  ((std::copy(parts.begin(), parts.end(), table.begin() + at), at += N), ...);
  table.back() = PyMethodDef{nullptr, nullptr, 0, nullptr};
  return table;
}

/// The getset entry of the read-only `property`, its getter behind the exception boundary.
template <auto Getter>
PyGetSetDef getter(const Property& property) noexcept {
  return {property.name, guarded<Getter>, nullptr, property.doc, nullptr};
}

// ---------------------------------------------------------------------------
// Types

/// Creates a class of the module from `spec` once per process and returns it
/// (borrowed; the type lives as long as the process). `spec.name` must read
/// "tallowind_ara2.Name", which gives __module__ "tallowind_ara2" and
/// __qualname__ "Name". The flags are forced to what every class of the module
/// has: not instantiable from Python, not subclassable; the spec must not ask
/// for an instance __dict__ or weakref slot. `setup`, if given, runs on the
/// fresh type (for example to add class attributes); failing it fails the
/// creation. Building a type can let other threads run; when two threads race,
/// both may build one but only the first stored is ever returned, so `setup`
/// must not publish anything outside the type.
PyTypeObject* create_type_once(PyTypeObject*& slot, PyType_Spec& spec,
                               bool (*setup)(PyTypeObject*) = nullptr);

/// Adds a class attribute to a type created by create_type_once (in its setup).
bool add_class_attribute(PyTypeObject* type, const char* name, PyObject* value);

/// The class a member pointer (data member or member function) belongs to.
template <class M>
struct MemberClass;
template <class C, class M>
struct MemberClass<M C::*> {
  using type = C;
};

/// A Python object holding one C++ value. Use `Boxed<T>::dealloc` as tp_dealloc
/// and sizeof(Boxed<T>) as the basic size. Types with Py_TPFLAGS_HAVE_GC are
/// untracked before destruction.
template <class T>
struct Boxed {
  PyObject_HEAD
  T value;

  /// A new instance of `type` (a type of this module) with T constructed from args.
  template <class... Args>
  static PyObject* create(PyTypeObject* type, Args&&... args) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
      new (&reinterpret_cast<Boxed*>(self)->value) T(std::forward<Args>(args)...);
    } catch (...) {
      // The value never existed; the exception boundary raises the error.
      free_instance(self);
      throw;
    }
    return self;
  }
  static T& of(PyObject* self) noexcept { return reinterpret_cast<Boxed*>(self)->value; }
  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    reinterpret_cast<Boxed*>(self)->value.~T();
    free_instance(self);
  }
  /// Frees the object's memory without destroying the value (it is leaked on
  /// purpose, see ThreadAffinity::may_release).
  static void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
  }
};

/// A read-only class whose instances each hold a copy of a T (a record of the
/// core): `fields` are its attributes, `methods` (if any) its methods, and
/// `Repr` gives repr() and str(). Created once per process.
template <class T, auto Repr>
PyTypeObject* value_class(TypeId id, const ClassFacts& facts, PyGetSetDef* fields, PyMethodDef* methods = nullptr) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(facts.doc)},
      {Py_tp_getset, fields},
      {Py_tp_repr, slot<Repr>()},
      {Py_tp_dealloc, slot<Boxed<T>::dealloc>()},
      {methods ? Py_tp_methods : 0, methods},  // without methods, the list ends here
      {0, nullptr},
  };
  static PyType_Spec spec{facts.name, static_cast<int>(sizeof(Boxed<T>)), 0, 0, slots};
  return create_type_once(module_state().type(id), spec);
}

/// A new instance of the value class `type` (nullptr: its creation failed,
/// the error is set) holding a copy of `value`.
template <class T>
PyObject* make_value(PyTypeObject* type, const T& value) {
  if (type == nullptr) return nullptr;
  return Boxed<T>::create(type, value);
}

// ---------------------------------------------------------------------------
// Thread affinity and re-entrancy

/// Binds an object to the thread that created it. `type_path` is the name used
/// in messages, "tallowind_ara2::model::Model".
class ThreadAffinity {
 public:
  explicit ThreadAffinity(const char* type_path) noexcept
      : owner_(std::this_thread::get_id()), type_path_(type_path) {}

  bool on_owner_thread() const noexcept { return std::this_thread::get_id() == owner_; }

  /// At the start of every method: false with the internal-failure exception
  /// "{type_path} is unsendable, but sent to another thread" off the owner thread.
  bool check() const;

  /// In tp_dealloc: true when the resources may be released here. Otherwise
  /// reports RuntimeError "{type_path} is unsendable, but is being dropped on
  /// another thread" as unraisable; the caller then leaves its resources alone
  /// (Boxed<T>::free_instance instead of dealloc).
  bool may_release() const;

 private:
  std::thread::id owner_;
  const char* type_path_;
};

/// Re-entrancy state of one object: free, shared by n readers, or held by one writer.
class BorrowFlag {
 public:
  bool is_free() const noexcept { return state_ == 0; }

 private:
  friend class BorrowGuard;
  std::int64_t state_ = 0;  // > 0: readers; -1: a writer
};

/// RAII borrow of a BorrowFlag. Test it after construction; when it failed a
/// RuntimeError is set: "Already mutably borrowed" while a writer holds the
/// flag, "Already borrowed" for a writer while readers hold it.
///
///   BorrowGuard guard = BorrowGuard::exclusive(model.borrow);
///   if (!guard) return nullptr;
class BorrowGuard {
 public:
  static BorrowGuard shared(BorrowFlag& flag);
  static BorrowGuard exclusive(BorrowFlag& flag);

  BorrowGuard(BorrowGuard&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  BorrowGuard& operator=(BorrowGuard&&) = delete;
  ~BorrowGuard();

  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  explicit BorrowGuard(BorrowFlag* flag) noexcept : flag_(flag) {}
  BorrowFlag* flag_;
};

/// Entry of a method on an object bound to its creating thread and borrowed
/// while in use (`State` has `affinity` and `borrow`): the thread check first,
/// then the borrow. nullopt: an exception is set.
template <class State>
std::optional<BorrowGuard> enter_state(State& state, bool exclusive) {
  if (!state.affinity.check()) return std::nullopt;
  BorrowGuard guard = exclusive ? BorrowGuard::exclusive(state.borrow) : BorrowGuard::shared(state.borrow);
  if (!guard) return std::nullopt;
  return std::optional<BorrowGuard>(std::move(guard));
}

}  // namespace tallowind::python
