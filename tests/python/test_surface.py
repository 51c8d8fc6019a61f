"""The live module is what the description of its surface says
(src/python/surface/surface.py, read by the generator the build runs): its
attributes and their order, and for every class, function, method and
property its kind, text signature and docstring."""
import builtins
import threading
import types

import pytest

import tallowind_ara2
from fixtures.inference_models import passthrough
from fixtures.surface import generator

SURFACE = generator.load()
CLASSES = [a for a in SURFACE.attributes if isinstance(a, generator.Class)]
FUNCTIONS = [a for a in SURFACE.attributes if isinstance(a, generator.Function)]
CONSTANTS = [a for a in SURFACE.attributes if isinstance(a, generator.Constant)]
BASETYPE_FLAG = 1 << 10


def _runtime_kind(cls: type, name: str) -> str:
    raw = vars(cls)[name]
    if isinstance(raw, staticmethod):
        return "staticmethod"
    if isinstance(raw, types.GetSetDescriptorType):
        return "property"
    if isinstance(raw, (types.MethodDescriptorType, types.WrapperDescriptorType)):
        return "method"
    return "attribute"


def _runtime_members(cls: type, described: set[str]) -> dict[str, str]:
    """Public members, the described dunders, and every dunder with a method
    definition of its own (a type slot's wrapper is Python's, not ours)."""
    return {
        name: _runtime_kind(cls, name) for name, raw in vars(cls).items()
        if name in described or not name.startswith("_") or isinstance(raw, types.MethodDescriptorType)
    }


def _check_class(runtime: type, cls) -> None:
    assert runtime.__name__ == runtime.__qualname__ == cls.name
    assert runtime.__doc__ == cls.doc
    assert [base.__name__ for base in runtime.__bases__ if base is not object] == list(cls.bases)
    assert (not runtime.__flags__ & BASETYPE_FLAG) == cls.final
    assert issubclass(runtime, BaseException) == cls.exception
    described = {member.name: member.kind for member in cls.members}
    assert _runtime_members(runtime, set(described)) == described
    for member in cls.members:
        raw = vars(runtime)[member.name]
        if isinstance(member, generator.Property):
            assert raw.__doc__ == member.doc, member.name
        elif isinstance(member, generator.ClassAttribute):
            assert raw is None or isinstance(raw, runtime), member.name
        elif isinstance(raw, types.WrapperDescriptorType):
            assert member.doc is None, f"{member.name} is a type slot: Python gives its docstring"
        else:
            bound = getattr(runtime, member.name)
            assert (bound.__text_signature__, bound.__doc__) == (member.text_signature, member.doc), member.name


def test_module_docstring_is_the_described_one():
    assert tallowind_ara2.__doc__ == SURFACE.doc


def test_attributes_are_registered_in_the_described_order():
    described = [attribute.name for attribute in SURFACE.attributes]
    public = [name for name in vars(tallowind_ara2) if not name.startswith("_") or name in described]
    assert public == described
    assert tallowind_ara2.__all__ == list(SURFACE.exported)


@pytest.mark.parametrize("constant", CONSTANTS, ids=[c.name for c in CONSTANTS])
def test_constant_has_the_annotated_type(constant):
    annotation = constant.annotation
    if annotation.startswith("Final["):
        annotation = annotation[len("Final["):-1]
    assert type(getattr(tallowind_ara2, constant.name)) is getattr(builtins, annotation.split("[")[0])


@pytest.mark.parametrize("cls", CLASSES, ids=[c.name for c in CLASSES])
def test_class_is_as_described(cls):
    runtime = getattr(tallowind_ara2, cls.name)
    assert runtime.__module__ == "tallowind_ara2"
    _check_class(runtime, cls)


@pytest.mark.parametrize("function", FUNCTIONS, ids=[f.name for f in FUNCTIONS])
def test_function_is_as_described(function):
    runtime = getattr(tallowind_ara2, function.name)
    assert isinstance(runtime, types.BuiltinFunctionType) and runtime.__self__ is tallowind_ara2
    assert (runtime.__text_signature__, runtime.__doc__) == (function.text_signature, function.doc)


@pytest.fixture
def internal_classes(open_model):
    """Each internal class, reached the way a program meets it."""
    model = open_model(passthrough(4))
    model.run()
    failures = []

    def use_from_another_thread():
        try:
            model.n_inputs
        except BaseException as error:  # the internal failure is not an Exception
            failures.append(type(error))

    thread = threading.Thread(target=use_from_another_thread)
    thread.start()
    thread.join()
    return {"PySliceContainer": type(model.get_output_tensor(0).base), "InternalFailure": failures[0]}


@pytest.mark.parametrize("cls", SURFACE.internal, ids=[c.name for c in SURFACE.internal])
def test_internal_class_is_as_described_and_no_module_attribute(cls, internal_classes):
    assert cls.name in internal_classes, "tell the internal_classes fixture how to reach this class"
    _check_class(internal_classes[cls.name], cls)
    assert not hasattr(tallowind_ara2, cls.name)
