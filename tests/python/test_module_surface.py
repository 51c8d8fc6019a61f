"""The module's registered surface: names, order, classes and functions."""
import importlib
import sys

import pytest

import tallowind_ara2

EXPORTS = [
    "__version__", "DEFAULT_SOCKET", "SOCKET_PATHS",
    "Ara2Error", "LibraryError", "HardwareError", "ProxyError", "ModelError", "TensorError", "MetadataError",
    "Session", "Proxy", "ProxyEndpoint", "Endpoint", "Model", "InferRequest", "Abi", "State",
    "DramStatistics", "ModelTiming", "InputQuantization", "InputPreprocess", "OutputQuantization",
    "ModelOutputType", "InputTensorInfo", "OutputTensorInfo", "DvmMetadata", "DatasetInfo", "ModelInfo",
    "DeploymentInfo", "InputSpec", "OutputSpec", "CompilationInfo", "PpaMetrics", "Ara2Info",
    "read_metadata", "read_labels", "has_metadata", "socket_path", "discover",
]
CLASSES = EXPORTS[10:35]
FUNCTIONS = EXPORTS[35:]

CLASS_DOC_FIRST_LINES = {
    "Session": "ARA-2 session for communicating with the proxy.",
    "Proxy": "A running ARA-2 proxy found by :func:`discover`.",
    "ProxyEndpoint": "An address a proxy accepts connections on.",
    "Endpoint": "ARA-2 accelerator endpoint.",
    "Model": "Neural network model loaded on an endpoint.",
    "InferRequest": "A pending asynchronous inference request.",
    "Abi": "The DVAPI generation a loaded ``libaraclient`` implements.",
    "State": "Endpoint state enum.",
    "DramStatistics": "DRAM statistics for an endpoint.",
    "ModelTiming": "Timing information from a model inference run.",
    "InputQuantization": "Input tensor quantization parameters.",
    "InputPreprocess": "Image preprocessing parameters for an input tensor.",
    "OutputQuantization": "Output tensor quantization parameters (qmode 9 semantics).",
    "ModelOutputType": "The type of output produced by a model layer.",
    "InputTensorInfo": "Detailed information about an input tensor.",
    "OutputTensorInfo": "Detailed information about an output tensor.",
    "DvmMetadata": "Tallowind metadata embedded in a DVM model file.",
    "DatasetInfo": "Dataset information from model metadata.",
    "ModelInfo": "Model information from metadata.",
    "DeploymentInfo": "Deployment information from metadata.",
    "InputSpec": "Input specification from metadata.",
    "OutputSpec": "Output tensor specification from metadata.",
    "CompilationInfo": "Compilation information from metadata.",
    "PpaMetrics": "Performance, power, and area metrics from compilation.",
    "Ara2Info": "Kinara ARA-2 specific metadata section.",
}

MODULE_DOC = (
    "Tallowind ARA-2 Python Library\n\n"
    "Python bindings for the ARA-2 neural accelerator client library.\n\n"
    "Example:\n"
    "    >>> import tallowind_ara2\n"
    "    >>> session = tallowind_ara2.Session.connect()\n"
    "    >>> endpoints = session.list_endpoints()\n"
    "    >>> model = endpoints[0].load_model(\"model.dvm\")\n"
    "    >>> model.allocate_tensors(\"dma\")\n"
    "    >>> timing = model.run()"
)


def test_all_lists_every_export_in_registration_order():
    assert tallowind_ara2.__all__ == EXPORTS
    module_names = [name for name in vars(tallowind_ara2) if name in EXPORTS]
    assert module_names == EXPORTS


def test_constants_and_docstring():
    assert tallowind_ara2.__version__ == "0.22.0"
    assert tallowind_ara2.DEFAULT_SOCKET == "/var/run/proxy.sock"
    assert type(tallowind_ara2.SOCKET_PATHS) is list
    assert tallowind_ara2.SOCKET_PATHS == ["/var/run/proxy.sock", "/var/run/ara2.sock"]
    assert tallowind_ara2.__doc__ == MODULE_DOC


@pytest.fixture
def fresh_module():
    """Imports the module a second time as a new module object."""
    saved = sys.modules.pop("tallowind_ara2")
    try:
        yield importlib.import_module("tallowind_ara2")
    finally:
        sys.modules["tallowind_ara2"] = saved


def test_reimport_shares_types_but_not_the_socket_list(fresh_module):
    assert fresh_module is not tallowind_ara2
    for name in CLASSES + EXPORTS[3:10]:
        assert getattr(fresh_module, name) is getattr(tallowind_ara2, name), name
    assert fresh_module.SOCKET_PATHS is not tallowind_ara2.SOCKET_PATHS
    assert fresh_module.__all__ is not tallowind_ara2.__all__
    assert fresh_module.State.Idle is tallowind_ara2.State.Idle


def test_last_module_object_gone_releases_the_state_and_a_new_import_rebuilds_it():
    """In a child: once no module object is left, the classes, exceptions and
    members are released; the next import makes new ones that work, while
    objects of the old ones stay usable."""
    import subprocess
    code = (
        "import gc, sys, numpy as np\n"
        "import tallowind_ara2 as first\n"
        "old_error, member = first.TensorError, first.State.Idle\n"
        "del first\n"
        "sys.modules.pop('tallowind_ara2')\n"
        "gc.collect()\n"
        "import tallowind_ara2 as second\n"
        "print(second.TensorError is old_error, second.State.Idle is member, repr(member),\n"
        "      issubclass(second.TensorError, second.Ara2Error), second.State.Idle == second.State.Idle)\n"
        "try:\n"
        "    second.read_metadata('/nonexistent/model.dvm')\n"
        "except second.MetadataError as error:\n"
        "    print(type(error).__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False", "State.Idle", "True", "True", "MetadataError"]


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity_and_docstring(name):
    cls = getattr(tallowind_ara2, name)
    assert cls.__module__ == "tallowind_ara2"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    assert cls.__doc__.split("\n")[0] == CLASS_DOC_FIRST_LINES[name]


@pytest.mark.parametrize("name", CLASSES)
def test_class_cannot_be_instantiated_or_subclassed(name):
    cls = getattr(tallowind_ara2, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__flags__ & (1 << 10) == 0  # Py_TPFLAGS_BASETYPE
    assert cls.__flags__ & (1 << 7)  # Py_TPFLAGS_DISALLOW_INSTANTIATION
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0


FULL_CLASS_DOCS = {
    "Session": (
        "ARA-2 session for communicating with the proxy.\n\n"
        "A Session represents a connection to the ARA-2 proxy service, which can\n"
        "be established via either a UNIX socket or TCP socket. The session is used\n"
        "to enumerate endpoints and retrieve version information.\n\n"
        "Example:\n"
        "    >>> import tallowind_ara2\n"
        "    >>> session = tallowind_ara2.Session.connect()\n"
        "    >>> versions = session.versions()\n"
        "    >>> endpoints = session.list_endpoints()\n"
        "    >>> session.close()"
    ),
    "Endpoint": (
        "ARA-2 accelerator endpoint.\n\n"
        "An endpoint represents a single ARA-2 accelerator device that can load\n"
        "and execute neural network models."
    ),
    "InferRequest": (
        "A pending asynchronous inference request.\n\n"
        "Created by :meth:`Model.submit`. Call :meth:`wait` to block until the\n"
        "NPU finishes and retrieve timing information. The GIL is released\n"
        "during ``wait()`` so other Python threads can run.\n\n"
        "The underlying request is freed automatically when the object is\n"
        "garbage-collected or when ``wait()`` returns.\n\n"
        "Example::\n\n"
        "    request = model.submit()\n"
        "    # ... pre-process next frame while NPU is busy ...\n"
        "    timing = request.wait()"
    ),
    "ProxyEndpoint": (
        "An address a proxy accepts connections on.\n\n"
        "``kind`` is ``\"unix\"`` or ``\"tcp\"``. ``path`` is set for the former,\n"
        "``host`` and ``port`` for the latter."
    ),
    "State": (
        "Endpoint state enum.\n\n"
        "The members are the union of both DVAPI generations: 1.3 reuses values\n"
        "4 and 5 for names 1.1 does not have, so which of ``ActiveBoosted`` /\n"
        "``ThermalActiveSlow`` (and ``ThermalInactive`` / ``FailSafe``) you see\n"
        "depends on the library loaded. ``Session.abi`` reports which that is."
    ),
    "InputQuantization": (
        "Input tensor quantization parameters.\n\n"
        "For qmode 9 models (the production default), ``qn`` is the per-tensor\n"
        "scale and ``offset`` is the integer zero-point. Per-channel image\n"
        "preprocessing lives on :class:`InputPreprocess` instead."
    ),
    "InputPreprocess": (
        "Image preprocessing parameters for an input tensor.\n\n"
        "Describes how float image data is expected to be normalized before\n"
        "quantization: ``(pixel - mean[c]) * scale[c]``."
    ),
}


@pytest.mark.parametrize("name", sorted(FULL_CLASS_DOCS))
def test_multi_line_class_docstrings_are_complete(name):
    assert getattr(tallowind_ara2, name).__doc__ == FULL_CLASS_DOCS[name]


def test_model_docstring_opens_with_its_paragraph_and_ends_with_the_workflow():
    doc = tallowind_ara2.Model.__doc__
    assert doc.startswith(
        "Neural network model loaded on an endpoint.\n\n"
        "The Model class provides methods to run inference on a loaded neural network.\n"
        "Input and output tensors are accessed via zero-based indices.\n\n"
    )
    workflow = ["load_model(", "allocate_tensors()", "set_input_tensor(0, input_data)", "run()",
                "get_output_tensor(0)"]
    positions = [doc.index(step) for step in workflow]
    assert positions == sorted(positions)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(tallowind_ara2, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__self__ is tallowind_ara2
    assert function.__module__ == "tallowind_ara2"
    expected = "()" if name in ("socket_path", "discover") else "(path)"
    assert function.__text_signature__ == expected
    assert not function.__doc__.startswith(name)


@pytest.mark.parametrize(
    ("name", "doc"),
    [
        ("read_metadata", "Read Tallowind metadata from a DVM model file.\n\nArgs:\n"
         "    path: Path to the .dvm model file (str or os.PathLike)\n\nReturns:\n"
         "    DvmMetadata or None if the file has no embedded metadata\n\nRaises:\n"
         "    MetadataError: If the file cannot be read or metadata is malformed"),
        ("read_labels", "Read class labels from a DVM model file.\n\nArgs:\n"
         "    path: Path to the .dvm model file (str or os.PathLike)\n\nReturns:\n"
         "    list[str]: Class label strings (empty if not present)\n\nRaises:\n"
         "    MetadataError: If the file cannot be read"),
        ("has_metadata", "Check if a DVM file has embedded metadata.\n\nArgs:\n"
         "    path: Path to the .dvm model file (str or os.PathLike)\n\nReturns:\n"
         "    bool: True if the file contains Tallowind metadata"),
        ("socket_path", "Resolves the ARA-2 proxy socket path: `ARA2_SOCKET` if set, otherwise\n"
         "the first entry in `SOCKET_PATHS` that exists, otherwise\n`DEFAULT_SOCKET`."),
    ],
)
def test_function_docstrings(name, doc):
    assert getattr(tallowind_ara2, name).__doc__ == doc


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: tallowind_ara2.socket_path(1), "socket_path() takes no arguments (1 given)"),
        (lambda: tallowind_ara2.socket_path(x=1), "socket_path() got an unexpected keyword argument 'x'"),
        (lambda: tallowind_ara2.discover(None), "discover() takes no arguments (1 given)"),
        (lambda: tallowind_ara2.read_labels(), "read_labels() missing required argument 'path' (pos 1)"),
        (lambda: tallowind_ara2.read_labels("a", "b"), "read_labels() takes at most 1 argument (2 given)"),
        (lambda: tallowind_ara2.read_labels("a", path="b"), "read_labels() got multiple values for argument 'path'"),
        (lambda: tallowind_ara2.has_metadata(b"model.dvm"), "argument 'path': expected str or os.PathLike"),
        (lambda: tallowind_ara2.has_metadata(path=3), "argument 'path': expected str or os.PathLike"),
    ],
)
def test_argument_errors_name_the_function_or_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(message)


def test_import_does_not_load_numpy_or_the_client_library(tmp_path):
    import subprocess
    code = (
        "import sys, tallowind_ara2\n"
        "maps = open('/proc/self/maps').read()\n"
        "print('numpy' in sys.modules, 'libaraclient' in maps)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]


# --- socket_path() resolution, each case in a child with its own environment


def _socket_path_in_child(env_socket, setup="", extra=""):
    """socket_path() printed by a child Python; env_socket None leaves ARA2_SOCKET unset."""
    import os
    import subprocess
    env = {k: v for k, v in os.environb.items() if k != b"ARA2_SOCKET"}
    if env_socket is not None:
        env[b"ARA2_SOCKET"] = env_socket
    code = f"import tallowind_ara2 as m\n{extra}\nprint(repr(m.socket_path()))"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, check=True)
    return eval(out.stdout.decode())


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (b"/nonexistent/dir/proxy.sock", "/nonexistent/dir/proxy.sock"),
        (b"", ""),
        (b"relative.sock", "relative.sock"),
        ("/tmp/\u00e9t\u00e9.sock".encode(), "/tmp/\u00e9t\u00e9.sock"),
    ],
)
def test_socket_path_returns_the_environment_value_unchanged(value, expected):
    assert _socket_path_in_child(value) == expected


def _fallback_now():
    import os
    for path in ("/var/run/proxy.sock", "/var/run/ara2.sock"):
        if os.path.exists(path):
            return path
    return "/var/run/proxy.sock"


def test_socket_path_ignores_an_environment_value_that_is_not_utf8():
    assert _socket_path_in_child(b"/tmp/\xff.sock") == _fallback_now()


def test_socket_path_ignores_rebound_module_constants(tmp_path):
    present = tmp_path / "present.sock"
    present.touch()
    extra = (f"m.SOCKET_PATHS[:] = [{str(present)!r}]\n"
             f"m.DEFAULT_SOCKET = {str(present)!r}\n"
             f"m.SOCKET_PATHS = [{str(present)!r}]")
    assert _socket_path_in_child(None, extra=extra) == _fallback_now()


def _private_run_dir_available():
    import os
    import shutil
    import subprocess
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c", "mount -t tmpfs none /var/run"],
        capture_output=True)
    return probe.returncode == 0


needs_private_run_dir = pytest.mark.skipif(
    not _private_run_dir_available(), reason="needs root and mount namespaces to fake /var/run")


@needs_private_run_dir
@pytest.mark.parametrize(
    ("setup", "expected"),
    [
        ("", "/var/run/proxy.sock"),
        ("touch /var/run/ara2.sock", "/var/run/ara2.sock"),
        ("touch /var/run/ara2.sock /var/run/proxy.sock", "/var/run/proxy.sock"),
        ("touch /var/run/proxy.sock", "/var/run/proxy.sock"),
        # A dangling link does not exist for the metadata query that follows links.
        ("ln -s /nowhere /var/run/proxy.sock && touch /var/run/ara2.sock", "/var/run/ara2.sock"),
        ("mkdir /var/run/ara2.sock", "/var/run/ara2.sock"),
    ],
)
def test_socket_path_picks_the_first_existing_default(setup, expected):
    """/var/run is replaced by an empty tmpfs in a private mount namespace of the child only."""
    import os
    import subprocess
    env = {k: v for k, v in os.environ.items() if k != "ARA2_SOCKET"}
    script = f"mount -t tmpfs none /var/run && {setup or 'true'} && exec \"$0\" -c \"$1\""
    code = "import tallowind_ara2 as m; print(m.socket_path())"
    out = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script,
                          sys.executable, code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == expected
