"""The generator of the module's surface on small descriptions: what it reads
from one, the C++ it emits (compiled and run), the stub, and the rules it
refuses a description for."""
import inspect
import re
import shutil
import subprocess
import sysconfig

import pytest

from fixtures.paths import REPO
from fixtures.surface import generator

SMALL = '''\
# Notes for whoever edits the description.
"""A module.

Example:
    >>> two
"""
import os
from typing import ClassVar, Final, final

_Path = str | os.PathLike[str]

__all__ = ["VERSION", "Failure", "Thing", "make"]

VERSION: Final[str]
HIDDEN: Final[int]

class Failure(RuntimeError):
    """It failed."""

# Only raised, never exported.
@internal
class Keeper(BaseException):
    """Kept."""

@final
class Thing:
    """A thing.

    With two paragraphs.
    """
    Red: ClassVar[Thing]

    @staticmethod
    def new(path: _Path, flags: int = 0) -> Thing:
        """Makes one \u2014 quickly."""

    def read(self, index: int, label: str = "a\\\\b", default: str | None = None) -> str:
        """Reads "quoted" \\\\ text."""

    @property
    def size(self) -> int:
        """Size in bytes."""

    def __enter__(self) -> Thing: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

def make(delete: bool = True) -> Thing:
    """Makes a thing."""
'''


@pytest.fixture(scope="module")
def small():
    return generator.parse(SMALL)


def test_attributes_exports_and_internal_classes(small):
    assert [a.name for a in small.attributes] == ["VERSION", "HIDDEN", "Failure", "Thing", "make"]
    assert [a.kind for a in small.attributes] == ["constant", "constant", "class", "class", "function"]
    assert small.exported == ("VERSION", "Failure", "Thing", "make")
    assert [c.name for c in small.internal] == ["Keeper"]
    assert small.doc == "A module.\n\nExample:\n    >>> two"
    failure, thing = small.attribute("Failure"), small.attribute("Thing")
    assert (failure.exception, failure.final, small.internal[0].exception) == (True, False, True)
    assert (thing.exception, thing.final, thing.doc) == (False, True, "A thing.\n\nWith two paragraphs.")
    assert [(m.name, m.kind) for m in thing.members] == [
        ("Red", "attribute"), ("new", "staticmethod"), ("read", "method"), ("size", "property"),
        ("__enter__", "method"), ("__eq__", "method"), ("__hash__", "attribute")]


@pytest.mark.parametrize(("member", "signature", "required", "doc"), [
    ("new", "(path, flags=0)", 1, "Makes one \u2014 quickly."),
    ("read", "($self, index, label='a\\\\b', default=None)", 1, 'Reads "quoted" \\ text.'),
    ("__enter__", "($self)", 0, None),
    ("__eq__", "($self, other, /)", 1, None),
])
def test_text_signatures_and_docstrings(small, member, signature, required, doc):
    function = small.attribute("Thing").member(member)
    assert (function.text_signature, function.required, function.doc) == (signature, required, doc)
    assert function.native_doc == f"{member}{signature}\n--\n\n{doc or ''}"


def test_stub_is_the_description_without_its_notes_and_internal_classes(small):
    stub = generator.stub(small)
    assert stub.startswith(generator.STUB_HEADER + '"""A module.\n')
    assert "Keeper" not in stub and "internal" not in stub and "Only raised" not in stub
    assert "Notes for whoever" not in stub
    # Everything else stays as written, comments included.
    assert "HIDDEN: Final[int]\n" in stub and "# type: ignore[assignment]" in stub
    assert "\n\n\n\n" not in stub
    assert generator.parse(stub.removeprefix(generator.STUB_HEADER)).exported == small.exported


PROGRAM = r'''
#include <cstdio>
#include "surface.hpp"

using namespace tallowind::python::surface;

// Each class's Members names the very entries of its namespace, except the
// slot dunders, which have none.
static_assert(&Thing::Members::class_ == &Thing::class_ && &Thing::Members::read == &Thing::read &&
              &Thing::Members::new_ == &Thing::new_ && &Thing::Members::dunder_enter == &Thing::dunder_enter &&
              &Thing::Members::size == &Thing::size && &Keeper::Members::class_ == &Keeper::class_);
template <class C>
constexpr bool has_eq = requires { C::dunder_eq; };
static_assert(!has_eq<Thing::Members>);

void put(const char* text) {
  std::fputs(text ? text : "<null>", stdout);
  std::fputs("\n", stdout);
  std::fputc(0, stdout);
}
template <std::size_t N>
void put(const tallowind::python::Signature<N>& s) {
  put(s.name);
  put(s.doc);
  for (const char* parameter : s.parameters) put(parameter);
  std::printf("required=%zu static=%d", s.required, int(s.is_static));
  put("");
}

int main() {
  put(module_doc);
  put(Thing::class_.name);
  put(Thing::class_.doc);
  put(Thing::new_);
  put(Thing::read);
  put(Thing::dunder_enter);
  put(Thing::size.doc);
  put(Keeper::class_.name);
  put(functions::make);
  std::printf("%d %d", Thing::new_flags_default, int(functions::make_delete_default));
  put(Thing::read_label_default);
#define X(C, p) #C "." #p " "
  put(ARA2_PROPERTIES_Thing(X));
#define ENTRY(kind) \
  [](const char* name, const char* id, bool exported) { std::printf(#kind " %s %s %d;", name, id, exported); }
#define CONSTANT(n, id, e) ENTRY(CONSTANT)(n, #id, e);
#define EXCEPTION(n, id, e) ENTRY(EXCEPTION)(n, #id, e);
#define CLASS(n, id, e) ENTRY(CLASS)(n, #id, e);
#define FUNCTION(n, id, e) ENTRY(FUNCTION)(n, #id, e);
  ARA2_MODULE_ATTRIBUTES(CONSTANT, EXCEPTION, CLASS, FUNCTION)
  put("");
}
'''


def test_header_compiles_to_the_described_texts(small, tmp_path):
    compiler = shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    (tmp_path / "surface.hpp").write_text(generator.header(small), encoding="utf-8")
    (tmp_path / "program.cpp").write_text(PROGRAM, encoding="utf-8")
    subprocess.run([compiler, "-std=c++23", "-Wall", "-Werror", f"-I{REPO / 'src'}", f"-I{tmp_path}",
                    f"-I{sysconfig.get_paths()['include']}", str(tmp_path / "program.cpp"), "-o",
                    str(tmp_path / "program")], check=True, capture_output=True)
    out = subprocess.run([str(tmp_path / "program")], check=True, capture_output=True).stdout.decode()
    thing = small.attribute("Thing")
    assert out.split("\n\0") == [
        small.doc,
        "tallowind_ara2.Thing", thing.doc,
        "new", thing.member("new").native_doc, "path", "flags", "required=1 static=1",
        "read", thing.member("read").native_doc, "index", "label", "default", "required=1 static=0",
        "__enter__", "__enter__($self)\n--\n\n", "required=0 static=0",
        "Size in bytes.",
        "tallowind_ara2.Keeper",
        "make", small.attribute("make").native_doc, "delete", "required=0 static=0",
        "0 1a\\b",
        "Thing.size ",
        "CONSTANT VERSION version 1;CONSTANT HIDDEN hidden 0;EXCEPTION Failure Failure 1;"
        "CLASS Thing thing 1;FUNCTION make make 1;",
        "",
    ]


def _with(old, new):
    assert old in SMALL
    return SMALL.replace(old, new)


@pytest.mark.parametrize(("source", "message"), [
    (_with('"""A module.\n\nExample:\n    >>> two\n"""\n', ""), "starts with the module's docstring"),
    (_with("def make(delete: bool = True)", "def make(*delete: bool)"), "no *args"),
    (_with("def make(delete: bool = True)", "def make(*, delete: bool = True)"), "keyword-only"),
    (_with("flags: int = 0", "flags: int = len"), "must be a literal"),
    (_with("def read(self, index", "def read(this, index"), "first parameter is self"),
    (_with("    def size(self) -> int:", "    def size(self, unit: int) -> int:"), "takes only self"),
    (_with("    @staticmethod\n", "    @classmethod\n"), "unsupported decorators"),
    (_with("@final\nclass Thing", "@dataclass\nclass Thing"), "unsupported decorators"),
    (_with('__all__ = ["VERSION", "Failure", "Thing", "make"]', '__all__ = ["Failure", "VERSION"]'), "in the order"),
    (_with('__all__ = ["VERSION", "Failure", "Thing", "make"]', '__all__ = ["Keeper"]'), "not a module attribute"),
    (_with('__all__ = ["VERSION", "Failure", "Thing", "make"]\n', ""), "lists the exported names"),
    (_with("HIDDEN: Final[int]", "VERSION: Final[int]"), "declared twice"),
    (_with("    Red: ClassVar[Thing]", "    size: int"), "declared twice"),
    (_with("HIDDEN: Final[int]", "HIDDEN = 3"), "declarations only"),
    (_with('        """Size in bytes."""', '        """Size\n\tin bytes."""'), "tabs"),
    (_with("    Red: ClassVar[Thing]", "    Red: ClassVar[Thing]\n    print(Red)"), "annotated attributes only"),
])
def test_descriptions_breaking_a_rule_are_refused(source, message):
    with pytest.raises(generator.DescriptionError, match=re.escape(message)):
        generator.parse(source)


@pytest.mark.parametrize("name", ["class_", "Members"])
def test_members_spelt_alike_in_cxx_are_refused(name):
    surface = generator.parse(_with("    Red: ClassVar[Thing]", f"    {name}: ClassVar[Thing]"))
    with pytest.raises(generator.DescriptionError, match=f"spelt {name} in C"):
        generator.header(surface)


def test_generator_reports_a_broken_description_and_fails(tmp_path, capsys):
    (tmp_path / "broken.py").write_text(_with("flags: int = 0", "flags: int = len"), encoding="utf-8")
    status = generator.main([str(tmp_path / "broken.py"), "--header", str(tmp_path / "h.hpp"),
                             "--stub", str(tmp_path / "s.pyi")])
    assert status == 1 and "must be a literal" in capsys.readouterr().err
    assert not (tmp_path / "h.hpp").exists()


@pytest.mark.parametrize("text", [
    "One line.",
    "  First.\n\n      Indented four.\n    Base.\n  ",
    "\n    Starts on the second line.\n\n        Nested.\n    ",
    "Trailing blanks.\n    \n    \n",
    "Unicode \u2014 text.\n    \u2192 arrows",
])
def test_docstrings_are_dedented_as_inspect_does(text):
    assert generator.cleandoc(text) == inspect.cleandoc(text)
