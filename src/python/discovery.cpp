// Python classes Proxy and ProxyEndpoint, and discover(): running proxies on
// this host and the addresses they listen on.
#include <fmt/format.h>

#include "ara2/discovery.hpp"
#include "ara2/session.hpp"
#include "ara2/text.hpp"
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
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
    {"kind", guarded<endpoint_kind>, nullptr, const_cast<char*>("Transport: ``\"unix\"`` or ``\"tcp\"``."), nullptr},
    {"path", guarded<endpoint_path>, nullptr,
     const_cast<char*>("Socket path, for a ``\"unix\"`` endpoint; ``None`` otherwise."), nullptr},
    {"host", guarded<endpoint_host>, nullptr,
     const_cast<char*>("IPv4 address, for a ``\"tcp\"`` endpoint; ``None`` otherwise."), nullptr},
    {"port", guarded<endpoint_port>, nullptr, const_cast<char*>("TCP port, for a ``\"tcp\"`` endpoint; ``None`` otherwise."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef proxy_endpoint_methods[] = {
    {"connect", as_method(endpoint_connect), METH_NOARGS,
     "connect($self)\n--\n\nOpen a session against this endpoint."},
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
    {"pid", guarded<proxy_pid>, nullptr, const_cast<char*>("Process ID of the running proxy."), nullptr},
    {"endpoints", guarded<proxy_endpoints>, nullptr,
     const_cast<char*>("Where it accepts connections. Empty when neither reading its file\n"
                       "descriptors nor its configuration file was possible."),
     nullptr},
    {"config", guarded<proxy_config>, nullptr,
     const_cast<char*>("The configuration file named on its command line, if it named one."), nullptr},
    {"exe", guarded<proxy_exe>, nullptr, const_cast<char*>("Its executable, if readable."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef proxy_methods[] = {
    {"connect", as_method(proxy_connect), METH_NOARGS,
     "connect($self)\n--\n\nOpen a session against this proxy's first endpoint."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char proxy_doc[] = "A running ARA-2 proxy found by :func:`discover`.";

constexpr const char proxy_endpoint_doc[] =
    "An address a proxy accepts connections on.\n"
    "\n"
    "``kind`` is ``\"unix\"`` or ``\"tcp\"``. ``path`` is set for the former,\n"
    "``host`` and ``port`` for the latter.";

PyType_Slot proxy_slots[] = {
    {Py_tp_doc, const_cast<char*>(proxy_doc)},
    {Py_tp_getset, proxy_getset},
    {Py_tp_methods, proxy_methods},
    {Py_tp_repr, slot<proxy_repr>()},
    {Py_tp_dealloc, slot<ProxyObject::dealloc>()},
    {0, nullptr},
};

PyType_Slot proxy_endpoint_slots[] = {
    {Py_tp_doc, const_cast<char*>(proxy_endpoint_doc)},
    {Py_tp_getset, proxy_endpoint_getset},
    {Py_tp_methods, proxy_endpoint_methods},
    {Py_tp_str, slot<endpoint_str>()},
    {Py_tp_repr, slot<endpoint_repr>()},
    {Py_tp_dealloc, slot<ProxyEndpointObject::dealloc>()},
    {0, nullptr},
};

PyType_Spec proxy_spec = {"tallowind_ara2.Proxy", sizeof(ProxyObject), 0, 0, proxy_slots};
PyType_Spec proxy_endpoint_spec = {"tallowind_ara2.ProxyEndpoint", sizeof(ProxyEndpointObject), 0, 0,
                                   proxy_endpoint_slots};

// --- discover() ----------------------------------------------------------------

PyObject* discover(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_no_args("discover", nargs, kwnames)) return nullptr;
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

constexpr const char discover_doc[] =
    "discover()\n--\n\n"
    "Find every ARA-2 proxy currently running on this host.\n"
    "\n"
    "Returns a list because more than one proxy can be running; an empty\n"
    "list means none was found, which is not an error.\n"
    "\n"
    "Endpoints are resolved by observing the sockets each process holds\n"
    "open, which reflects where it is really listening however that was\n"
    "decided. That needs permission to read the process's file descriptors\n"
    "-- the proxy runs as root under both packagings -- so when it is\n"
    "unavailable this falls back to parsing the configuration file named on\n"
    "the command line.\n"
    "\n"
    "Example:\n"
    "    >>> import tallowind_ara2\n"
    "    >>> for proxy in tallowind_ara2.discover():\n"
    "    ...     print(proxy.pid, [str(e) for e in proxy.endpoints])";

PyMethodDef discover_def = {"discover", as_method(discover), METH_FASTCALL | METH_KEYWORDS, discover_doc};

}  // namespace

PyTypeObject* proxy_type() {
  static PyTypeObject* type = nullptr;
  return create_type_once(type, proxy_spec);
}

PyTypeObject* proxy_endpoint_type() {
  static PyTypeObject* type = nullptr;
  return create_type_once(type, proxy_endpoint_spec);
}

PyMethodDef* discover_method() { return &discover_def; }

}  // namespace ara2py
