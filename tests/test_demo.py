"""The demo form: the scripted session from the command line, and the form's behaviour."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[1] / "examples" / "demo_form.py"
FIELDS = ("country", "city", "language")
# A frozen build of the demo (scripts/release/check_frozen.sh sets it): its session must pass
# the same checks as the script's.
FROZEN_DEMO = os.environ.get("TESSU_FROZEN_DEMO")


@pytest.fixture(scope="module")
def demo(tessu):
    spec = importlib.util.spec_from_file_location("demo_form", DEMO)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def distinct_colours(path):
    from qtpy.QtGui import QImage

    image = QImage(str(path))
    assert not image.isNull(), f"{path} is not a readable image"
    return {image.pixel(x, y) for y in range(0, image.height(), 2)
            for x in range(0, image.width(), 2)}


@pytest.fixture(params=["script"] + ([pytest.param("frozen", marks=pytest.mark.frozen)]
                                     if FROZEN_DEMO else []))
def demo_program(request):
    return [FROZEN_DEMO] if request.param == "frozen" else [sys.executable, str(DEMO)]


@pytest.mark.parametrize("args, drop_display", [
    (["--offscreen"], False),
    # No display at all: scripted and offscreen by default.
    pytest.param([], True, marks=pytest.mark.skipif(
        sys.platform == "win32", reason="Windows always has a display to try; the demo opens its"
        " window there, and falls back (exit 3) only after the attempt fails")),
], ids=["--offscreen", "no-display"])
def test_scripted_session(tmp_path, demo_program, args, drop_display):
    env = dict(os.environ)
    env.pop("QT_QPA_PLATFORM", None)
    if drop_display:
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
    else:
        env["DISPLAY"] = ":no-such-display"  # --offscreen must not try to reach it
    shots = tmp_path / "shots"
    result = subprocess.run([*demo_program, "--screenshot", str(shots), *args],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert "platform offscreen" in lines[0]

    # Every value reached the form, each change reported once.
    values = [line for line in lines if re.fullmatch(r"\w+ = .*", line)]
    assert values == ["country = FR", "language = English", "language = English, French",
                      "city = Lyon"]

    shown = lines.index('city: caption shown "Choose a city"')
    first_submit = lines.index("submit: 1 field(s) in error: city")
    fixed = lines.index("city = Lyon")
    assert first_submit < shown < fixed
    assert lines.index("city: error cleared") > fixed
    assert "city: caption hidden" in lines[fixed:]
    assert lines.index("submit: ok, sent country = FR; city = Lyon; "
                       "language = English, French") > fixed

    before, after = shots / "before.png", shots / "after.png"
    assert f"screenshots: {before} {after}" in lines
    for path in (before, after):
        assert len(distinct_colours(path)) > 2, f"{path} is blank"
    assert before.read_bytes() != after.read_bytes()


def test_help_runs_without_qt(tmp_path):
    # --help is answered before any binding is imported, so it works without Qt.
    env = dict(os.environ, QT_API="no-such-binding")
    result = subprocess.run([sys.executable, str(DEMO), "--help"], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    for option in ("--screenshot DIR", "--offscreen", "--script", "--binding", "QT_API"):
        assert option in result.stdout


@pytest.fixture
def form(demo, qtbot):
    lines = []
    form = demo.DemoForm(echo=lines.append)
    form.lines = lines
    form.states = []
    form.formState.connect(form.states.append)
    qtbot.addWidget(form)
    form.show()
    return form


def submit(form):
    from qtpy.QtCore import Qt
    from qtpy.QtTest import QTest

    del form.states[:]
    QTest.mouseClick(form.submit_button, Qt.MouseButton.LeftButton)


def look(form, name):
    """The look ("valid" or "error") that a field's text input shows."""
    from zarvel.material.textfield.textfield import TextField

    return form.field(name).findChild(TextField).slot()


def line_edit(form, name):
    from qtpy.QtWidgets import QLineEdit

    return form.field(name).findChild(QLineEdit)


FILLS = {"country": "france", "city": "Lyon", "language": "English"}


@pytest.mark.parametrize("filled", [(), ("country", "language"), ("city",), FIELDS],
                         ids=lambda f: "+".join(f) or "none")
def test_submit_flags_exactly_the_empty_fields(demo, form, filled):
    for name in filled:
        demo.type_into(form.field(name), FILLS[name])
    submit(form)

    empty = [name for name in FIELDS if name not in filled]
    assert [(s["field"], s["error"]) for s in form.states] == [(n, n in empty) for n in FIELDS]
    for name in FIELDS:
        if name in empty:
            message = demo.REQUIRED_MESSAGES[name]
            assert form.caption(name) == (True, message)
            assert look(form, name) == "error"
        else:
            assert form.caption(name)[0] is False
            assert look(form, name) == "valid"
    assert form.status.text().startswith("Please fill in" if empty else "Sent:")


def test_a_value_clears_its_error_at_once_and_only_its_own(demo, form):
    submit(form)
    demo.type_into(form.field("city"), "lyon")
    assert form.caption("city")[0] is False
    assert look(form, "city") == "valid"
    assert form.caption("country") == (True, demo.REQUIRED_MESSAGES["country"])
    assert form.errors == {"country", "language"}


def test_clearing_a_field_empties_it_again(demo, form):
    from qtpy.QtCore import Qt
    from qtpy.QtTest import QTest

    demo.type_into(form.field("country"), "Japan")
    edit = line_edit(form, "country")
    edit.selectAll()
    QTest.keyClick(edit, Qt.Key.Key_Backspace)
    assert form.values["country"] is None
    assert form.lines[-2:] == ["country = JP", "country = (empty)"]
    submit(form)
    assert form.caption("country") == (True, demo.REQUIRED_MESSAGES["country"])


@pytest.mark.parametrize("typed, expected", [
    (["france"], ["country = FR"]),
    (["france", "France"], ["country = FR"]),  # same pick twice: no change
    (["Germany", "kenya"], ["country = DE", "country = KE"]),
    (["Atlantis"], []),  # not an option: nothing is picked
])
def test_each_change_is_reported_once(demo, form, typed, expected):
    for text in typed:
        line_edit(form, "country").clear()
        demo.type_into(form.field("country"), text)
    assert form.lines == expected


def test_languages_accumulate_and_mark_the_selected_state(demo, form):
    assert form.language_touched.value is False
    demo.type_into(form.field("language"), "Swahili")
    demo.type_into(form.field("language"), ", japanese")
    assert form.values["language"] == ["Swahili", "Japanese"]
    assert form.language_touched.value is True
    assert form.lines.count("language: selected flag set to True") == 1
