"""The shipped type stub (generated with the module) and the compiled module
describe the same surface: the same names, the same members of the same
kinds, the same parameters, the same docstrings."""
import ast
import inspect
import pathlib

import pytest

import tallowind_ara2

# The stub the build generated beside the module, which is the one installed.
STUB = pathlib.Path(tallowind_ara2.__file__).with_name("tallowind_ara2.pyi")

# Members the stub declares that the runtime classes do not have yet, as
# (class, member): only their absence is excused, so an entry the runtime has
# gained is checked like any other member. Empty when the module is complete.
PENDING: frozenset[tuple[str, str]] = frozenset()

# Dunders users call through syntax (with, int(), ==), so the stub must carry them.
CHECKED_DUNDERS = {"__enter__", "__exit__", "__int__", "__eq__", "__ne__", "__hash__"}
SIGNATURE_DUNDERS = {"__enter__", "__exit__"}
BASETYPE_FLAG = 1 << 10


class StubClass:
    def __init__(self, node: ast.ClassDef):
        self.node = node
        self.bases = [ast.unparse(base) for base in node.bases]
        self.final = any(ast.unparse(d) in ("final", "typing.final") for d in node.decorator_list)
        # member name -> "property" | "staticmethod" | "method" | "attribute"
        self.kinds: dict[str, str] = {}
        self.functions: dict[str, ast.FunctionDef] = {}
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                decorators = {ast.unparse(d) for d in item.decorator_list}
                if "property" in decorators:
                    kind = "property"
                elif "staticmethod" in decorators:
                    kind = "staticmethod"
                else:
                    kind = "method"
                self.kinds[item.name] = kind
                self.functions[item.name] = item
            elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                self.kinds[item.target.id] = "attribute"


def _parse_stub():
    tree = ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB), feature_version=(3, 10))
    names, classes, functions, exported = set(), {}, {}, None
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            classes[node.name] = StubClass(node)
            names.add(node.name)
        elif isinstance(node, ast.FunctionDef):
            functions[node.name] = node
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"]:
            exported = ast.literal_eval(node.value)
    # Private helpers of the stub (aliases, protocols) exist only for type checkers.
    public = {name for name in names if not name.startswith("_") or name == "__version__"}
    return public, classes, functions, exported


STUB_NAMES, STUB_CLASSES, STUB_FUNCTIONS, STUB_ALL = _parse_stub()
# The exported classes, then the further classes the module adds beside them.
RUNTIME_CLASSES = [
    name for name in [*tallowind_ara2.__all__, *sorted(STUB_NAMES - set(tallowind_ara2.__all__))]
    if isinstance(getattr(tallowind_ara2, name, None), type)
]


def _runtime_kind(cls: type, name: str) -> str:
    raw = vars(cls)[name]
    if isinstance(raw, staticmethod):
        return "staticmethod"
    if type(raw).__name__ in ("getset_descriptor", "member_descriptor") or isinstance(raw, property):
        return "property"
    if isinstance(raw, cls):
        return "attribute"
    if callable(raw):
        return "method"
    return "attribute"


def _runtime_members(cls: type) -> set[str]:
    return {
        name for name in vars(cls)
        if not name.startswith("_") or (name in SIGNATURE_DUNDERS)
    }


def _stub_members(stub: StubClass) -> set[str]:
    return {name for name in stub.kinds if not name.startswith("_") or name in SIGNATURE_DUNDERS}


def _stub_parameters(node: ast.FunctionDef, skip_receiver: bool):
    args = node.args
    if args.vararg or args.kwarg or args.kwonlyargs:
        pytest.fail(f"{node.name}: the module takes no *args, **kwargs or keyword-only parameters")
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    result = []
    for index, (arg, default) in enumerate(zip(positional, defaults)):
        if skip_receiver and index == 0:
            continue
        kind = "positional-only" if arg in args.posonlyargs else "positional-or-keyword"
        value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        result.append((arg.arg, kind, value))
    return result


def _runtime_parameters(obj, skip_receiver: bool, where: str):
    if getattr(obj, "__text_signature__", None) is None:
        pytest.fail(f"{where} has no text signature in its docstring")
    parameters = list(inspect.signature(obj).parameters.values())
    if skip_receiver:
        parameters = parameters[1:]
    kinds = {
        inspect.Parameter.POSITIONAL_ONLY: "positional-only",
        inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional-or-keyword",
    }
    result = []
    for parameter in parameters:
        assert parameter.kind in kinds, f"{where}: unexpected parameter kind of {parameter.name}"
        result.append((parameter.name, kinds[parameter.kind], parameter.default))
    return result


def test_stub_lists_the_same_exports_in_the_same_order():
    assert STUB_ALL == list(tallowind_ara2.__all__)


def test_stub_defines_the_exported_names_and_the_further_attributes():
    runtime = set(tallowind_ara2.__all__)
    unstubbed = sorted(runtime - STUB_NAMES)
    assert not unstubbed, f"exported but missing from the stub: {unstubbed}"
    # Beyond __all__ the stub declares only the module's further public attributes.
    further = {name for name in vars(tallowind_ara2) if not name.startswith("_")} - runtime
    assert STUB_NAMES - runtime == further


@pytest.mark.parametrize("name", RUNTIME_CLASSES)
def test_class_members_match_both_ways(name):
    cls = getattr(tallowind_ara2, name)
    stub = STUB_CLASSES[name]
    runtime = _runtime_members(cls)
    declared = _stub_members(stub)
    pending = {member for owner, member in PENDING if owner == name}
    missing = sorted(declared - runtime - pending)
    assert not missing, f"declared by the stub, missing at run time: {missing}"
    undeclared = sorted(runtime - declared)
    assert not undeclared, f"present at run time, missing from the stub: {undeclared}"


@pytest.mark.parametrize("name", RUNTIME_CLASSES)
def test_class_members_have_the_stubbed_kind(name):
    cls = getattr(tallowind_ara2, name)
    stub = STUB_CLASSES[name]
    mismatched = {
        member: (stub.kinds[member], _runtime_kind(cls, member))
        for member in _stub_members(stub) & _runtime_members(cls)
        if stub.kinds[member] != _runtime_kind(cls, member)
    }
    assert not mismatched, f"member: (stub kind, runtime kind): {mismatched}"


@pytest.mark.parametrize("name", RUNTIME_CLASSES)
def test_stubbed_dunders_exist_at_run_time(name):
    cls = getattr(tallowind_ara2, name)
    stub = STUB_CLASSES[name]
    for dunder in CHECKED_DUNDERS & set(stub.kinds):
        if (name, dunder) in PENDING:
            continue
        assert dunder in vars(cls), f"{name}.{dunder} is in the stub but not defined at run time"
    # An unhashable class must say so in the stub, and only then.
    assert ("__hash__" in stub.kinds) == (cls.__hash__ is None)


@pytest.mark.parametrize("name", RUNTIME_CLASSES)
def test_class_base_and_finality_match(name):
    cls = getattr(tallowind_ara2, name)
    stub = STUB_CLASSES[name]
    expected_bases = [base.__name__ for base in cls.__bases__ if base is not object]
    assert stub.bases == expected_bases
    assert stub.final == (not cls.__flags__ & BASETYPE_FLAG)


METHODS = [
    (class_name, member)
    for class_name in RUNTIME_CLASSES
    for member, kind in STUB_CLASSES[class_name].kinds.items()
    if kind in ("method", "staticmethod")
    and (not member.startswith("_") or member in SIGNATURE_DUNDERS)
]


@pytest.mark.parametrize(("class_name", "member"), METHODS, ids=[f"{c}.{m}" for c, m in METHODS])
def test_method_parameters_match_text_signature(class_name, member):
    cls = getattr(tallowind_ara2, class_name)
    if member not in vars(cls):
        assert (class_name, member) in PENDING, f"{class_name}.{member} is missing at run time"
        pytest.skip("not yet on the runtime class")
    node = STUB_CLASSES[class_name].functions[member]
    is_static = STUB_CLASSES[class_name].kinds[member] == "staticmethod"
    runtime = getattr(cls, member)
    assert _stub_parameters(node, skip_receiver=not is_static) == _runtime_parameters(
        runtime, skip_receiver=not is_static, where=f"{class_name}.{member}")


FUNCTIONS = [name for name in tallowind_ara2.__all__ if callable(getattr(tallowind_ara2, name))
             and not isinstance(getattr(tallowind_ara2, name), type)]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_parameters_match_text_signature(name):
    assert name in STUB_FUNCTIONS
    assert _stub_parameters(STUB_FUNCTIONS[name], skip_receiver=False) == _runtime_parameters(
        getattr(tallowind_ara2, name), skip_receiver=False, where=name)


def _documented():
    """(where, stub docstring as editors show it, runtime docstring) of the
    module, every class and every function, method and property; a type
    slot's wrapper carries Python's docstring, not one of ours."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    entries = [("module", ast.get_docstring(tree), tallowind_ara2.__doc__)]
    for name in RUNTIME_CLASSES:
        cls = getattr(tallowind_ara2, name)
        entries.append((name, ast.get_docstring(STUB_CLASSES[name].node), cls.__doc__))
        for member, node in STUB_CLASSES[name].functions.items():
            raw = vars(cls).get(member)
            if raw is None or type(raw).__name__ == "wrapper_descriptor":
                continue
            runtime = raw if STUB_CLASSES[name].kinds[member] == "property" else getattr(cls, member)
            entries.append((f"{name}.{member}", ast.get_docstring(node), runtime.__doc__))
    for name, node in STUB_FUNCTIONS.items():
        entries.append((name, ast.get_docstring(node), getattr(tallowind_ara2, name).__doc__))
    return entries


DOCUMENTED = _documented()


@pytest.mark.parametrize(("where", "stub", "runtime"), DOCUMENTED, ids=[entry[0] for entry in DOCUMENTED])
def test_stub_shows_the_docstrings_help_shows(where, stub, runtime):
    assert stub == runtime
