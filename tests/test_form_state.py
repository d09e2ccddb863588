"""The state slot: the form's verdict shown as the input's look and the caption under it."""

import sys
import traceback
from collections import deque
from types import SimpleNamespace as NS

import pytest
from qtpy.QtCore import QObject, QPoint, Signal
from qtpy.QtGui import QColor

from conftest import SOURCE_PATH, qualified
from doubles import refuse

SHEET = ("\n                    padding-left: 8px;\n                    font-size: {};"
         "\n                    font-weight: {};\n                    color: {};\n                ")
HEAD = [("useTheme",), ("get", "field"), ("get", "error")]


def make_theme(size="12px", weight=500, colour="#cc0000"):
    return NS(typography=NS(caption=NS(fontSize=size, fontWeight=weight)),
              palette=NS(error=NS(main=colour)))


DEFAULT_SHEET = SHEET.format("12px", 500, "#cc0000")


def error_log(message, text, sheet=DEFAULT_SHEET, shows=True):
    return HEAD + [("get", "error_message"), ("set_slot", {"slot": "error", "message": message}),
                   ("get", "error_message"), ("setText", text), ("setStyleSheet", sheet),
                   ("isVisible",)] + [("show",)] * shows


def module_entries(exc):
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == SOURCE_PATH]


def assert_one_entry(exc, line=None):
    (entry,) = module_entries(exc)
    assert entry[1] == qualified("TessuAutocomplete.state")
    assert line is None or entry[2] == line


class RecState:
    """A form state whose every `get` lands in the shared log."""

    def __init__(self, log, **entries):
        self.log, self.entries = log, entries

    def get(self, key):
        self.log.append(("get", key))
        return self.entries.get(key)


class RecCaption:
    def __init__(self, log, visible=False):
        self.log, self.visible, self.text = log, visible, "old"

    def setText(self, text):
        self.log.append(("setText", text))
        self.text = text

    def setStyleSheet(self, sheet):
        self.log.append(("setStyleSheet", sheet))

    def isVisible(self):
        self.log.append(("isVisible",))
        return self.visible

    def show(self):
        self.log.append(("show",))
        self.visible = True

    def hide(self):
        self.log.append(("hide",))
        self.visible = False


@pytest.fixture
def rig(widget, host):
    """A real field whose input, caption and theme hook are swapped for recorders."""
    log, themes = [], [make_theme()]
    w = widget("country")  # built on the real theme before the recording hook goes in

    def use_theme():
        log.append(("useTheme",))
        return themes[-1]

    host(useTheme=use_theme)
    w._complete = NS(_inputField=NS(_set_slot=lambda request: log.append(("set_slot", request))))
    w.lbl_helper_text = RecCaption(log)
    return NS(w=w, log=log, themes=themes, caption=w.lbl_helper_text,
              state=lambda **entries: RecState(log, **entries))


class EqualsAll:
    def __eq__(self, other):
        return True


@pytest.mark.parametrize("name, field, ours", [
    ("country", "city", False), ("country", None, False), ("country", "Country", False),
    (None, None, True), ("country", EqualsAll(), True),
])
def test_only_states_about_this_field_are_shown(rig, name, field, ours):
    rig.w._name = name
    assert rig.w.state(rig.state(field=field, error=False)) is None
    if ours:
        assert rig.log == HEAD + [("set_slot", {"slot": "valid"}), ("hide",)]
    else:
        assert rig.log == HEAD[:2]


def test_both_parameters_bind_by_keyword(rig):
    assert type(rig.w).state(self=rig.w, state=rig.state(field="country", error=True,
                                                         error_message=["x"])) is None
    assert rig.log == error_log(["x"], "x")


@pytest.mark.parametrize("error", [True, 1, "yes", [0]])
def test_error_look_gets_a_new_request_carrying_the_message_object(rig, error):
    messages = ["Required", "Too short"]
    state = rig.state(field="country", error=error, error_message=messages)
    rig.w.state(state)
    assert rig.log == error_log(messages, "Required")
    request = rig.log[4][1]
    assert type(request) is dict and list(request) == ["slot", "message"]
    assert request["message"] is messages and request is not state.entries


class Shouting:
    def __str__(self):
        return "LOUD"


class Reversed(list):
    def __getitem__(self, index):
        return list.__getitem__(self, -1 - index)


class EmptySequence:
    def __len__(self):
        return 0

    def __getitem__(self, index):
        raise IndexError(index)


class OnlyIndexable:
    def __getitem__(self, index):
        return ("first", "second")[index]


def no_len(base, error=ValueError):
    """A `base` subclass whose len() fails, as a lazily loaded sequence's might."""

    class NoLen(base):
        def __len__(self):
            raise error("no length")

    return NoLen


@pytest.mark.parametrize("message, text", [
    (("Only",), "Only"), ("Required", "R"), ([42, "x"], "42"), ([Shouting()], "LOUD"),
    ({0: "zero", "0": "text key"}, "zero"), (Reversed(["first", "last"]), "last"),
    (OnlyIndexable(), "first"),
    # Without a length the messages are indexed all the same, and the failed len() is gone.
    (no_len(list)(["a"]), "a"), (no_len(tuple)(("a",)), "a"), (no_len(str)("ab"), "a"),
    # A form may flag an error before it has words for it: the look still changes.
    (None, ""), ([], ""), ((), ""), ("", ""), (deque(), ""), ({}, ""), (range(0), ""),
    (EmptySequence(), ""),
], ids=["tuple", "text", "int", "str-protocol", "dict", "list-subclass", "indexable",
        "list-no-len", "tuple-no-len", "str-no-len", "none", "empty-list", "empty-tuple",
        "empty-text", "empty-deque", "empty-dict", "empty-range", "empty-sequence"])
def test_caption_shows_the_first_message(rig, message, text):
    rig.w.state(rig.state(field="country", error=True, error_message=message))
    assert rig.log == error_log(message, text)
    assert rig.log[4][1]["message"] is message


@pytest.mark.parametrize("message, exc", [
    (5, TypeError), (object(), TypeError), ({"0": "x"}, KeyError),
    # Only a failure that is an error stands for "no length": an interrupt goes on.
    (no_len(list, KeyboardInterrupt)(["a"]), KeyboardInterrupt),
])
def test_unusable_message_fails_after_the_look_changed(rig, message, exc):
    with pytest.raises(exc) as info:
        rig.w.state(rig.state(field="country", error=True, error_message=message))
    assert rig.log == error_log(message, None)[:6]
    assert rig.caption.text == "old"
    assert_one_entry(info.value, line=140)


class Fmt:
    def __format__(self, how):
        return f"fmt[{how}]"


class Px(str):
    def __format__(self, how):
        return "px!"


class Weight(int):
    def __format__(self, how):
        return "w!"


@pytest.mark.parametrize("value, text", [
    (12, "12"), (1.5, "1.5"), (1e16, "1e+16"), (True, "True"), (Weight(5), "w!"),
    (Fmt(), "fmt[]"), (Px("12px"), "px!"), ("", ""), ("größe", "größe"),
    ("\U0001f600", "\U0001f600"),
])
def test_theme_values_are_formatted_without_additions(rig, value, text):
    rig.themes.append(make_theme(value, value, value))
    rig.w.state(rig.state(field="country", error=True, error_message=["x"]))
    assert rig.log[7] == ("setStyleSheet", SHEET.format(text, text, text))


def test_exact_sheet_for_a_typical_theme(rig):
    rig.w.state(rig.state(field="country", error=True, error_message=["x"]))
    assert rig.log[7] == ("setStyleSheet",
                           "\n                    padding-left: 8px;\n                    "
                           "font-size: 12px;\n                    font-weight: 500;\n"
                           "                    color: #cc0000;\n                ")


@pytest.mark.parametrize("visible, shows", [
    (False, True), (0, True), (None, True), ("", True), (True, False), (1, False), ("y", False),
])
def test_caption_is_shown_only_while_hidden(rig, visible, shows):
    rig.caption.visible = visible
    rig.w.state(rig.state(field="country", error=True, error_message=["x"]))
    assert rig.log == error_log(["x"], "x", shows=shows)


def test_repeated_error_restyles_with_the_current_theme_and_shows_once(rig):
    state = rig.state(field="country", error=True, error_message=["x"])
    rig.w.state(state)
    rig.themes.append(make_theme(colour="#00ff00"))
    rig.log.clear()
    rig.w.state(state)
    assert rig.log == error_log(["x"], "x", SHEET.format("12px", 500, "#00ff00"), shows=False)


@pytest.mark.parametrize("visible", [True, False])
@pytest.mark.parametrize("error", [False, None, 0, "", []])
def test_valid_look_always_hides_and_keeps_text_and_style(rig, error, visible):
    rig.caption.visible = visible
    rig.w.state(rig.state(field="country", error=error, error_message=["unused"]))
    assert rig.log == HEAD + [("set_slot", {"slot": "valid"}), ("hide",)]
    assert list(rig.log[3][1]) == ["slot"] and rig.caption.text == "old"


@pytest.mark.parametrize("field", ["country", "city"])
def test_missing_theme_hook_fails_before_the_state_is_read(tessu, rig, monkeypatch, field):
    monkeypatch.delitem(vars(tessu), "useTheme")
    with pytest.raises(NameError, match=r"^name 'useTheme' is not defined$") as info:
        rig.w.state(rig.state(field=field, error=True, error_message=["x"]))
    assert rig.log == []
    assert_one_entry(info.value, line=132)


def test_failing_theme_hook_propagates(rig, host):
    def use_theme():
        raise LookupError("no theme")

    host(useTheme=use_theme)
    with pytest.raises(LookupError, match="no theme") as info:
        rig.w.state(rig.state(field="country", error=True))
    assert rig.log == [] and rig.caption.text == "old"
    assert_one_entry(info.value, line=132)


@pytest.mark.parametrize("theme", [
    NS(palette=make_theme().palette),
    NS(typography=NS(caption=NS(fontSize="12px")), palette=make_theme().palette),
    NS(typography=make_theme().typography, palette=NS()),
    NS(typography=make_theme().typography, palette=NS(error=NS())),
], ids=["no-typography", "no-weight", "no-error", "no-main"])
def test_incomplete_theme_fails_after_text_before_style(rig, theme):
    rig.themes.append(theme)
    with pytest.raises(AttributeError) as info:
        rig.w.state(rig.state(field="country", error=True, error_message=["x"]))
    assert rig.log == error_log(["x"], "x")[:7]
    assert rig.caption.text == "x" and rig.caption.visible is False
    assert_one_entry(info.value, line=141)


# Each call of state's road that can fail, and the line its traceback entry must name.
@pytest.mark.parametrize("error, target, method, line", [
    (True, "input", "_set_slot", 136), (True, "caption", "setText", 140),
    (True, "caption", "setStyleSheet", 141), (True, "caption", "isVisible", 147),
    (True, "caption", "show", 148), (False, "input", "_set_slot", 150),
    (False, "caption", "hide", 151),
])
def test_failing_call_names_its_own_line(rig, error, target, method, line):
    setattr(rig.w._complete._inputField if target == "input" else rig.caption, method, refuse)
    with pytest.raises(LookupError) as info:
        rig.w.state(rig.state(field="country", error=error, error_message=["x"]))
    assert_one_entry(info.value, line=line)


@pytest.mark.parametrize("key", ["field", "error", "error_message"])
def test_failing_get_stops_at_its_step(rig, key):
    class Picky(RecState):
        def get(self, asked):
            if asked == key:
                raise KeyError(asked)
            return super().get(asked)

    with pytest.raises(KeyError) as info:
        rig.w.state(Picky(rig.log, field="country", error=True, error_message=["x"]))
    assert rig.log == {"field": HEAD[:1], "error": HEAD[:2], "error_message": HEAD}[key]
    assert_one_entry(info.value, line={"field": 133, "error": 135, "error_message": 136}[key])


@pytest.mark.parametrize("call, message", [
    (lambda w, s: w.state(), "state() takes exactly 2 positional arguments (1 given)"),
    (lambda w, s: type(w).state(), "state() takes exactly 2 positional arguments (0 given)"),
    (lambda w, s: type(w).state(self=w), "state() takes exactly 2 positional arguments (1 given)"),
    (lambda w, s: w.state(s, s), "state() takes exactly 2 positional arguments (3 given)"),
    (lambda w, s: w.state(s, extra=1), "state() got an unexpected keyword argument 'extra'"),
    (lambda w, s: w.state(s, state=s), "state() got multiple values for keyword argument 'state'"),
    (lambda w, s: type(w).state(w, self=w, state=s),
     "state() got multiple values for keyword argument 'self'"),
])
def test_argument_errors(rig, call, message):
    with pytest.raises(TypeError) as info:
        call(rig.w, rig.state(field="country", error=True))
    assert str(info.value) == message
    assert rig.log == []
    assert_one_entry(info.value, line=131)


class Unindexable:
    pass


@pytest.mark.parametrize("entries, theme, exc", [
    (dict(field="country", error=True), None, None),
    (dict(field="country", error=False), None, None),
    (dict(field="city", error=True), None, None),
    (dict(field="country", error=True, message=Unindexable()), None, TypeError),
    (dict(field="country", error=True), NS(), AttributeError),
], ids=["error", "valid", "other-field", "bad-message", "bad-theme"])
def test_references_are_released(rig, entries, theme, exc):
    message = entries.pop("message", ["Required"])
    state = rig.state(error_message=message, **entries)
    if theme is not None:
        rig.themes.append(theme)
    before = sys.getrefcount(state), sys.getrefcount(message)
    for _ in range(3):
        try:
            rig.w.state(state)
        except Exception as e:  # noqa: BLE001 - only the counts matter here
            assert type(e) is exc
        else:
            assert exc is None
    rig.log.clear()  # the recorded requests hold the message too
    assert (sys.getrefcount(state), sys.getrefcount(message)) == before


# With the real host: the stand-in TextField and a QLabel caption on screen.

class Form(QObject):
    changed = Signal(object)


@pytest.fixture
def red_theme():
    from zarvel.material import styles

    theme = styles.Theme(typography=styles.Typography(caption=styles.TypeStyle("20px", 900)),
                         palette=styles.Palette(error=styles.PaletteColor("#ff0000")))
    previous = styles.setTheme(theme)
    yield theme
    styles.setTheme(previous)


@pytest.fixture
def shown(widget, qtbot, red_theme):
    w, form = widget("country"), Form()
    w.stateSignal = form.changed
    w.show()
    qtbot.waitExposed(w)
    return w, form


def test_signal_switches_between_error_and_valid_looks(shown):
    w, form = shown
    field, caption = w._complete._inputField, w.lbl_helper_text
    form.changed.emit({"field": "city", "error": True, "error_message": ["Not ours"]})
    assert field.slot() == "valid" and caption.text() == ""
    messages = ["Required", "Too short"]
    form.changed.emit({"field": "country", "error": True, "error_message": messages})
    assert field.slot() == "error" and field.message() == messages
    assert caption.text() == "Required" and caption.isVisible()
    sheet = caption.styleSheet()
    assert sheet == SHEET.format("20px", 900, "#ff0000")
    form.changed.emit({"field": "country", "error": False})
    assert field.slot() == "valid" and field.message() is None
    assert not caption.isVisible()
    assert caption.text() == "Required" and caption.styleSheet() == sheet


def red_pixels(w, rect=None):
    image = w.grab().toImage()
    ratio = image.devicePixelRatio()
    if rect is None:
        rect = w.rect()
    left, top = int(rect.left() * ratio), int(rect.top() * ratio)
    right, bottom = int((rect.right() + 1) * ratio), int((rect.bottom() + 1) * ratio)
    count = 0
    for x in range(left, min(right, image.width())):
        for y in range(top, min(bottom, image.height())):
            c = QColor(image.pixel(x, y))
            count += c.red() > 200 and c.green() < 60 and c.blue() < 60
    return count


def test_error_caption_is_painted_in_the_theme_error_colour(shown, qtbot):
    w, form = shown
    caption = w.lbl_helper_text
    form.changed.emit({"field": "country", "error": True, "error_message": ["WWWW required"]})
    qtbot.waitUntil(caption.isVisible)
    region = caption.rect().translated(caption.mapTo(w, QPoint(0, 0)))
    assert region.height() > 0 and red_pixels(w, region) > 50
    form.changed.emit({"field": "country", "error": False})
    assert not caption.isVisible() and red_pixels(w) == 0
