// Python class Session: a connection to the proxy.
#include <fmt/format.h>

#include "ara2/proxy_config.hpp"
#include "ara2/proxy_endpoint.hpp"
#include "ara2/session.hpp"
#include "ara2/socket_path.hpp"
#include "python/endpoint.hpp"
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
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
    raise_as(ara2::ErrorClass::Ara2Error, "session is closed");
    return nullptr;
  }
  return shared.get();
}

PyObject* wrap(ara2::Result<ara2::SessionPtr> opened) {
  if (!opened) return to_python(opened.error());
  return make_session(std::move(*opened));
}

constexpr const char connect_doc[] =
    "connect()\n--\n\n"
    "Create a session connected to the ARA-2 proxy over its UNIX socket,\n"
    "at the path `socket_path()` resolves.\n"
    "\n"
    "This is the recommended way to connect. Use\n"
    "`create_via_unix_socket` directly when the path must be hardcoded\n"
    "or is chosen some other way.\n"
    "\n"
    "Returns:\n"
    "    Session: A new session connected to the proxy\n"
    "\n"
    "Raises:\n"
    "    ProxyError: If the socket does not exist or the proxy is not running";

PyObject* session_connect(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_no_args("connect", nargs, kwnames)) return nullptr;
  return wrap(ara2::open_unix(ara2::resolve_socket_path()));
}

constexpr const char from_config_doc[] =
    "from_config(path)\n--\n\n"
    "Create a session from a proxy configuration file.\n"
    "\n"
    "Reads the ``proxy:`` section's ``interface_type`` and the address\n"
    "list it selects, then connects to the first endpoint declared --\n"
    "a UNIX socket for ``SOCKET``, a TCP/IPv4 address for ``IPV4``.\n"
    "Use this when the configuration is known but the socket path is\n"
    "not, which is the usual case across packagings.\n"
    "\n"
    "Args:\n"
    "    path: Path to the proxy YAML (str or os.PathLike)\n"
    "\n"
    "Returns:\n"
    "    Session: A new session connected to the proxy\n"
    "\n"
    "Raises:\n"
    "    ProxyError: If the file cannot be read or understood, or it\n"
    "                declares no reachable endpoint";

PyObject* session_from_config(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_args("from_config", args, nargs, kwnames, {"path"}, 1, argv)) return nullptr;
  PathArg path;
  if (!convert_path(argv[0], "path", path)) return nullptr;
  auto config = ara2::read_proxy_config(path.bytes);
  if (!config) return to_python(config.error());
  // Only the first declared endpoint is tried: a failure there is the answer.
  if (config->endpoints.empty()) return to_python(ara2::CoreError::no_reachable_endpoint(std::nullopt));
  return wrap(ara2::open_endpoint(config->endpoints.front()));
}

constexpr const char create_via_unix_socket_doc[] =
    "create_via_unix_socket(socket_path)\n--\n\n"
    "Create a session connected via UNIX domain socket.\n"
    "\n"
    "Args:\n"
    "    socket_path: Path to the UNIX socket (str or os.PathLike,\n"
    "                 e.g., \"/var/run/proxy.sock\")\n"
    "\n"
    "Returns:\n"
    "    Session: A new session connected to the proxy\n"
    "\n"
    "Raises:\n"
    "    ProxyError: If the socket does not exist or the proxy is not running";

PyObject* session_create_via_unix_socket(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_args("create_via_unix_socket", args, nargs, kwnames, {"socket_path"}, 1, argv)) return nullptr;
  PathArg path;
  if (!convert_path(argv[0], "socket_path", path)) return nullptr;
  return wrap(ara2::open_unix(path.text));
}

constexpr const char create_via_tcp_ipv4_socket_doc[] =
    "create_via_tcp_ipv4_socket(ip, port)\n--\n\n"
    "Create a session connected via TCP/IPv4 socket.\n"
    "\n"
    "Args:\n"
    "    ip: IPv4 address as a string (e.g., \"127.0.0.1\")\n"
    "    port: Port number\n"
    "\n"
    "Returns:\n"
    "    Session: A new session connected to the proxy";

PyObject* session_create_via_tcp_ipv4_socket(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_args("create_via_tcp_ipv4_socket", args, nargs, kwnames, {"ip", "port"}, 2, argv)) return nullptr;
  std::string ip;
  std::uint16_t port = 0;
  if (!convert_str(argv[0], "ip", ip) || !convert_u16(argv[1], "port", port)) return nullptr;
  // Checked before the library is loaded, so a typo costs no library open.
  const auto address = ara2::parse_ipv4(ip);
  if (!address) return raise_as(ara2::ErrorClass::Ara2Error, "Invalid IP address: invalid IPv4 address syntax");
  return wrap(ara2::open_tcp(*address, port));
}

constexpr const char versions_doc[] =
    "versions($self)\n--\n\n"
    "Get version information for all components.\n"
    "\n"
    "Returns:\n"
    "    dict: Dictionary mapping component names to version strings";

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

constexpr const char list_endpoints_doc[] =
    "list_endpoints($self)\n--\n\n"
    "List all available endpoints.\n"
    "\n"
    "Returns:\n"
    "    list[Endpoint]: List of available ARA-2 endpoints";

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

constexpr const char inflight_count_doc[] =
    "inflight_count($self)\n--\n\n"
    "Get the number of in-flight inference requests for this session.\n"
    "\n"
    "Returns the count of requests submitted via :meth:`Model.submit`\n"
    "that the client library has not yet received a response for.\n"
    "\n"
    "Returns:\n"
    "    int: Number of pending inference requests";

PyObject* session_inflight_count(PyObject* self, PyObject*) {
  const ara2::SessionShared* session = open_session(self);
  if (session == nullptr) return nullptr;
  auto count = ara2::inflight_count(*session);
  if (!count) return to_python(count.error());
  return PyLong_FromLong(*count);
}

constexpr const char close_doc[] =
    "close($self)\n--\n\n"
    "Close this Python session handle.\n"
    "\n"
    "After calling ``close()``, any further method call on this\n"
    "Session raises ``Ara2Error``. This only drops this Python\n"
    "handle; the underlying proxy connection may remain open while\n"
    "other objects created from this session (such as ``Endpoint``\n"
    "or ``Model``) are still alive. The underlying connection is\n"
    "released when the last handle referencing it is dropped. Safe\n"
    "to call multiple times.";

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
  PyObject* argv[3];
  if (!bind_args("__exit__", args, nargs, kwnames, {"exc_type", "exc_val", "exc_tb"}, 3, argv)) return nullptr;
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

constexpr int STATIC_CALL = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef session_methods[] = {
    {"connect", as_method(session_connect), STATIC_CALL, connect_doc},
    {"from_config", as_method(session_from_config), STATIC_CALL, from_config_doc},
    {"create_via_unix_socket", as_method(session_create_via_unix_socket), STATIC_CALL, create_via_unix_socket_doc},
    {"create_via_tcp_ipv4_socket", as_method(session_create_via_tcp_ipv4_socket), STATIC_CALL,
     create_via_tcp_ipv4_socket_doc},
    {"versions", as_method(session_versions), METH_NOARGS, versions_doc},
    {"list_endpoints", as_method(session_list_endpoints), METH_NOARGS, list_endpoints_doc},
    {"inflight_count", as_method(session_inflight_count), METH_NOARGS, inflight_count_doc},
    {"close", as_method(session_close), METH_NOARGS, close_doc},
    {"__enter__", as_method(session_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(session_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, exc_type, exc_val, exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef session_getset[] = {
    {"socket_type", guarded<session_get_socket_type>, nullptr, "Get the socket type used for this session.", nullptr},
    {"abi", guarded<session_get_abi>, nullptr,
     "The DVAPI generation of the ``libaraclient`` this session uses.\n"
     "\n"
     "Probed when the library was opened. It determines which of the\n"
     "overlapping :class:`State` members can be reported.",
     nullptr},
    {"dvapi_version", guarded<session_get_dvapi_version>, nullptr,
     "The DVAPI version the client library reported, or ``None`` if it\n"
     "would not report one.\n"
     "\n"
     "This is the interface version, not the version of the SDK the\n"
     "library was packaged in.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char session_doc[] =
    "ARA-2 session for communicating with the proxy.\n"
    "\n"
    "A Session represents a connection to the ARA-2 proxy service, which can\n"
    "be established via either a UNIX socket or TCP socket. The session is used\n"
    "to enumerate endpoints and retrieve version information.\n"
    "\n"
    "Example:\n"
    "    >>> import tallowind_ara2\n"
    "    >>> session = tallowind_ara2.Session.connect()\n"
    "    >>> versions = session.versions()\n"
    "    >>> endpoints = session.list_endpoints()\n"
    "    >>> session.close()";

PyType_Slot session_slots[] = {
    {Py_tp_doc, const_cast<char*>(session_doc)},
    {Py_tp_methods, session_methods},
    {Py_tp_getset, session_getset},
    {Py_tp_repr, slot<session_repr>()},
    {Py_tp_str, slot<session_repr>()},
    {Py_tp_dealloc, slot<SessionObject::dealloc>()},
    {0, nullptr},
};

PyType_Spec session_spec = {"tallowind_ara2.Session", sizeof(SessionObject), 0, 0, session_slots};

}  // namespace

PyTypeObject* session_type() {
  static PyTypeObject* type = nullptr;
  return create_type_once(type, session_spec);
}

PyObject* make_session(ara2::SessionPtr shared) {
  PyTypeObject* type = session_type();
  if (type == nullptr) return nullptr;
  return SessionObject::create(type, SessionState{std::move(shared)});
}

}  // namespace ara2py
