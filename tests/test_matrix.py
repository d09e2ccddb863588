"""matrix.toml is the one list of interpreters and bindings; the package metadata keeps the
copies an index needs, and the shell scripts read the file through scripts/lib/matrix.sh.
Adding an interpreter to the matrix fails here until the metadata follows."""

import re
import shutil
import subprocess
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
if not (ROOT / "matrix.toml").is_file():
    pytest.skip("tests/ runs outside a checkout", allow_module_level=True)
pytestmark = pytest.mark.checkout

MATRIX = tomllib.loads((ROOT / "matrix.toml").read_text())
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
PYTHONS = MATRIX["python"]["versions"]


def minor(version):
    return int(version.split(".")[1])


def cibuildwheel_minors(selector):
    """The interpreters a build selector names, such as cp31{3,4,5}-win_amd64."""
    head = selector.split("-", 1)[0].removeprefix("cp3")
    expanded = [""]
    for part in re.findall(r"\{[^}]*\}|[^{]+", head):
        options = part[1:-1].split(",") if part.startswith("{") else [part]
        expanded = [e + o for e in expanded for o in options]
    return {int(e) for e in expanded}


def test_metadata_holds_the_matrix_interpreters():
    project = PYPROJECT["project"]
    first, last = minor(PYTHONS[0]), minor(PYTHONS[-1])
    assert [minor(v) for v in PYTHONS] == list(range(first, last + 1))
    assert project["requires-python"] == f">=3.{first},<3.{last + 1}"
    classified = {c.rsplit(" ", 1)[1] for c in project["classifiers"]
                  if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)}
    assert classified == set(PYTHONS)
    for selector in PYPROJECT["tool"]["cibuildwheel"]["build"]:
        assert cibuildwheel_minors(selector) == {minor(v) for v in PYTHONS}, selector


def test_metadata_holds_the_matrix_bindings():
    extras = PYPROJECT["project"]["optional-dependencies"]
    names = MATRIX["bindings"]["names"]
    assert set(MATRIX["binding_modules"]) == set(names)
    assert {b: extras[b] for b in names} == {
        b: [r] for b, r in MATRIX["binding_requirements"].items()}
    for platform in ("linux_aarch64", "windows"):
        assert set(MATRIX[platform]["pythons"]) <= set(PYTHONS)
        assert set(MATRIX[platform]["bindings"]) <= set(names)


ENTRIES = [(section, key) for section, table in MATRIX.items() for key in table]


@pytest.mark.skipif(shutil.which("bash") is None, reason="no bash to read the matrix with")
@pytest.mark.parametrize(("section", "key"), ENTRIES, ids=[f"{s}.{k}" for s, k in ENTRIES])
def test_shell_reader_agrees_with_tomllib(section, key):
    read = subprocess.run(
        ["bash", "-c", 'source scripts/lib/matrix.sh && matrix_get "$1" "$2"', "-", section, key],
        cwd=ROOT, capture_output=True, text=True, check=True, timeout=30).stdout.splitlines()
    want = MATRIX[section][key]
    assert read == (want if isinstance(want, list) else [want])
