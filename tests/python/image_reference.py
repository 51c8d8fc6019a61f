"""The OpenCV and numpy reference of each step the module does natively
(prepare, top_k, nms): the block of docs/guide.md that shows them, loaded
from there, so the guide's reference is what the tests compare against.
Test-only: OpenCV is never needed at run time."""
from fixtures.paths import REPO

_MARKER = "<!-- not run: needs OpenCV; tests/python/image_reference.py loads it from here -->\n```python\n"


def _load() -> dict:
    guide = (REPO / "docs" / "guide.md").read_text(encoding="utf-8")
    start = guide.index(_MARKER) + len(_MARKER)
    namespace: dict = {}
    exec(compile(guide[start:guide.index("\n```", start)], "docs/guide.md (the OpenCV reference)", "exec"),
         namespace)
    return namespace


_reference = _load()
prepare = _reference["prepare"]
top_k = _reference["top_k"]
nms = _reference["nms"]
