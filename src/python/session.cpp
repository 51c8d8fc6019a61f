// Python class Session: a connection to the proxy.
#include <fmt/format.h>

#include "ara2/proxy_config.hpp"
#include "ara2/proxy_endpoint.hpp"
#include "ara2/session.hpp"
#include "ara2/socket_path.hpp"
#include "python/endpoint.hpp"
#include "python/module_state.hpp"
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

/// Empty once closed; other objects of the session keep their own shares.
struct SessionState {
  ara2::SessionPtr shared;
};
using SessionObject = Boxed<SessionState>;

/// The open session behind `self`, or nullptr with "session is closed" raised.
const ara2::SessionShared* open_session(PyObject* self) {
  const auto& shared = SessionObject::of(self).shared;
  if (!shared) {
    to_python(ara2::CoreError::closed("session"));
    return nullptr;
  }
  return shared.get();
}

PyObject* wrap(ara2::Result<ara2::SessionPtr> opened) {
  if (!opened) return to_python(opened.error());
  return make_session(std::move(*opened));
}

PyObject* session_connect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::Session::connect, args, nargs, kwnames)) return nullptr;
  return wrap(ara2::open_unix(ara2::resolve_socket_path()));
}

PyObject* session_from_config(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Session::from_config, args, nargs, kwnames);
  PathArg path;
  if (!argv || !convert_path(argv[0], path)) return nullptr;
  auto config = ara2::read_proxy_config(path.bytes);
  if (!config) return to_python(config.error());
  // Only the first declared endpoint is tried: a failure there is the answer.
  if (config->endpoints.empty()) return to_python(ara2::CoreError::no_reachable_endpoint(std::nullopt));
  return wrap(ara2::open_endpoint(config->endpoints.front()));
}

PyObject* session_create_via_unix_socket(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto argv = bind_args(surface::Session::create_via_unix_socket, args, nargs, kwnames);
  PathArg path;
  if (!argv || !convert_path(argv[0], path)) return nullptr;
  return wrap(ara2::open_unix(path.text));
}

PyObject* session_create_via_tcp_ipv4_socket(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
  auto argv = bind_args(surface::Session::create_via_tcp_ipv4_socket, args, nargs, kwnames);
  std::string ip;
  std::uint16_t port = 0;
  if (!argv || !convert_str(argv[0], ip) || !convert_u16(argv[1], port)) return nullptr;
  // Checked before the library is loaded, so a typo costs no library open.
  const auto address = ara2::parse_ipv4(ip);
  if (!address) return to_python(ara2::CoreError::invalid_ip_address());
  return wrap(ara2::open_tcp(*address, port));
}

PyObject* session_versions(PyObject* self, PyObject*) {
  const ara2::SessionShared* session = open_session(self);
  if (session == nullptr) return nullptr;
  auto pairs = ara2::versions(*session);
  if (!pairs) return to_python(pairs.error());
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, version] : *pairs) {
    Ref value = Ref::steal(to_str(version));
    if (!value || PyDict_SetItemString(dict.get(), name.c_str(), value.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyObject* session_list_endpoints(PyObject* self, PyObject*) {
  if (open_session(self) == nullptr) return nullptr;
  auto list = ara2::list_endpoints(SessionObject::of(self).shared);
  if (!list) return to_python(list.error());
  const auto refs = ara2::endpoint_refs(*list);
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(refs.size())));
  if (!result) return nullptr;
  for (std::size_t i = 0; i < refs.size(); ++i) {
    PyObject* endpoint = make_endpoint(refs[i]);
    if (endpoint == nullptr) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), endpoint);
  }
  return result.release();
}

PyObject* session_inflight_count(PyObject* self, PyObject*) {
  const ara2::SessionShared* session = open_session(self);
  if (session == nullptr) return nullptr;
  auto count = ara2::inflight_count(*session);
  if (!count) return to_python(count.error());
  return PyLong_FromLong(*count);
}

void drop_share(PyObject* self) {
  // Moved out first so the object already reads as closed while the share drops.
  ara2::SessionPtr share = std::move(SessionObject::of(self).shared);
  share.reset();
}

PyObject* session_close(PyObject* self, PyObject*) {
  drop_share(self);
  Py_RETURN_NONE;
}

PyObject* session_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* session_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args(surface::Session::dunder_exit, args, nargs, kwnames)) return nullptr;
  drop_share(self);
  Py_RETURN_FALSE;
}

PyObject* session_get_socket_type(PyObject* self, void*) {
  const ara2::SessionShared* session = open_session(self);
  if (session == nullptr) return nullptr;
  return PyUnicode_FromString(session->socket_type() == ara2::SocketType::Unix ? "unix" : "tcp");
}

PyObject* session_get_abi(PyObject* self, void*) {
  const ara2::SessionShared* session = open_session(self);
  if (session == nullptr) return nullptr;
  return abi_member(session->abi());
}

PyObject* session_get_dvapi_version(PyObject* self, void*) {
  const ara2::SessionShared* session = open_session(self);
  if (session == nullptr) return nullptr;
  const auto& version = session->library().reported_version();
  if (!version) Py_RETURN_NONE;
  return to_str(ara2::version_text(*version));
}

PyObject* session_repr(PyObject* self) {
  const auto& shared = SessionObject::of(self).shared;
  if (!shared) return PyUnicode_FromString("Session(closed)");
  return PyUnicode_FromString(shared->socket_type() == ara2::SocketType::Unix ? "Session(socket_type=Unix)"
                                                                               : "Session(socket_type=Tcp)");
}

PyMethodDef session_methods[] = {
    method<session_connect>(surface::Session::connect),
    method<session_from_config>(surface::Session::from_config),
    method<session_create_via_unix_socket>(surface::Session::create_via_unix_socket),
    method<session_create_via_tcp_ipv4_socket>(surface::Session::create_via_tcp_ipv4_socket),
    method<session_versions>(surface::Session::versions),
    method<session_list_endpoints>(surface::Session::list_endpoints),
    method<session_inflight_count>(surface::Session::inflight_count),
    method<session_close>(surface::Session::close),
    method<session_enter>(surface::Session::dunder_enter),
    method<session_exit>(surface::Session::dunder_exit),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef session_getset[] = {
    getter<session_get_socket_type>(surface::Session::socket_type),
    getter<session_get_abi>(surface::Session::abi),
    getter<session_get_dvapi_version>(surface::Session::dvapi_version),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot session_slots[] = {
    {Py_tp_doc, const_cast<char*>(surface::Session::class_.doc)},
    {Py_tp_methods, session_methods},
    {Py_tp_getset, session_getset},
    {Py_tp_repr, slot<session_repr>()},
    {Py_tp_str, slot<session_repr>()},
    {Py_tp_dealloc, slot<SessionObject::dealloc>()},
    {0, nullptr},
};

PyType_Spec session_spec = {surface::Session::class_.name, sizeof(SessionObject), 0, 0, session_slots};

}  // namespace

PyTypeObject* session_type() {
  PyTypeObject*& type = module_state().type(TypeId::Session);
  return create_type_once(type, session_spec);
}

PyObject* make_session(ara2::SessionPtr shared) {
  PyTypeObject* type = session_type();
  if (type == nullptr) return nullptr;
  return SessionObject::create(type, SessionState{std::move(shared)});
}

}  // namespace tallowind::python
