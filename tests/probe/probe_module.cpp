// Test-only module: thin entry points onto the helper layer and the record
// builders of the extension.
#include <new>
#include <stdexcept>
#include <string>

#include "python/support.hpp"
#include "python/types.hpp"

namespace tallowind::python {
namespace {

constexpr const char absent[] = "<absent>";

// The probe's own parameter tables, as the generated header gives the module's.
constexpr Signature<3> kBindAbcSignature{"bind_abc", nullptr, {"a", "b", "c"}, 1, false};
constexpr Signature<2> kConvertSignature{"convert", nullptr, {"kind", "value"}, 2, false};
constexpr Signature<1> kRaiseStatusSignature{"raise_status", nullptr, {"code"}, 1, false};
constexpr Signature<2> kRaiseKindSignature{"raise_kind", nullptr, {"name", "text"}, 2, false};
constexpr Signature<1> kUnraisableSignature{"unraisable", nullptr, {"text"}, 1, false};
constexpr Signature<2> kStateSignature{"state", nullptr, {"raw", "abi"}, 2, false};

/// bind_ab(a, b=<absent>, c=<absent>) -> (a, b, c)
PyObject* bind_abc(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(kBindAbcSignature, args, nargs, kwnames);
  if (!argv) return nullptr;
  Ref b = Ref::steal(argv[1].object ? Py_NewRef(argv[1].object) : PyUnicode_FromString(absent));
  Ref c = Ref::steal(argv[2].object ? Py_NewRef(argv[2].object) : PyUnicode_FromString(absent));
  return PyTuple_Pack(3, argv[0].object, b.get(), c.get());
}

/// convert(kind, value): the value after the named converter, as Python sees it.
PyObject* convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(kConvertSignature, args, nargs, kwnames);
  std::string kind;
  if (!argv || !convert_str(argv[0], kind)) return nullptr;
  const Arg value = argv[1];
  if (kind == "str") {
    std::string out;
    if (!convert_str(value, out)) return nullptr;
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  }
  if (kind == "optional_str") {
    std::optional<std::string> out;
    if (!convert_optional_str(value, out)) return nullptr;
    if (!out) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(out->data(), static_cast<Py_ssize_t>(out->size()));
  }
  if (kind == "path") {
    PathArg out;
    if (!convert_path(value, out)) return nullptr;
    return Py_BuildValue("(y#s#)", out.bytes.data(), static_cast<Py_ssize_t>(out.bytes.size()), out.text.data(),
                         static_cast<Py_ssize_t>(out.text.size()));
  }
  if (kind == "u64") {
    std::uint64_t out = 0;
    if (!convert_u64(value, out)) return nullptr;
    return PyLong_FromUnsignedLongLong(out);
  }
  if (kind == "u32") {
    std::uint32_t out = 0;
    if (!convert_u32(value, out)) return nullptr;
    return PyLong_FromUnsignedLong(out);
  }
  if (kind == "u16") {
    std::uint16_t out = 0;
    if (!convert_u16(value, out)) return nullptr;
    return PyLong_FromUnsignedLong(out);
  }
  return raise_error(PyExc_ValueError, "unknown converter");
}

/// raise_status(code): the Status error for a library status code.
PyObject* raise_status(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(kRaiseStatusSignature, args, nargs, kwnames);
  std::uint32_t code = 0;
  if (!argv || !convert_u32(argv[0], code)) return nullptr;
  return to_python(tallowind::ara2::CoreError::status(code));
}

/// raise_kind(name, text): errors of the kinds whose payload is one text.
PyObject* raise_kind(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(kRaiseKindSignature, args, nargs, kwnames);
  std::string name, text;
  if (!argv || !convert_str(argv[0], name) || !convert_str(argv[1], text)) return nullptr;
  using tallowind::ara2::CoreError;
  if (name == "null_pointer") return to_python(CoreError::null_pointer(text));
  if (name == "tensor") return to_python(CoreError::tensor(text));
  if (name == "zip") return to_python(CoreError::zip(text));
  if (name == "json") return to_python(CoreError::json(text));
  if (name == "library_load") return to_python(CoreError::library_load(text));
  if (name == "unsupported_layout") return to_python(CoreError::unsupported_layout(text));
  if (name == "config_invalid") return to_python(CoreError::config_invalid("/etc/proxy.yaml", text));
  if (name == "internal") return to_python(CoreError::internal(text));
  if (name == "io") return to_python(CoreError::io(tallowind::ara2::OsError::from_errno(2)));
  return raise_error(PyExc_ValueError, "unknown kind");
}

/// unraisable(text): reports a RuntimeError through sys.unraisablehook.
PyObject* unraisable(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(kUnraisableSignature, args, nargs, kwnames);
  std::string text;
  if (!argv || !convert_str(argv[0], text)) return nullptr;
  report_unraisable(PyExc_RuntimeError, text, nullptr);
  Py_RETURN_NONE;
}

// --- C++ exceptions at the boundary.

/// Throws what `kind` names: "bad_alloc", "length_error", "runtime_error",
/// "not_utf8" (a what() text that is not UTF-8) or "int" (not a std::exception).
[[noreturn]] void throw_kind(std::string_view kind) {
  if (kind == "bad_alloc") throw std::bad_alloc();
  if (kind == "length_error") throw std::length_error("vector::_M_default_append");
  if (kind == "not_utf8") throw std::runtime_error("bad \xff byte");
  if (kind == "int") throw 42;
  throw std::runtime_error("broken invariant");
}

std::string thrown_kind = "runtime_error";

/// throw_now(kind): a method that throws.
PyObject* throw_now(PyObject*, PyObject* arg) {
  std::string kind;
  if (!convert_str({arg, "kind"}, kind)) return nullptr;
  thrown_kind = kind;  // what the Thrower object's slots throw from now on
  throw_kind(kind);
}

// An object whose getter, repr and finaliser throw `thrown_kind`.
struct Thrower {};
using ThrowerObject = Boxed<Thrower>;

PyObject* thrower_value(PyObject*, void*) { throw_kind(thrown_kind); }
PyObject* thrower_repr(PyObject*) { throw_kind(thrown_kind); }
void thrower_dealloc(PyObject* self) {
  ThrowerObject::dealloc(self);
  throw_kind(thrown_kind);
}

PyGetSetDef thrower_getset[] = {
    {"value", guarded<thrower_value>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot thrower_slots[] = {
    {Py_tp_getset, thrower_getset},
    {Py_tp_repr, slot<thrower_repr>()},
    {Py_tp_dealloc, slot<thrower_dealloc>()},
    {0, nullptr},
};

PyType_Spec thrower_spec = {"_ara2_probe.Thrower", sizeof(ThrowerObject), 0, 0, thrower_slots};

PyObject* make_thrower(PyObject*, PyObject*) {
  static PyTypeObject* type = nullptr;
  if (create_type_once(type, thrower_spec) == nullptr) return nullptr;
  return ThrowerObject::create(type);
}

/// A value whose construction throws: Boxed::create must free the object.
struct FailingValue {
  FailingValue() { throw_kind(thrown_kind); }
};

PyObject* make_failing(PyObject*, PyObject*) {
  static PyTypeObject* type = nullptr;
  static PyType_Slot slots[] = {{Py_tp_dealloc, slot<Boxed<FailingValue>::dealloc>()}, {0, nullptr}};
  static PyType_Spec spec = {"_ara2_probe.Failing", sizeof(Boxed<FailingValue>), 0, 0, slots};
  if (create_type_once(type, spec) == nullptr) return nullptr;
  return Boxed<FailingValue>::create(type);
}

// --- An object bound to its creating thread, with a re-entrancy guard.

struct Guarded {
  ThreadAffinity affinity{"tallowind_ara2::probe::Guarded"};
  BorrowFlag borrow;
  // Stands for a native resource: counts releases so tests see whether it was released.
  static inline long released = 0;
  ~Guarded() { ++released; }
};

using GuardedObject = Boxed<Guarded>;

void guarded_dealloc(PyObject* self) {
  if (GuardedObject::of(self).affinity.may_release()) {
    GuardedObject::dealloc(self);
  } else {
    GuardedObject::free_instance(self);
  }
}

/// check(): fails off the creating thread.
PyObject* guarded_check(PyObject* self, PyObject*) {
  if (!GuardedObject::of(self).affinity.check()) return nullptr;
  Py_RETURN_TRUE;
}

PyObject* call_while(PyObject* self, PyObject* callback, bool exclusive) {
  Guarded& guarded = GuardedObject::of(self);
  BorrowGuard guard = exclusive ? BorrowGuard::exclusive(guarded.borrow) : BorrowGuard::shared(guarded.borrow);
  if (!guard) return nullptr;
  if (callback == Py_None) Py_RETURN_NONE;
  return PyObject_CallNoArgs(callback);
}

/// read(callback): calls callback under a shared borrow.
PyObject* guarded_read(PyObject* self, PyObject* callback) { return call_while(self, callback, false); }
/// write(callback): calls callback under an exclusive borrow.
PyObject* guarded_write(PyObject* self, PyObject* callback) { return call_while(self, callback, true); }

PyMethodDef guarded_methods[] = {
    {"check", as_method(guarded_check), METH_NOARGS, nullptr},
    {"read", as_method(guarded_read), METH_O, nullptr},
    {"write", as_method(guarded_write), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot guarded_slots[] = {
    {Py_tp_dealloc, slot<guarded_dealloc>()},
    {Py_tp_methods, guarded_methods},
    {0, nullptr},
};

PyType_Spec guarded_spec = {"_ara2_probe.Guarded", sizeof(GuardedObject), 0, 0, guarded_slots};

PyObject* make_guarded(PyObject*, PyObject*) {
  static PyTypeObject* type = nullptr;
  if (create_type_once(type, guarded_spec) == nullptr) return nullptr;
  return GuardedObject::create(type);
}

PyObject* released_count(PyObject*, PyObject*) { return PyLong_FromLong(Guarded::released); }

// --- Records and members built from core values.

/// state(raw, abi): the member state_from_raw picks.
PyObject* state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(kStateSignature, args, nargs, kwnames);
  std::uint32_t raw = 0, abi = 0;
  if (!argv || !convert_u32(argv[0], raw) || !convert_u32(argv[1], abi)) return nullptr;
  return state_member(tallowind::ara2::state_from_raw(raw, abi == 0 ? tallowind::ara2::Abi::V1_1 : tallowind::ara2::Abi::V1_3));
}

/// output_type(raw): the member, or the error of an unknown raw value.
PyObject* output_type(PyObject*, PyObject* arg) {
  std::uint32_t raw = 0;
  if (!convert_u32({arg, "raw"}, raw)) return nullptr;
  auto type = tallowind::ara2::output_type_from_raw(raw);
  if (!type) return to_python(type.error());
  return output_type_member(*type);
}

PyObject* abi(PyObject*, PyObject* arg) {
  std::uint32_t raw = 0;
  if (!convert_u32({arg, "abi"}, raw)) return nullptr;
  return abi_member(raw == 0 ? tallowind::ara2::Abi::V1_1 : tallowind::ara2::Abi::V1_3);
}

PyObject* types(PyObject*, PyObject*) {
  return Py_BuildValue("(OOO)", state_type(), abi_type(), model_output_type_type());
}

/// records(): one record of each class with distinctive values.
PyObject* records(PyObject*, PyObject*) {
  tallowind::ara2::InputTensorInfo in;
  in.layer_id = -3;
  in.blob_id = 7;
  in.layer_name = std::string("images");
  in.blob_name = std::string("blob\xff");
  in.layer_type = std::string("Input");
  in.layout = std::string("NCHW");
  in.size = 1228800;
  in.width = 640;
  in.height = 640;
  in.nch = 3;
  in.bpp = 1;
  in.batch_size = 1;
  in.quant = {0.007843138f, -128, true, 9};
  in.preprocess.mean = {123.675f, 116.28f, 103.53f};
  in.preprocess.scale = {0.017124753f, 1e-5f, 1.0f};
  in.preprocess.bgr_to_rgb = true;
  in.preprocess.center_crop = true;

  tallowind::ara2::OutputTensorInfo out;
  out.layer_id = 12;
  out.blob_id = 0;
  out.fused_parent_id = -1;
  out.layer_name = std::string("output0");
  out.blob_name = std::string("b");
  out.layer_fused_parent_name = std::string("");
  out.layer_type = std::string("Convolution");
  out.layout = std::string("NHWC");
  out.size = 18446744073709551615ull;
  out.width = 8400;
  out.height = 1;
  out.nch = 84;
  out.bpp = 2;
  out.num_classes = 80;
  out.layer_output_type = tallowind::ara2::ModelOutputType::Detection;
  out.max_dynamic_id = 2147483647;
  out.quant = {0.5f, -128, true};

  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, PyObject*> items[] = {
      {"ModelTiming", make_model_timing({1200, 30, 18446744073709551615ull})},
      {"DramStatistics", make_dram_statistics({1000, 2, 300, 4, 50, 6})},
      {"InputQuantization", make_input_quantization(in.quant)},
      {"OutputQuantization", make_output_quantization(out.quant)},
      {"InputPreprocess", make_input_preprocess(in.preprocess)},
      {"InputTensorInfo", make_input_tensor_info(in)},
      {"OutputTensorInfo", make_output_tensor_info(out)},
  };
  bool ok = true;
  for (auto [name, object] : items) {
    Ref owned = Ref::steal(object);
    ok = ok && owned && PyDict_SetItemString(dict.get(), name, owned.get()) == 0;
  }
  return ok ? dict.release() : nullptr;
}

PyObject* internal_class(PyObject*, PyObject*) { return Py_XNewRef(internal_failure_class()); }

PyMethodDef probe_methods[] = {
    {"bind_abc", as_method(bind_abc), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"convert", as_method(convert), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"raise_status", as_method(raise_status), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"raise_kind", as_method(raise_kind), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"unraisable", as_method(unraisable), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"make_guarded", as_method(make_guarded), METH_NOARGS, nullptr},
    {"released_count", as_method(released_count), METH_NOARGS, nullptr},
    {"state", as_method(state), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"output_type", as_method(output_type), METH_O, nullptr},
    {"abi", as_method(abi), METH_O, nullptr},
    {"types", as_method(types), METH_NOARGS, nullptr},
    {"records", as_method(records), METH_NOARGS, nullptr},
    {"internal_class", as_method(internal_class), METH_NOARGS, nullptr},
    {"throw_now", as_method(throw_now), METH_O, nullptr},
    {"make_thrower", as_method(make_thrower), METH_NOARGS, nullptr},
    {"make_failing", as_method(make_failing), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_ara2_probe", nullptr, 0, probe_methods,
                         nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tallowind::python

PyMODINIT_FUNC PyInit__ara2_probe() { return PyModuleDef_Init(&tallowind::python::probe_def); }
