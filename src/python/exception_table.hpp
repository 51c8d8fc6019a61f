// The one table tying each ErrorClass of the core to the Python class it is
// raised as: the module's classes (their names and docstrings from the
// surface description) with their bases, and the built-in classes. Checked
// at compile time to list every ErrorClass once, in the enumeration's order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "ara2/core_error.hpp"
#include "python/support.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {

struct ExceptionDef {
  ara2::ErrorClass cls;
  /// The module's class; nullptr for a built-in class, raised as `builtin`.
  const ClassFacts* facts;
  /// A module class's base when it is not Ara2Error; the built-in class itself.
  PyObject* const* builtin;
};

inline constexpr ExceptionDef kExceptionDefs[] = {
    {ara2::ErrorClass::Ara2Error, &surface::Ara2Error::class_, &PyExc_RuntimeError},
    {ara2::ErrorClass::LibraryError, &surface::LibraryError::class_, nullptr},
    {ara2::ErrorClass::HardwareError, &surface::HardwareError::class_, nullptr},
    {ara2::ErrorClass::ProxyError, &surface::ProxyError::class_, nullptr},
    {ara2::ErrorClass::ModelError, &surface::ModelError::class_, nullptr},
    {ara2::ErrorClass::TensorError, &surface::TensorError::class_, nullptr},
    {ara2::ErrorClass::MetadataError, &surface::MetadataError::class_, nullptr},
    // Derives from BaseException, so `except Exception` does not swallow a broken invariant.
    {ara2::ErrorClass::InternalFailure, &surface::InternalFailure::class_, &PyExc_BaseException},
    {ara2::ErrorClass::IndexError, nullptr, &PyExc_IndexError},
};

constexpr bool lists_every_class_in_order() {
  if (std::size(kExceptionDefs) != ara2::kErrorClassCount) return false;
  for (std::size_t i = 0; i < std::size(kExceptionDefs); ++i) {
    if (static_cast<std::size_t>(kExceptionDefs[i].cls) != i) return false;
  }
  return true;
}
static_assert(lists_every_class_in_order(), "kExceptionDefs lists each ErrorClass once, in its order");

/// The ErrorClass of the module class `facts`; not constant (a build error
/// where a constant is needed) for a class the table lacks.
consteval ara2::ErrorClass error_class_of(const ClassFacts& facts) {
  for (const ExceptionDef& def : kExceptionDefs) {
    if (def.facts == &facts) return def.cls;
  }
  throw "an exception class of the surface description is missing from kExceptionDefs";
}

}  // namespace tallowind::python
