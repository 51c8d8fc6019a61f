// library_info() and build_info(): what the module would load and how it was
// built, for tools that check an installation (ara2 doctor).
#include <cstdlib>

#include "ara2/client_library.hpp"
#include "ara2/tensor_data.hpp"
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

/// Sets dict[key] = value, taking over `value`; false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* optional_str(const char* text) { return text != nullptr && *text ? to_str(text) : Py_NewRef(Py_None); }

PyObject* library_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::functions::library_info, args, nargs, kwnames)) return nullptr;
  auto forced = ara2::parse_abi_override(std::getenv("ARA2_ABI"));
  if (!forced) return to_python(forced.error());
  // Opened exactly as a session opens it, and closed again on return.
  auto library = ara2::load_client_library();
  if (!library) return to_python(library.error());

  Ref missing = Ref::steal(PyList_New(0));
  if (!missing) return nullptr;
  for (std::size_t i = 0; i < ara2::kEntryCount; ++i) {
    if (library->has(static_cast<ara2::Entry>(i))) continue;
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || !put(entry.get(), "name", to_str(ara2::kEntryNames[i])) ||
        !put(entry.get(), "called", PyBool_FromLong(ara2::kEntriesCalled[i])) ||
        PyList_Append(missing.get(), entry.get()) < 0) {
      return nullptr;
    }
  }
  Ref info = Ref::steal(PyDict_New());
  if (!info) return nullptr;
  const auto& version = library->reported_version();
  if (!put(info.get(), "name", to_str(library->file_name())) ||
      !put(info.get(), "path", to_str(library->loaded_path())) ||
      !put(info.get(), "directory", optional_str(std::getenv(ara2::kLibraryDirVariable))) ||
      !put(info.get(), "abi", abi_member(library->abi())) ||
      !put(info.get(), "abi_forced", PyBool_FromLong(forced->has_value())) ||
      !put(info.get(), "dvapi_version", version ? to_str(ara2::version_text(*version)) : Py_NewRef(Py_None)) ||
      !put(info.get(), "missing", missing.release())) {
    return nullptr;
  }
  return info.release();
}

/// The compiler and standard library the module was built with.
constexpr const char* kCompiler =
#if defined(__clang__)
    "clang " __clang_version__
#elif defined(__GNUC__)
    "GCC " __VERSION__
#else
    "unknown"
#endif
    ;
constexpr const char* kStandardLibrary =
#if defined(_LIBCPP_VERSION)
    "libc++"
#elif defined(__GLIBCXX__)
    "libstdc++"
#else
    "unknown"
#endif
    ;

PyObject* build_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::functions::build_info, args, nargs, kwnames)) return nullptr;
  Ref built = Ref::steal(PyList_New(0));
  Ref supported = Ref::steal(PyList_New(0));
  if (!built || !supported) return nullptr;
  for (const ara2::DequantizeKernel& kernel : ara2::dequantize_kernels()) {
    Ref name = Ref::steal(to_str(kernel.name));
    if (!name || PyList_Append(built.get(), name.get()) < 0) return nullptr;
    if (kernel.supported() && PyList_Append(supported.get(), name.get()) < 0) return nullptr;
  }
  Ref info = Ref::steal(PyDict_New());
  if (!info) return nullptr;
  if (!put(info.get(), "version", to_str(ARA2_VERSION)) || !put(info.get(), "compiler", to_str(kCompiler)) ||
      !put(info.get(), "standard_library", to_str(kStandardLibrary)) ||
      !put(info.get(), "dequantize_kernels", built.release()) ||
      !put(info.get(), "dequantize_kernels_supported", supported.release()) ||
      !put(info.get(), "dequantize_kernel", to_str(ara2::chosen_dequantize_kernel().name))) {
    return nullptr;
  }
  return info.release();
}

PyMethodDef library_info_def = method<library_info>(surface::functions::library_info);
PyMethodDef build_info_def = method<build_info>(surface::functions::build_info);

}  // namespace

PyMethodDef* library_info_method() { return &library_info_def; }
PyMethodDef* build_info_method() { return &build_info_def; }

}  // namespace tallowind::python
