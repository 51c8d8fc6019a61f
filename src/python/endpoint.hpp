// The Endpoint class as the other class files see it: a model loaded from an
// endpoint keeps the endpoint's EndpointRef, which holds the share of the
// endpoint array (and through it the session) that keeps the record valid.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ara2/session.hpp"

namespace tallowind::python {

/// A new Endpoint object over one record of a list.
PyObject* make_endpoint(ara2::EndpointRef ref);

/// The record reference of an Endpoint object; `endpoint` must be one.
const ara2::EndpointRef& endpoint_ref(PyObject* endpoint) noexcept;

}  // namespace tallowind::python
