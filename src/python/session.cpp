// Python class Session: a connection to the proxy.
#include "python/support.hpp"
#include "python/types.hpp"

namespace ara2py {
namespace {

struct SessionObject {
  PyObject_HEAD
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
    {0, nullptr},
};

PyType_Spec session_spec = {"tallowind_ara2.Session", sizeof(SessionObject), 0, 0, session_slots};

}  // namespace

PyTypeObject* session_type() {
  static PyTypeObject* type = nullptr;
  return create_type_once(type, session_spec);
}

}  // namespace ara2py
