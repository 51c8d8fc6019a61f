// Python classes Proxy and ProxyEndpoint, and discover(): running proxies on
// this host and the addresses they listen on.
#include <fmt/format.h>

#include "ara2/discovery.hpp"
#include "ara2/session.hpp"
#include "ara2/text.hpp"
#include "python/module_state.hpp"
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

using ProxyObject = Boxed<ara2::Proxy>;
using ProxyEndpointObject = Boxed<ara2::ProxyEndpoint>;

/// pathlib.Path of raw file-system bytes, decoded as os.fsdecode does so that
/// the path names the very same file.
PyObject* make_path(std::string_view bytes) {
  const Ref text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  if (!text) return nullptr;
  const Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
  if (!pathlib) return nullptr;
  const Ref path_class = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
  if (!path_class) return nullptr;
  return PyObject_CallOneArg(path_class.get(), text.get());
}

PyObject* make_optional_path(const std::optional<std::string>& bytes) {
  if (!bytes) Py_RETURN_NONE;
  return make_path(*bytes);
}

/// "unix:/run/proxy.sock" or "tcp:127.0.0.1:8080"; paths shown lossily.
std::string endpoint_text(const ara2::ProxyEndpoint& endpoint) {
  if (endpoint.kind == ara2::ProxyEndpoint::Kind::Unix) return "unix:" + ara2::utf8_lossy(endpoint.path);
  return fmt::format("tcp:{}:{}", ara2::to_string(endpoint.address), endpoint.port);
}

PyObject* make_proxy_endpoint(const ara2::ProxyEndpoint& endpoint) {
  PyTypeObject* type = proxy_endpoint_type();
  if (type == nullptr) return nullptr;
  return ProxyEndpointObject::create(type, endpoint);
}

PyObject* connect_to(const ara2::ProxyEndpoint& endpoint) {
  auto opened = ara2::open_endpoint(endpoint);
  if (!opened) return to_python(opened.error());
  return make_session(std::move(*opened));
}

// --- ProxyEndpoint -----------------------------------------------------------

bool is_unix(PyObject* self) { return ProxyEndpointObject::of(self).kind == ara2::ProxyEndpoint::Kind::Unix; }

PyObject* endpoint_kind(PyObject* self, void*) { return to_str(is_unix(self) ? "unix" : "tcp"); }

PyObject* endpoint_path(PyObject* self, void*) {
  if (!is_unix(self)) Py_RETURN_NONE;
  return make_path(ProxyEndpointObject::of(self).path);
}

PyObject* endpoint_host(PyObject* self, void*) {
  if (is_unix(self)) Py_RETURN_NONE;
  return to_str(ara2::to_string(ProxyEndpointObject::of(self).address));
}

PyObject* endpoint_port(PyObject* self, void*) {
  if (is_unix(self)) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(ProxyEndpointObject::of(self).port);
}

PyObject* endpoint_connect(PyObject* self, PyObject*) { return connect_to(ProxyEndpointObject::of(self)); }

PyObject* endpoint_str(PyObject* self) { return to_str(endpoint_text(ProxyEndpointObject::of(self))); }

PyObject* endpoint_repr(PyObject* self) {
  return to_str(fmt::format("ProxyEndpoint({})", endpoint_text(ProxyEndpointObject::of(self))));
}

PyGetSetDef proxy_endpoint_getset[] = {
    getter<endpoint_kind>(surface::ProxyEndpoint::kind),
    getter<endpoint_path>(surface::ProxyEndpoint::path),
    getter<endpoint_host>(surface::ProxyEndpoint::host),
    getter<endpoint_port>(surface::ProxyEndpoint::port),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef proxy_endpoint_methods[] = {
    method<endpoint_connect>(surface::ProxyEndpoint::connect),
    {nullptr, nullptr, 0, nullptr},
};

// --- Proxy -------------------------------------------------------------------

PyObject* proxy_pid(PyObject* self, void*) { return PyLong_FromUnsignedLong(ProxyObject::of(self).pid); }

PyObject* proxy_endpoints(PyObject* self, void*) {
  const auto& endpoints = ProxyObject::of(self).endpoints;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(endpoints.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    PyObject* item = make_proxy_endpoint(endpoints[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* proxy_config(PyObject* self, void*) { return make_optional_path(ProxyObject::of(self).config); }

PyObject* proxy_exe(PyObject* self, void*) { return make_optional_path(ProxyObject::of(self).exe); }

PyObject* proxy_connect(PyObject* self, PyObject*) {
  const ara2::Proxy& proxy = ProxyObject::of(self);
  if (proxy.endpoints.empty()) return to_python(ara2::CoreError::no_reachable_endpoint(proxy.pid));
  return connect_to(proxy.endpoints.front());
}

PyObject* proxy_repr(PyObject* self) {
  const ara2::Proxy& proxy = ProxyObject::of(self);
  std::string list;
  for (const auto& endpoint : proxy.endpoints) {
    if (!list.empty()) list += ", ";
    list += endpoint_text(endpoint);
  }
  return to_str(fmt::format("Proxy(pid={}, endpoints=[{}])", proxy.pid, list));
}

PyGetSetDef proxy_getset[] = {
    getter<proxy_pid>(surface::Proxy::pid),
    getter<proxy_endpoints>(surface::Proxy::endpoints),
    getter<proxy_config>(surface::Proxy::config),
    getter<proxy_exe>(surface::Proxy::exe),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef proxy_methods[] = {
    method<proxy_connect>(surface::Proxy::connect),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot proxy_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::Proxy::class_.doc)},
    {Py_tp_getset, proxy_getset},
    {Py_tp_methods, proxy_methods},
    {Py_tp_repr, slot<proxy_repr>()},
    {Py_tp_dealloc, slot<ProxyObject::dealloc>()},
    {0, nullptr},
};

PyType_Slot proxy_endpoint_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::ProxyEndpoint::class_.doc)},
    {Py_tp_getset, proxy_endpoint_getset},
    {Py_tp_methods, proxy_endpoint_methods},
    {Py_tp_str, slot<endpoint_str>()},
    {Py_tp_repr, slot<endpoint_repr>()},
    {Py_tp_dealloc, slot<ProxyEndpointObject::dealloc>()},
    {0, nullptr},
};

PyType_Spec proxy_spec = {surface::Proxy::class_.name, sizeof(ProxyObject), 0, 0, proxy_slots};
PyType_Spec proxy_endpoint_spec = {surface::ProxyEndpoint::class_.name, sizeof(ProxyEndpointObject), 0, 0,
                                   proxy_endpoint_slots};

// --- discover() ----------------------------------------------------------------

PyObject* discover(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::functions::discover, args, nargs, kwnames)) return nullptr;
  PyTypeObject* type = proxy_type();
  if (type == nullptr) return nullptr;
  auto found = ara2::discover("/proc");
  if (!found) return to_python(found.error());
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found->size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < found->size(); ++i) {
    PyObject* item = ProxyObject::create(type, std::move((*found)[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyMethodDef discover_def = method<discover>(surface::functions::discover);

}  // namespace

PyTypeObject* proxy_type() {
  PyTypeObject*& type = module_state().type(TypeId::Proxy);
  return create_type_once(type, proxy_spec);
}

PyTypeObject* proxy_endpoint_type() {
  PyTypeObject*& type = module_state().type(TypeId::ProxyEndpoint);
  return create_type_once(type, proxy_endpoint_spec);
}

PyMethodDef* discover_method() { return &discover_def; }

}  // namespace tallowind::python
