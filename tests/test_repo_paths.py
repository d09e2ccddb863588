"""The checkout against what its documents and headers name: a script that moved or went away
must not live on in the prose or comments that send people to it, and the headers shared
across the sources must not reach into the sources' own directory.

Outside a checkout (cibuildwheel copies tests/ alone; an installed package has no sources)
there is nothing to hold them to, and the tests skip.
"""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
IN_CHECKOUT = (ROOT / ".git").exists() and (ROOT / "CMakeLists.txt").is_file()
pytestmark = [
    pytest.mark.checkout,
    pytest.mark.skipif(not IN_CHECKOUT, reason=f"{ROOT} is no source checkout"),
]

# Where people and programs are sent to a script: the prose, and the files that configure or
# drive the runs.
DOCUMENTS = ["CONTRIBUTING.md", "README.md", "docs/performance.md", "CMakeLists.txt",
             "pyproject.toml", "matrix.toml", "noxfile.py", ".ci/run"]
# A path under scripts/ or .ci/, not the tail of a longer one ($REPO_ROOT/scripts/... is a
# script's own business). A comment wrapped just after one of its slashes goes on with the path
# past the next line's comment leader.
WRAP = r"(?:\n[ \t]*(?:\#+|//)?[ \t]*(?=\w))?"
NAMED = re.compile(rf"(?<![\w./-])(?:scripts|\.ci)/{WRAP}(?:[\w.-]+/{WRAP})*[\w.-]*")
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*[<"]([^>"]+)[>"]', re.M)


def named_paths(text):
    """Each path the text names, with the line it starts on."""
    for m in NAMED.finditer(text):
        path = re.sub(r"\s|#|//", "", m[0])
        # A sentence may end right after a path.
        yield path.rstrip("."), text.count("\n", 0, m.start()) + 1


def missing(path):
    found = ROOT / path
    return not (found.is_dir() if path.endswith("/") else found.is_file())


@pytest.mark.parametrize("document", DOCUMENTS)
def test_every_script_a_document_names_exists(document):
    text = (ROOT / document).read_text(encoding="utf-8")
    gone = [f"{document}:{line}: {path}" for path, line in named_paths(text) if missing(path)]
    assert gone == []


def test_shared_headers_include_nothing_from_the_sources():
    # The builds put material/hook_form/ on the include path too, so such an include compiles
    # and goes unnoticed; include/ then no longer holds everything the shared declarations
    # need, and whoever reads or builds against it alone finds a file missing.
    material = ROOT / "material"
    source_dirs = [material, *(d for d in material.rglob("*") if d.is_dir())]
    headers = sorted((ROOT / "include").glob("*.h"))
    assert headers
    wrong = []
    for header in headers:
        for name in INCLUDE.findall(header.read_text(encoding="utf-8")):
            beside = header.parent / name
            if beside.is_file():
                reached = beside.resolve().is_relative_to(material.resolve())
            else:
                reached = any((d / name).is_file() for d in source_dirs)
            if reached:
                wrong.append(f"{header.relative_to(ROOT)}: {name}")
    assert wrong == []
