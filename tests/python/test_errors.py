"""The exception classes of the module."""
import pytest

import tallowind_ara2 as m

EXCEPTIONS = [
    ("Ara2Error", RuntimeError, "Base class for every error raised by this module."),
    ("LibraryError", "Ara2Error",
     "The libaraclient client library could not be loaded or is not a supported DVAPI generation."),
    ("HardwareError", "Ara2Error", "The NPU or an endpoint reported a fault."),
    ("ProxyError", "Ara2Error", "The proxy could not be reached, or its configuration could not be used."),
    ("ModelError", "Ara2Error", "A model failed to load, or an inference failed."),
    ("TensorError", "Ara2Error", "A tensor could not be allocated, mapped or registered."),
    ("MetadataError", "Ara2Error", "The metadata inside a .dvm archive could not be read."),
]


@pytest.mark.parametrize(("name", "base", "doc"), EXCEPTIONS)
def test_exception_class_name_base_and_docstring(name, base, doc):
    cls = getattr(m, name)
    base_cls = getattr(m, base) if isinstance(base, str) else base
    assert cls.__bases__ == (base_cls,)
    assert cls.__module__ == "tallowind_ara2"
    assert cls.__qualname__ == name
    assert f"{cls.__module__}.{cls.__qualname__}" == f"tallowind_ara2.{name}"
    assert cls.__doc__ == doc
    assert issubclass(cls, RuntimeError)


def test_subclasses_are_siblings():
    subclasses = [getattr(m, name) for name, _, _ in EXCEPTIONS[1:]]
    for a in subclasses:
        for b in subclasses:
            assert issubclass(a, b) == (a is b), (a, b)


def test_exceptions_carry_one_argument_and_print_it():
    error = m.ProxyError("Ara2 error: 200")
    assert error.args == ("Ara2 error: 200",)
    assert str(error) == "Ara2 error: 200"
    with pytest.raises(RuntimeError, match="^Ara2 error: 200$"):
        raise error


def test_internal_failure_class_is_not_exported():
    assert not any(name in m.__all__ for name in ("InternalFailure", "PanicException"))
    assert not hasattr(m, "InternalFailure")
