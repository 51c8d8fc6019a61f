// Python classes Proxy and ProxyEndpoint, and discover(): running proxies on
// this host and the addresses they listen on.
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
namespace {

struct ProxyObject {
  PyObject_HEAD
};

struct ProxyEndpointObject {
  PyObject_HEAD
};

constexpr const char proxy_doc[] = "A running ARA-2 proxy found by :func:`discover`.";

constexpr const char proxy_endpoint_doc[] =
    "An address a proxy accepts connections on.\n"
    "\n"
    "``kind`` is ``\"unix\"`` or ``\"tcp\"``. ``path`` is set for the former,\n"
    "``host`` and ``port`` for the latter.";

PyType_Slot proxy_slots[] = {
    {Py_tp_doc, const_cast<char*>(proxy_doc)},
    {0, nullptr},
};

PyType_Slot proxy_endpoint_slots[] = {
    {Py_tp_doc, const_cast<char*>(proxy_endpoint_doc)},
    {0, nullptr},
};

PyType_Spec proxy_spec = {"tallowind_ara2.Proxy", sizeof(ProxyObject), 0, 0, proxy_slots};
PyType_Spec proxy_endpoint_spec = {"tallowind_ara2.ProxyEndpoint", sizeof(ProxyEndpointObject), 0, 0,
                                   proxy_endpoint_slots};

PyObject* discover(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_no_args("discover", nargs, kwnames)) return nullptr;
  return raise_error(PyExc_NotImplementedError, "discover() is not available in this build yet");
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

PyMethodDef discover_def = {"discover", as_method(discover),
                            METH_FASTCALL | METH_KEYWORDS, discover_doc};

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
