"""The released wheels as users install them: the field goes into a host framework without
touching a file of it, and a missing binding or host is named by the import error.

These tests install the artefacts of scripts/release/dist.sh into venvs of their own, so they run
only when TESSU_DIST names that directory (scripts/release/check_dist.sh sets it). TESSU_WHEELHOUSE,
when set, is a directory holding wheels of PySide6 and qtpy; the venvs then install without
the index. TESSU_PACKAGING_REPORT, when set, is a file that receives the import errors
exactly as a user sees them.

Two checks read the artefacts without installing them. Every wheel of TESSU_DIST, whatever its
interpreter and machine, must list each of its files in RECORD with the right hash and size.
And when TESSU_FROM_SDIST names a directory of trees that `pip install --target` made from the
field's sdist, one per interpreter (from-sdist-cp313/, ...), each must hold exactly the files
of that interpreter's released wheel: scripts/release/dist.sh makes the trees, which takes a
compiler, and runs that test itself.
"""

import base64
import csv
import hashlib
import io
import json
import os
import platform
import re
import subprocess
import sys
import textwrap
import zipfile
from collections import Counter
from pathlib import Path

import pytest

from conftest import MODULE_NAME, SOURCE_PATH

DIST = os.environ.get("TESSU_DIST")
# dist/ holds a field wheel per interpreter and machine; this one's is the one to install.
FIELD_WHEEL = "zarvel_tessu_autocomplete-*-cp{0}{1}-cp{0}{1}-manylinux*_{2}.whl".format(
    *sys.version_info[:2], platform.machine())
WHEELHOUSE = os.environ.get("TESSU_WHEELHOUSE")
pytestmark = [
    pytest.mark.skipif(not DIST, reason="TESSU_DIST does not name a dist/ directory"),
    pytest.mark.packaging,
    # Several pip runs a test, each allowed the 600 s of run() below.
    pytest.mark.timeout(1800),
]

BINDING = "PySide6-Essentials>=6.5"
QTPY = "qtpy>=2.4"
MARKER = b"# fake host framework: these bytes are not the stand-in's\n"
FAKE = "fake_zarvel_framework-2.0"
IMPORT = f"import {MODULE_NAME}"


def artefact(pattern):
    (path,) = Path(DIST).glob(pattern)
    return path


def run(*cmd, **kwargs):
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=600,
                          **kwargs)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def user_env():
    """A user's shell: no binding chosen, nothing from the work tree, no display."""
    dropped = ("PYTHONPATH", "QT_API", "PYTEST_QT_API")
    env = {k: v for k, v in os.environ.items() if k not in dropped}
    env["QT_QPA_PLATFORM"] = "offscreen"
    return env


def make_venv(path):
    # pip comes from the running interpreter (`pip --python`): a venv of its own per test
    # costs a second instead of a pip install.
    run(sys.executable, "-m", "venv", "--without-pip", path)
    py = path / "bin" / "python"
    site = Path(run(py, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))").strip())
    return py, site


def pip(py, command, *args):
    run(sys.executable, "-m", "pip", "--python", py, "--disable-pip-version-check", "-q",
        command, *args, env=user_env())


def pip_install(py, *reqs):
    links = [f"--find-links={DIST}"]
    if WHEELHOUSE:
        links += ["--no-index", f"--find-links={WHEELHOUSE}"]
    pip(py, "install", "--only-binary", ":all:", *links, *reqs)


def fake_host_wheel(tmp_path):
    """A framework that owns `zarvel` as its own distribution: every module of the stand-in,
    each marked so that a file overwritten by the stand-in or the field would show."""
    files = {}
    with zipfile.ZipFile(artefact("zarvel_host_standin-*.whl")) as z:
        for name in z.namelist():
            if name.startswith("zarvel/") and not name.endswith("/"):
                data = z.read(name)
                files[name] = MARKER + data if name.endswith(".py") else data
    sources = dict(files)
    files[f"{FAKE}.dist-info/METADATA"] = (
        b"Metadata-Version: 2.1\nName: fake-zarvel-framework\nVersion: 2.0\n")
    files[f"{FAKE}.dist-info/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: test_packaging\n"
                                        b"Root-Is-Purelib: true\nTag: py3-none-any\n")

    def digest(data):
        return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()

    record = "".join(f"{name},sha256={digest(data)},{len(data)}\n" for name, data in files.items())
    files[f"{FAKE}.dist-info/RECORD"] = (record + f"{FAKE}.dist-info/RECORD,,\n").encode()
    path = tmp_path / f"{FAKE}-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as z:
        for name, data in files.items():
            z.writestr(name, data)
    return path, sources


def installed_files(site, dist_info):
    """Every file a distribution's RECORD lists (pip adds its .pyc files and INSTALLER)."""
    record = (site / dist_info / "RECORD").read_text()
    return {line.split(",")[0] for line in record.splitlines() if line}


def contents(site, names):
    return {name: (site / name).read_bytes() for name in names}


def changed(site, before):
    """The files of `before` that are gone or hold other bytes now."""
    return sorted(n for n, data in before.items()
                  if not (site / n).is_file() or (site / n).read_bytes() != data)


def tree(site):
    return {p.relative_to(site).as_posix() for p in (site / "zarvel").rglob("*") if p.is_file()}


BUILD_ON_HOST = textwrap.dedent(f"""
    import json
    from qtpy.QtWidgets import QApplication
    app = QApplication([])
    import zarvel.material.styles
    import {MODULE_NAME} as field
    picked = []
    w = field.TessuAutocomplete("country", label="Country", options=["France", "Japan"],
                                onChange=picked.append)
    w.set_value("Japan")
    w.state({{"field": "country", "error": True, "error_message": ["Required"]}})
    print(json.dumps({{"field": field.__file__, "styles": zarvel.material.styles.__file__,
                      "picked": picked, "caption": w.lbl_helper_text.text()}}))
""")


def test_field_installs_into_a_host_framework_and_leaves_it_alone(tmp_path):
    fake, sources = fake_host_wheel(tmp_path)
    field_wheel = artefact(FIELD_WHEEL)
    py, site = make_venv(tmp_path / "venv")
    pip_install(py, BINDING, QTPY)

    pip_install(py, "--no-deps", fake)
    host_files = installed_files(site, f"{FAKE}.dist-info")
    host = contents(site, host_files)
    assert {name: host[name] for name in sources} == sources
    host_tree = tree(site)

    pip_install(py, field_wheel)
    assert changed(site, host) == []
    field_info = next(site.glob("zarvel_tessu_autocomplete-*.dist-info")).name
    field_files = {f for f in installed_files(site, field_info) if not f.startswith(field_info)}
    (so_name,) = [f for f in field_files if f.endswith(".so")]
    # Beside zarvel/, only the field's own package for freezers.
    freeze = {f for f in field_files if f.startswith("tessu_autocomplete_freeze/")}
    assert freeze
    assert field_files - freeze == {so_name, "zarvel/material/hook_form/tessu_autocomplete.pyi"}
    abi = "%d%d" % sys.version_info[:2]
    assert so_name.startswith(f"zarvel/material/hook_form/tessu_autocomplete.cpython-{abi}-")
    assert tree(site) == host_tree | (field_files - freeze)

    built = json.loads(run(py, "-c", BUILD_ON_HOST, cwd=tmp_path,
                           env=dict(user_env(), QT_API="pyside6")).splitlines()[-1])
    assert built["field"] == str(site / so_name)
    assert Path(built["styles"]).read_bytes().startswith(MARKER)
    assert built["picked"] == ["Japan"] and built["caption"] == "Required"
    assert changed(site, host) == []

    pip(py, "uninstall", "-y", "zarvel-tessu-autocomplete")
    assert changed(site, host) == []
    assert tree(site) == host_tree


def record_for_user(title, stderr):
    if os.environ.get("TESSU_PACKAGING_REPORT"):
        with open(os.environ["TESSU_PACKAGING_REPORT"], "a") as report:
            report.write(f"--- {title}\n$ python -c '{IMPORT}'\n{stderr}\n")


@pytest.mark.parametrize("missing, installs, last_line, line", [
    ("Qt binding", [QTPY, "zarvel_host_standin-*.whl"],
     "qtpy.QtBindingsNotFoundError: No Qt bindings could be found", 2),
    ("host framework", [BINDING, QTPY],
     "ModuleNotFoundError: No module named 'zarvel.material.styles'", 5),
])
def test_missing_piece_is_named_by_the_import_error(tmp_path, missing, installs, last_line, line):
    py, _ = make_venv(tmp_path / "venv")
    pip_install(py, artefact(FIELD_WHEEL),
                *(str(artefact(r)) if r.endswith(".whl") else r for r in installs))
    proc = subprocess.run([py, "-c", IMPORT], cwd=tmp_path, env=user_env(),
                          capture_output=True, text=True, timeout=120)
    record_for_user(f"without a {missing}", proc.stderr)
    assert proc.returncode == 1
    assert proc.stderr.rstrip().splitlines()[-1] == last_line
    entries = re.findall(r'^  File "([^"]+)", line (\d+), in (.+)$', proc.stderr, re.M)
    assert [e for e in entries if e[0] == SOURCE_PATH] == [(SOURCE_PATH, str(line),
                                                            f"init {MODULE_NAME}")]


# sha256 or stronger, as the wheel format asks of RECORD.
RECORD_HASHES = {"sha256", "sha384", "sha512", "sha3_256", "sha3_384", "sha3_512", "blake2b",
                 "blake2s"}


def record_faults(wheel):
    """What the RECORD of `wheel` gets wrong, one line a file; nothing when it is right."""
    faults = []
    with zipfile.ZipFile(wheel) as z:
        # Entries for directories are no files, and RECORD leaves them out.
        names = Counter(n for n in z.namelist() if not n.endswith("/"))
        faults += [f"{n}: {k} entries of that name in the wheel" for n, k in names.items() if k > 1]
        records = [n for n in names if n.endswith(".dist-info/RECORD")]
        if len(records) != 1:
            return faults + [f"expected one .dist-info/RECORD, found {records or 'none'}"]
        (record,) = records
        listed = Counter()
        text = z.read(record).decode("utf-8")
        for number, row in enumerate(csv.reader(io.StringIO(text, newline="")), 1):
            if not row:
                continue
            if len(row) != 3:
                faults.append(f"RECORD line {number} is not PATH,HASH,SIZE: {row}")
                continue
            path, digest, size = row
            listed[path] += 1
            # RECORD cannot hold its own hash.
            if path == record:
                continue
            if path not in names:
                faults.append(f"{path}: in RECORD, but not in the wheel")
                continue
            algo, _, value = digest.partition("=")
            if algo not in RECORD_HASHES:
                faults.append(f"{path}: RECORD gives it no sha256 or stronger hash: {digest!r}")
                continue
            data = z.read(path)
            actual = base64.urlsafe_b64encode(hashlib.new(algo, data).digest()).rstrip(b"=")
            if value != actual.decode() or not size.isdigit() or int(size) != len(data):
                faults.append(f"{path}: RECORD says {digest}, {size} bytes; the wheel holds "
                              f"{algo}={actual.decode()}, {len(data)} bytes")
    faults += [f"{n}: in RECORD {k} times" for n, k in listed.items() if k > 1]
    faults += [f"{n}: in the wheel, but not in RECORD" for n in sorted(names.keys() - listed)]
    return faults


@pytest.mark.parametrize("wheel", sorted(Path(DIST).glob("*.whl")) if DIST else [],
                         ids=lambda wheel: wheel.name)
def test_record_lists_every_file_with_its_hash_and_size(wheel):
    # pip trusts RECORD for what to uninstall: a file left out would stay behind, and one with
    # a wrong hash is a file that changed after the wheel was built.
    faults = record_faults(wheel)
    assert not faults, f"RECORD of {wheel.name} is wrong:\n  " + "\n  ".join(faults)


FROM_SDIST = os.environ.get("TESSU_FROM_SDIST")
# The field's files in the framework's package, and its own package for freezers.
FIELD_PACKAGES = ("zarvel/", "tessu_autocomplete_freeze/")


def sha256_of(data):
    return hashlib.sha256(data).hexdigest()


def wheel_files(wheel):
    with zipfile.ZipFile(wheel) as z:
        # auditwheel adds entries for the directories; they are no files.
        return {n: sha256_of(z.read(n)) for n in z.namelist()
                if n.startswith(FIELD_PACKAGES) and not n.endswith("/")}


def tree_files(tree):
    return {p.relative_to(tree).as_posix(): sha256_of(p.read_bytes())
            for package in FIELD_PACKAGES for p in (tree / package).rglob("*") if p.is_file()}


# Only collected where the trees are: they take a compiler to make, which check_dist.sh's runs
# never reach, and those count a skip as a failure. dist.sh, which makes them, runs this test
# and fails when it did not pass.
if FROM_SDIST:
    @pytest.mark.parametrize("tree", sorted(Path(FROM_SDIST).glob("from-sdist-cp*")) or [None],
                             ids=lambda tree: tree.name if tree else "no-tree")
    def test_pip_install_of_the_sdist_gives_the_wheels_files(tree):
        assert tree, f"TESSU_FROM_SDIST={FROM_SDIST} holds no from-sdist-cpXY tree to compare"
        abi = tree.name.removeprefix("from-sdist-")
        # The tree was built on this machine.
        pattern = f"zarvel_tessu_autocomplete-*-{abi}-{abi}-manylinux*_{platform.machine()}.whl"
        wheels = sorted(Path(DIST).glob(pattern))
        assert len(wheels) == 1, f"expected one {pattern} in {DIST}, found {wheels}"
        (wheel,) = wheels
        shipped, built = wheel_files(wheel), tree_files(tree)
        assert shipped, f"{wheel.name} holds no file under {' or '.join(FIELD_PACKAGES)}"
        rows = [f"  {name}: wheel {shipped.get(name, '-')[:12]}, from sdist "
                f"{built.get(name, '-')[:12]}" for name in sorted(set(built) | set(shipped))]
        assert built == shipped, (
            f"pip install of the sdist ({tree}) does not give the released wheel's files "
            f"({wheel.name}):\n" + "\n".join(rows))
        for name, digest in sorted(shipped.items()):
            print(f"same from sdist as {wheel.name}: {name} sha256 {digest[:16]}")
