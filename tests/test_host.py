"""Checks of the pure-Python host framework that the compiled field composes."""

import os
import subprocess
import sys

try:
    import zarvel  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), "host"))

import pytest
from qtpy.QtCore import Qt

from zarvel.hooks import State, useState
from zarvel.material import styles
from zarvel.material.auto_complete.complete import Autocomplete
from zarvel.material.controller import Controller
from zarvel.material.textfield.textfield import TextField

TEXTS = ["Red", "Green", "Blue"]
DICTS = [{"label": "Red", "value": "r"}, {"label": "Green", "value": "g"},
         {"label": "Blue", "value": "b"}]


@pytest.fixture
def theme():
    previous = styles.setTheme(styles.Theme())
    yield styles.useTheme()
    styles.setTheme(previous)


@pytest.fixture
def make(qtbot):
    """Build a shown Autocomplete whose onChange calls and emissions land in one log."""
    def build(options=TEXTS, multiple=False, with_callback=True):
        log, inputs = [], []

        def render(params, *rest):
            assert rest == ()
            inputs.append(dict(params))
            return TextField(label="Colour", **params)

        on_change = (lambda v: log.append(("onChange", v))) if with_callback else None
        ac = Autocomplete(key="k", name="colour", selected=False, onChange=on_change,
                          renderInput=render, options=options, multiple=multiple)
        ac.valueChanged.connect(lambda v: log.append(("valueChanged", v)))
        qtbot.addWidget(ac)
        ac.show()
        return ac, log, inputs
    return build


def test_init_modules_import_no_qt():
    code = ("import sys, zarvel, zarvel.hooks, zarvel.material, zarvel.material.hook_form,"
            " zarvel.material.auto_complete, zarvel.material.textfield, zarvel.material.styles;"
            " print([m for m in sys.modules"
            " if m.split('.')[0] in ('qtpy', 'PySide6', 'PyQt6', 'PyQt5')])")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout
    assert out.strip() == "[]"


class TestHooks:
    @pytest.mark.parametrize("initial", ["None", None, 0, [1]])
    def test_use_state_pair_and_setter(self, initial):
        state, setter = useState(initial)
        assert isinstance(state, State) and state.value == initial
        seen = []
        unsubscribe = state.subscribe(seen.append)
        setter(5)
        state.value = True  # direct assignment, as a form does on its selection flag
        unsubscribe()
        setter(6)
        assert seen == [5, True] and state.value == 6


class TestTheme:
    def test_paths_fragment_and_swap(self, theme):
        caption = theme.typography.caption
        assert (caption.fontSize, caption.fontWeight, theme.palette.error.main) == \
            ("12px", 400, "#d32f2f")
        assert caption.to_qss_props() == "font-size: 12px; font-weight: 400;"
        other = styles.Theme(typography=styles.Typography(caption=styles.TypeStyle(13, 500)))
        assert styles.setTheme(other) is theme and styles.useTheme() is other
        assert other.typography.caption.to_qss_props() == "font-size: 13px; font-weight: 500;"


class TestAutocomplete:
    def test_render_input_gets_one_mapping(self, make):
        ac, _, inputs = make()
        assert len(inputs) == 1 and "label" not in inputs[0] and inputs[0]["parent"] is ac
        assert isinstance(ac._inputField, TextField) and ac._inputField.parent() is ac
        assert ac._inputField.label() == "Colour" and ac.options() == TEXTS

    @pytest.mark.parametrize("options", [TEXTS, DICTS], ids=["texts", "dicts"])
    @pytest.mark.parametrize("how", ["pick", "popup", "enter"])
    def test_pick_calls_back_then_emits(self, make, qtbot, options, how):
        ac, log, _ = make(options)
        if how == "pick":
            ac.pick("Green")
        elif how == "popup":
            qtbot.keyClicks(ac._inputField.lineEdit(), "green")
            popup = ac.completer().popup()
            assert popup.isVisible()
            qtbot.keyClick(popup, Qt.Key.Key_Down)
            qtbot.keyClick(popup, Qt.Key.Key_Return)
        else:
            qtbot.keyClicks(ac._inputField.lineEdit(), "green")
            qtbot.keyClick(ac._inputField.lineEdit(), Qt.Key.Key_Return)
        assert log == [("onChange", options[1]), ("valueChanged", options[1])]
        assert log[0][1] is options[1] and ac._inputField.text() == "Green"

    def test_without_callback_only_emits_and_unknown_label_is_refused(self, make):
        ac, log, _ = make(with_callback=False)
        with pytest.raises(ValueError):
            ac.pick("Purple")
        ac.pick("Red")
        assert log == [("valueChanged", "Red")]

    @pytest.mark.parametrize("multiple, cleared", [(False, None), (True, [])])
    def test_multiple_accumulates_and_clearing_reports_empty(self, make, qtbot, multiple, cleared):
        ac, log, _ = make(DICTS, multiple=multiple)
        ac.pick("Red")
        if multiple:
            qtbot.keyClicks(ac._inputField.lineEdit(), ", blue")
            qtbot.keyClick(ac._inputField.lineEdit(), Qt.Key.Key_Return)
            assert [v for k, v in log if k == "valueChanged"] == [DICTS[:1], [DICTS[0], DICTS[2]]]
            assert ac._inputField.text() == "Red, Blue"
        del log[:]
        ac._inputField.lineEdit().selectAll()
        qtbot.keyClick(ac._inputField.lineEdit(), Qt.Key.Key_Backspace)
        assert log == [("onChange", cleared), ("valueChanged", cleared)]
        ac.pick("Green")  # a fresh start after clearing
        assert log[-1] == ("valueChanged", [DICTS[1]] if multiple else DICTS[1])

    def test_silent_write_back_does_not_re_enter(self, make):
        ac, log, _ = make(DICTS)
        # What a form field does with each reported value: unwrap and write it back.
        ac.valueChanged.connect(
            lambda v: ac._inputField._set_value(value=v["value"], valueChanged=False))
        ac.pick("Blue")
        assert len(log) == 2 and ac._inputField.text() == "Blue"


class TestTextField:
    @pytest.mark.parametrize("value, text", [
        (None, ""), (["a", 2], "a, 2"), ({"label": "L", "value": "v"}, "L"),
        ({"value": "v"}, "v"), (5, "5")])
    def test_set_value_formats_and_can_stay_silent(self, qtbot, value, text):
        field = TextField(label="F")
        qtbot.addWidget(field)
        with qtbot.assertNotEmitted(field.textChanged):
            field._set_value(value="x", valueChanged=False)
        with qtbot.waitSignal(field.textChanged, timeout=100):
            field._set_value(value, valueChanged=True)
        assert field.text() == text

    def test_slot_switches_look(self, qtbot, theme):
        theme.palette.error.main = "#cc0000"
        field = TextField(label="F")
        qtbot.addWidget(field)
        field._set_slot({"slot": "error", "message": ["Required", "Too short"]})
        assert field.slot() == "error" and "#cc0000" in field.lineEdit().styleSheet()
        assert field.lineEdit().toolTip() == "Required\nToo short"
        field._set_slot({"slot": "valid"})
        assert field.slot() == "valid" and "#cc0000" not in field.lineEdit().styleSheet()
        assert field.lineEdit().toolTip() == "" and field.message() is None
        with pytest.raises(ValueError):
            field._set_slot({"slot": "warning"})


def test_controller_wraps_render_flush(qtbot):
    inner = TextField()
    controller = Controller(name="colour", control=False, render=inner)
    qtbot.addWidget(controller)
    layout = controller.layout()
    assert (controller.name, controller.control) == ("colour", False)
    assert layout.itemAt(0).widget() is inner and layout.spacing() == 0
    margins = layout.contentsMargins()
    assert (margins.left(), margins.top(), margins.right(), margins.bottom()) == (0, 0, 0, 0)
