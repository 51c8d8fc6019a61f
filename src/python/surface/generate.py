"""Reads the description of the module's Python surface (surface.py beside
this file) and writes what the build needs from it:

- a C++ header: every docstring with its text-signature header, the
  parameter table of every function and method, the docstrings of classes
  and properties, the property lists of each class and the module's
  attributes in registration order, as X-macros;
- the type stub shipped with the module: the description itself, less the
  classes marked ``@internal``.

    python generate.py surface.py --header surface.hpp --stub tallowind_ara2.pyi

The parser (``load``) is also what the tests compare the live module with.
Only the standard library is used, so the build's own Python runs this.
"""
from __future__ import annotations

import argparse
import ast
import builtins
import dataclasses
import pathlib
import re
import sys

MODULE = "tallowind_ara2"
DESCRIPTION = pathlib.Path(__file__).with_name("surface.py")
CLASS_DECORATORS = {"final", "internal"}

# Words a Python name may be that C++ reserves: such a member is spelt with a
# trailing underscore in the header.
CXX_KEYWORDS = frozenset("""
    alignas alignof and and_eq asm auto bitand bitor bool break case catch char char8_t char16_t char32_t class
    compl concept const consteval constexpr constinit const_cast continue co_await co_return co_yield decltype
    default delete do double dynamic_cast else enum explicit export extern false float for friend goto if inline
    int long mutable namespace new noexcept not not_eq nullptr operator or or_eq private protected public register
    reinterpret_cast requires return short signed sizeof static static_assert static_cast struct switch template
    this thread_local throw true try typedef typeid typename union unsigned using virtual void volatile wchar_t
    while xor xor_eq
""".split())


class DescriptionError(Exception):
    """The description breaks one of its rules; the message names the line."""


def _fail(node: ast.AST | None, message: str) -> DescriptionError:
    line = getattr(node, "lineno", None)
    return DescriptionError(f"line {line}: {message}" if line else message)


def cleandoc(text: str) -> str:
    """A docstring as written in the description, without its indentation
    (the rule of inspect.cleandoc, fixed here so every Python gives the same
    bytes): the first line stripped, the common indentation of the others
    removed, leading and trailing blank lines dropped."""
    if "\t" in text:
        raise DescriptionError("docstrings are indented with spaces, not tabs")
    lines = text.split("\n")
    margin = min((len(line) - len(line.lstrip(" ")) for line in lines[1:] if line.lstrip(" ")), default=0)
    lines = [lines[0].lstrip(" ")] + [line[margin:] for line in lines[1:]]
    while lines and not lines[-1]:
        lines.pop()
    while lines and not lines[0]:
        lines.pop(0)
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# The model of the surface


@dataclasses.dataclass(frozen=True)
class Parameter:
    name: str
    default: str | None  # the default as written (the text signature shows it so), None when required
    positional_only: bool = False


@dataclasses.dataclass(frozen=True)
class Function:
    """A module function, method or static method."""

    name: str
    kind: str  # "function", "method" or "staticmethod"
    parameters: tuple[Parameter, ...]
    doc: str | None

    @property
    def text_signature(self) -> str:
        """What Python shows as __text_signature__: "($self, index)"."""
        shown = ["$self"] if self.kind == "method" else []
        for index, parameter in enumerate(self.parameters):
            shown.append(parameter.name if parameter.default is None else f"{parameter.name}={parameter.default}")
            last_positional_only = parameter.positional_only and (
                index + 1 == len(self.parameters) or not self.parameters[index + 1].positional_only)
            if last_positional_only:
                shown.append("/")
        return f"({', '.join(shown)})"

    @property
    def native_doc(self) -> str:
        """The docstring the C function carries: the text-signature header, then the docstring."""
        return f"{self.name}{self.text_signature}\n--\n\n{self.doc or ''}"

    @property
    def required(self) -> int:
        return sum(1 for parameter in self.parameters if parameter.default is None)


@dataclasses.dataclass(frozen=True)
class Property:
    name: str
    doc: str | None
    kind = "property"


@dataclasses.dataclass(frozen=True)
class ClassAttribute:
    """A class-level value: an enumeration member, or ``__hash__ = None``."""

    name: str
    kind = "attribute"


Member = Function | Property | ClassAttribute


@dataclasses.dataclass(frozen=True)
class Class:
    name: str
    bases: tuple[str, ...]
    doc: str | None
    final: bool
    internal: bool  # not a module attribute
    exception: bool
    members: tuple[Member, ...]
    kind = "class"

    def member(self, name: str) -> Member:
        return next(member for member in self.members if member.name == name)


@dataclasses.dataclass(frozen=True)
class Constant:
    name: str
    annotation: str  # as written: "Final[str]"
    kind = "constant"


Attribute = Constant | Class | Function


@dataclasses.dataclass(frozen=True)
class Surface:
    doc: str
    attributes: tuple[Attribute, ...]  # module attributes, in registration order
    exported: tuple[str, ...]  # __all__
    internal: tuple[Class, ...]  # classes that exist at run time but are no module attribute
    source: str
    tree: ast.Module

    @property
    def classes(self) -> tuple[Class, ...]:
        return tuple(a for a in self.attributes if isinstance(a, Class)) + self.internal

    def attribute(self, name: str) -> Attribute:
        return next(attribute for attribute in self.attributes if attribute.name == name)


# ---------------------------------------------------------------------------
# Parsing


def _docstring(body: list[ast.stmt]) -> str | None:
    first = body[0] if body else None
    if isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant) and isinstance(first.value.value, str):
        return cleandoc(first.value.value)
    return None


def _is_private(name: str) -> bool:
    """Helpers of the stub alone (type aliases, protocols) start with one underscore."""
    return name.startswith("_") and not (name.startswith("__") and name.endswith("__"))


def _parameters(node: ast.FunctionDef, kind: str) -> tuple[Parameter, ...]:
    args = node.args
    if args.vararg or args.kwarg or args.kwonlyargs:
        raise _fail(node, f"{node.name}: the module's callables take no *args, **kwargs or keyword-only parameters")
    positional = args.posonlyargs + args.args
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    parameters = []
    for index, (arg, default) in enumerate(zip(positional, defaults)):
        if kind in ("method", "property") and index == 0:
            if arg.arg != "self":
                raise _fail(node, f"{node.name}: a method's first parameter is self")
            continue
        if default is not None:
            try:
                ast.literal_eval(default)
            except ValueError:
                raise _fail(node, f"{node.name}: the default of {arg.arg} must be a literal") from None
        parameters.append(Parameter(arg.arg, None if default is None else ast.unparse(default),
                                    positional_only=arg in args.posonlyargs))
    if kind in ("method", "property") and not positional:
        raise _fail(node, f"{node.name}: a method's first parameter is self")
    return tuple(parameters)


def _function(node: ast.FunctionDef, in_class: bool) -> Function | Property:
    decorators = [ast.unparse(d) for d in node.decorator_list]
    allowed = {"property", "staticmethod"} if in_class else set()
    if len(decorators) > 1 or not set(decorators) <= allowed:
        raise _fail(node, f"{node.name}: unsupported decorators {decorators}")
    kind = decorators[0] if decorators else ("method" if in_class else "function")
    parameters = _parameters(node, kind)
    doc = _docstring(node.body)
    if kind == "property":
        if parameters:
            raise _fail(node, f"{node.name}: a property takes only self")
        return Property(node.name, doc)
    return Function(node.name, kind, parameters, doc)


def _is_exception(bases: tuple[str, ...], exceptions: set[str]) -> bool:
    def builtin_exception(name: str) -> bool:
        value = getattr(builtins, name, None)
        return isinstance(value, type) and issubclass(value, BaseException)
    return any(base in exceptions or builtin_exception(base) for base in bases)


def _class(node: ast.ClassDef, exceptions: set[str]) -> Class:
    decorators = {ast.unparse(d) for d in node.decorator_list}
    if not decorators <= CLASS_DECORATORS:
        raise _fail(node, f"{node.name}: unsupported decorators {sorted(decorators - CLASS_DECORATORS)}")
    bases = tuple(ast.unparse(base) for base in node.bases)
    doc = _docstring(node.body)
    members: list[Member] = []
    for item in node.body[1 if doc is not None else 0:]:
        if isinstance(item, ast.FunctionDef):
            members.append(_function(item, in_class=True))
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            members.append(ClassAttribute(item.target.id))
        elif not (isinstance(item, ast.Expr) and isinstance(item.value, ast.Constant) and item.value.value is ...):
            raise _fail(item, f"{node.name}: a class holds methods, properties and annotated attributes only")
    names = [member.name for member in members]
    if len(set(names)) != len(names):
        raise _fail(node, f"{node.name}: a member is declared twice")
    return Class(node.name, bases, doc, final="final" in decorators, internal="internal" in decorators,
                 exception=_is_exception(bases, exceptions), members=tuple(members))


def _declared_name(node: ast.stmt) -> str | None:
    if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
        return node.name
    target = node.target if isinstance(node, ast.AnnAssign) else (
        node.targets[0] if isinstance(node, ast.Assign) and len(node.targets) == 1 else None)
    return target.id if isinstance(target, ast.Name) else None


def parse(source: str, filename: str = "<surface>") -> Surface:
    """The surface that `source` (the text of a description) declares."""
    tree = ast.parse(source, filename=filename)
    doc = _docstring(tree.body)
    if doc is None:
        raise DescriptionError("the description starts with the module's docstring")
    attributes: list[Attribute] = []
    internal: list[Class] = []
    exported: list[str] | None = None
    exceptions: set[str] = set()
    for node in tree.body[1:]:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            continue
        if isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"]:
            exported = list(ast.literal_eval(node.value))
            continue
        name = _declared_name(node)
        if name is not None and _is_private(name):
            continue
        if name is None or isinstance(node, ast.Assign):
            raise _fail(node, "the description holds imports, __all__ and declarations only "
                              "(constants are annotated, not assigned)")
        if isinstance(node, ast.AnnAssign):
            attributes.append(Constant(name, ast.unparse(node.annotation)))
        elif isinstance(node, ast.ClassDef):
            cls = _class(node, exceptions)
            if cls.exception:
                exceptions.add(cls.name)
            (internal if cls.internal else attributes).append(cls)
        else:
            function = _function(node, in_class=False)
            assert isinstance(function, Function)  # properties need a class
            attributes.append(function)
    names = [attribute.name for attribute in attributes]
    if len(set(names + [cls.name for cls in internal])) != len(names) + len(internal):
        raise DescriptionError("a module attribute is declared twice")
    if exported is None:
        raise DescriptionError("the description lists the exported names in __all__")
    if not set(exported) <= set(names):
        raise DescriptionError(f"__all__ names what is not a module attribute: {sorted(set(exported) - set(names))}")
    if exported != [name for name in names if name in exported]:
        raise DescriptionError("__all__ lists the exported names in the order they are declared")
    return Surface(doc, tuple(attributes), tuple(exported), tuple(internal), source, tree)


def load(path: pathlib.Path = DESCRIPTION) -> Surface:
    return parse(path.read_text(encoding="utf-8"), str(path))


# ---------------------------------------------------------------------------
# The C++ header


def c_string(text: str, indent: str = "    ") -> str:
    """A C string literal of `text` in UTF-8, one piece per line; non-ASCII
    bytes as octal escapes, which cannot run into the characters after them."""
    pieces = []
    for line in text.splitlines(keepends=True) or [""]:
        out = []
        for byte in line.encode("utf-8"):
            char = chr(byte)
            if char in '"\\':
                out.append("\\" + char)
            elif char == "\n":
                out.append("\\n")
            elif 0x20 <= byte < 0x7F:
                out.append(char)
            else:
                out.append(f"\\{byte:03o}")
        pieces.append('"' + "".join(out) + '"')
    return f"\n{indent}".join(pieces)


def _optional_c_string(text: str | None, indent: str) -> str:
    return "nullptr" if text is None else c_string(text, indent)


def cxx_name(name: str) -> str:
    """The C++ spelling of a Python name: "__enter__" is dunder_enter, a C++ keyword gets a trailing underscore."""
    if name.startswith("__") and name.endswith("__"):
        return "dunder_" + name[2:-2]
    return name + "_" if name in CXX_KEYWORDS else name


def snake_case(name: str) -> str:
    """ModelOutputType -> model_output_type, Ara2Info -> ara2_info."""
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])", "_", name).lower()


def _literal_cxx(default: str) -> str | None:
    value = ast.literal_eval(default)
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, str):
        return c_string(value)
    return None  # None: the parameter was not given


def _signature(function: Function) -> list[str]:
    if any(parameter.positional_only for parameter in function.parameters):
        return []  # a type slot, never bound by name
    name = cxx_name(function.name)
    parameters = ", ".join(f'"{parameter.name}"' for parameter in function.parameters)
    static = "true" if function.kind == "staticmethod" else "false"
    lines = [
        f"inline constexpr Signature<{len(function.parameters)}> {name}{{",
        f'    "{function.name}",',
        f"    {c_string(function.native_doc)},",
        f"    {{{parameters}}}, {function.required}, {static}}};",
    ]
    for parameter in function.parameters:
        value = None if parameter.default is None else _literal_cxx(parameter.default)
        if value is not None:
            lines.append(f"inline constexpr auto {name.rstrip('_')}_{parameter.name}_default = {value};")
    return lines


def _check_unique(where: str, names: list[str]) -> None:
    twice = sorted({name for name in names if names.count(name) > 1})
    if twice:
        raise DescriptionError(f"{where}: two members are spelt {twice[0]} in C++")


def header(surface: Surface) -> str:
    lines = [
        "// The module's Python surface: generated from src/python/surface/surface.py",
        "// by generate.py beside it. Edit the description, never this file.",
        "#pragma once",
        "",
        '#include "python/support.hpp"',
        "",
        "namespace tallowind::python::surface {",
        "",
        f"inline constexpr char module_doc[] =\n    {c_string(surface.doc)};",
        "",
        "namespace functions {",
    ]
    for function in surface.attributes:
        if isinstance(function, Function):
            lines += _signature(function)
    lines += ["}  // namespace functions", ""]
    for cls in surface.classes:
        members = [cxx_name(member.name) for member in cls.members]
        _check_unique(cls.name, members + ["class_", "Members"])
        lines += [
            f"namespace {cls.name} {{",
            f"inline constexpr ClassFacts class_{{\"{MODULE}.{cls.name}\",\n"
            f"    {_optional_c_string(cls.doc, '    ')}}};",
        ]
        for member in cls.members:
            if isinstance(member, Function):
                lines += _signature(member)
            elif isinstance(member, Property):
                lines.append(f"inline constexpr Property {cxx_name(member.name)}{{\"{member.name}\",\n"
                             f"    {_optional_c_string(member.doc, '    ')}}};")
        # The same members as one type, for templates over classes
        # (surface::Model::Members::run is surface::Model::run).
        lines.append("struct Members {")
        lines.append(f"  static constexpr const ClassFacts& class_ = {cls.name}::class_;")
        for member in cls.members:
            named = isinstance(member, Property) or (
                isinstance(member, Function) and not any(p.positional_only for p in member.parameters))
            if named:
                name = cxx_name(member.name)
                lines.append(f"  static constexpr const auto& {name} = {cls.name}::{name};")
        lines.append("};")
        lines += [f"}}  // namespace {cls.name}", ""]
    lines.append("}  // namespace tallowind::python::surface")
    lines.append("")
    lines.append("// Each class's properties, in order: X(Class, property).")
    for cls in surface.classes:
        properties = [cxx_name(member.name) for member in cls.members if isinstance(member, Property)]
        if properties:
            entries = " \\\n  ".join(f"X({cls.name}, {name})" for name in properties)
            lines.append(f"#define ARA2_PROPERTIES_{cls.name}(X) \\\n  {entries}")
    lines += [
        "",
        "// The module's attributes in registration order: KIND(name, id, exported).",
        "// A constant's value is made by id_value(), an exception is",
        "// surface::id::class_ (kExceptionDefs ties it to its ErrorClass), a class is made by id_type() and a function's",
        "// definition is id_method().",
    ]
    entries = []
    for attribute in surface.attributes:
        exported = "true" if attribute.name in surface.exported else "false"
        if isinstance(attribute, Constant):
            kind, ident = "CONSTANT", attribute.name.strip("_").lower()
        elif isinstance(attribute, Class):
            exception = attribute.exception
            kind, ident = ("EXCEPTION", attribute.name) if exception else ("CLASS", snake_case(attribute.name))
        else:
            kind, ident = "FUNCTION", attribute.name
        entries.append(f'{kind}("{attribute.name}", {ident}, {exported})')
    lines.append("#define ARA2_MODULE_ATTRIBUTES(CONSTANT, EXCEPTION, CLASS, FUNCTION) \\\n  "
                 + " \\\n  ".join(entries))
    lines.append("")
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# The stub


STUB_HEADER = f"# Type information for {MODULE}, with the docstrings help() shows.\n"


def stub(surface: Surface) -> str:
    """The description as a stub: from its docstring on, less the internal classes."""
    lines = surface.source.splitlines()
    dropped: set[int] = set(range(surface.tree.body[0].lineno - 1))  # the description's own header
    for node in surface.tree.body:
        if isinstance(node, ast.ClassDef) and "internal" in {ast.unparse(d) for d in node.decorator_list}:
            first = min([node.lineno] + [d.lineno for d in node.decorator_list]) - 1
            while first > 0 and lines[first - 1].startswith("#"):  # its comment goes with it
                first -= 1
            dropped.update(range(first, node.end_lineno or node.lineno))
    kept = [line for index, line in enumerate(lines) if index not in dropped]
    text = "\n".join(kept).strip("\n") + "\n"
    return STUB_HEADER + re.sub(r"\n{4,}", "\n\n\n", text)


# ---------------------------------------------------------------------------


def _write_if_changed(path: pathlib.Path, text: str) -> None:
    # An unchanged header keeps its time stamp, so nothing that includes it is rebuilt.
    if path.exists() and path.read_text(encoding="utf-8") == text:
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("description", type=pathlib.Path)
    parser.add_argument("--header", type=pathlib.Path, required=True)
    parser.add_argument("--stub", type=pathlib.Path, required=True)
    args = parser.parse_args(argv)
    try:
        surface = load(args.description)
        _write_if_changed(args.header, header(surface))
        _write_if_changed(args.stub, stub(surface))
    except DescriptionError as error:
        print(f"{args.description}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
