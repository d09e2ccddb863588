"""The shipped stub describes the compiled class, and introspection shows its parameters."""

import inspect
import os
import pydoc
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import as_help_shows, flat_doc

MODULE = "zarvel.material.hook_form.tessu_autocomplete"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")

INIT_PARAMS = (
    "name, key: 'Optional[str]' = None, label: 'Optional[str]' = None, "
    "selected: 'bool' = False, onChange: 'Optional[Callable]' = None, "
    "helperText: 'str' = None, **kwargs"
)


@pytest.fixture(scope="module")
def mypy_config(tmp_path_factory, tessu):
    """A mypy config that resolves qtpy to the binding this run imported.

    Without it mypy follows whichever qtpy branch it meets first, and the stub
    would be checked against another binding's classes than the runtime's.
    """
    import qtpy

    flags = {name: bool(getattr(qtpy, name)) for name in ("PYQT5", "PYQT6", "PYSIDE2", "PYSIDE6")}
    true = ", ".join(n for n, on in flags.items() if on)
    false = ", ".join(n for n, on in flags.items() if not on)
    path = tmp_path_factory.mktemp("mypy") / "mypy.ini"
    path.write_text(f"[mypy]\nalways_true = {true}\nalways_false = {false}\n")
    return path


def _run(args, cwd):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)  # the installed stub, not a work-tree copy, is under test
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=600)


def test_stub_and_marker_ship_beside_the_module(tessu):
    here = Path(tessu.__file__).parent
    assert (here / "tessu_autocomplete.pyi").is_file()
    assert (here.parents[1] / "py.typed").is_file()


def test_stub_matches_runtime(mypy_config, tmp_path):
    pytest.importorskip("mypy.stubtest")
    result = _run(["-m", "mypy.stubtest", "--mypy-config-file", str(mypy_config),
                   "--allowlist", str(ALLOWLIST), MODULE], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


CLIENT = textwrap.dedent('''\
    from typing import Any
    from qtpy.QtCore import QObject, Signal
    from zarvel.hooks.use_state import useState
    from zarvel.material.hook_form.tessu_autocomplete import TessuAutocomplete

    class Form(QObject):
        # PyQt6 6.12.1's own stub wrongly demands pyqtSignal's `arguments` keyword.
        formState = Signal(object)  # type: ignore[call-arg]

    def on_change(value: Any) -> None: ...

    form = Form()
    touched, _ = useState(False)
    field = TessuAutocomplete("country", key="k", label="Country", selected=touched,
                              onChange=on_change, options=["France"], multiple=True)
    field.stateSignal = form.formState
    field.valueChanged.connect(on_change)
    field.set_value({"value": "FR"})
    field.set_value()
    field.state({"field": "country", "error": True, "error_message": ["Required"]})
    field.lbl_helper_text.setText("")
    TessuAutocomplete("country", key=1)  # E: arg-type
    TessuAutocomplete("country", helperText=b"x")  # E: arg-type
    TessuAutocomplete()  # E: call-arg
    field.state(3)  # E: arg-type
    field.stateSignal = None  # E: assignment
    field.set_value(1, 2)  # E: call-arg
''')


def test_stub_accepts_form_code_and_rejects_misuse(mypy_config, tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "client.py").write_text(CLIENT)
    result = _run(["-m", "mypy", "--config-file", str(mypy_config), "--no-incremental",
                   "--hide-error-context", "--show-error-codes", "client.py"], cwd=tmp_path)
    expected = {(n, m.group(1)) for n, line in enumerate(CLIENT.splitlines(), 1)
                if (m := re.search(r"# E: (\S+)", line))}
    reported = {(int(m.group(1)), m.group(2))
                for m in re.finditer(r"^client\.py:(\d+): error: .*\[([\w-]+)\]$",
                                     result.stdout, re.M)}
    assert reported == expected, result.stdout + result.stderr


@pytest.mark.parametrize("attribute, expected", [
    (None, f"({INIT_PARAMS})"),
    ("__init__", f"(self, {INIT_PARAMS})"),
    ("set_value", "(self, value=None)"),
    ("state", "(self, state)"),
])
def test_signature_shows_real_parameters(tessu, attribute, expected):
    target = tessu.TessuAutocomplete
    if attribute:
        target = getattr(target, attribute)
    assert str(inspect.signature(target)) == expected


def test_help_shows_constructor_and_methods(tessu):
    flat = flat_doc(pydoc.render_doc(tessu.TessuAutocomplete, renderer=pydoc.plaintext))
    shown = as_help_shows(INIT_PARAMS)
    for line in (f"TessuAutocomplete({shown})", f"__init__(self, {shown})",
                 "set_value(self, value=None)", "state(self, state)"):
        assert line in flat
