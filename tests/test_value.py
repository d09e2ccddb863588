"""set_value's road of one value, and the stateSignal property."""

import builtins
import gc
import sys
from types import SimpleNamespace

import pytest
from qtpy.QtCore import QObject, Qt, Signal

from conftest import SOURCE_PATH, qualified
from doubles import Host, refuse, traceback_entries
from zarvel.hooks.use_state import State

SET_VALUE = qualified("TessuAutocomplete.set_value")
STATE_SIGNAL = qualified("TessuAutocomplete.stateSignal")
TRACED = "Resolution_keyyyyyyyyyyyyy"
OMITTED = object()


@pytest.fixture
def field(tessu, host, qapp):
    """A widget on recording doubles whose callback and emissions land in the same trace."""

    def build(*, on_change=True, fake=None, cls=None, **kwargs):
        fake = fake or Host()
        host(**fake.names())
        if on_change is True:
            on_change = lambda v: fake.trace.record("onChange", (v,))  # noqa: E731
        w = (cls or tessu.TessuAutocomplete)("country", onChange=on_change, **kwargs)
        w.valueChanged.connect(lambda v: fake.trace.record("emitted", (v,)))
        fake.trace.clear()
        return w, fake

    return build


def road(passed, stored):
    """The trace one set_value leaves: callback, emission, write-back, state record."""
    return [("onChange", (passed,), ()), ("emitted", (passed,), ()),
            ("_set_value", (), (("value", stored), ("valueChanged", False))),
            ("setState", (stored,), ())]


def values_in(trace):
    return [v for _, args, kwargs in trace for v in args + tuple(v for _, v in kwargs)]


OWN = ("own",)


class OwnGet(dict):
    def get(self, key, default=None):
        return OWN if key == "value" else None


class LikeEmpty:
    def __eq__(self, other):
        return other == []

    __hash__ = None


FIVE = {"label": "five", "value": 5, "extra": 1}
PAIR, EMPTY_LIST, LIKE_EMPTY = [1, 2], [], LikeEmpty()


@pytest.mark.parametrize("value, passed, stored", [
    (OMITTED, None, None), (None, None, None), (FIVE, 5, 5), ({"label": "x"}, None, None),
    (EMPTY_LIST, EMPTY_LIST, None), ({"value": EMPTY_LIST}, EMPTY_LIST, None),
    (PAIR, PAIR, PAIR), ((), (), ()), ("", "", ""), (OwnGet(value=1), OWN, OWN),
    (LIKE_EMPTY, LIKE_EMPTY, None), ({}, None, None),
], ids=["omitted", "None", "dict", "dict-no-value", "empty-list", "dict-empty-list", "list",
        "empty-tuple", "empty-str", "dict-own-get", "equals-empty-list", "empty-dict"])
def test_value_reaches_all_five_destinations(field, value, passed, stored):
    w, fake = field()
    # Immortal objects (None, small ints, the empty tuple and text) have no count to check.
    counted = [o for o in (value, passed) if sys.getrefcount(o) < 1 << 30]
    gc.collect()
    before = [sys.getrefcount(o) for o in counted]
    assert (w.set_value() if value is OMITTED else w.set_value(value)) is None
    assert fake.trace == road(passed, stored)
    seen = values_in(fake.trace)  # callback, emission, write-back, False, record
    assert [v is x for v, x in zip(seen, (passed, passed, stored, False, stored))] == [True] * 5
    assert w._value is stored
    w._value = seen = None
    fake.forget()
    gc.collect()
    assert [sys.getrefcount(o) for o in counted] == before


class SubState(State):
    pass


@pytest.mark.parametrize("selected, state_name, marked", [
    (State(False), None, True), (SubState("x"), None, True), (None, None, False),
    (False, None, False), (SimpleNamespace(value="kept"), None, False),
    (SimpleNamespace(value="x"), SimpleNamespace, True),  # the name is resolved at each call
])
def test_state_selection_is_marked_on_every_call(field, host, selected, state_name, marked):
    w, fake = field(selected=selected)
    if state_name is not None:
        host(State=state_name)
    original = getattr(selected, "value", None)
    for value in (None, 5):
        if marked:
            selected.value = "reset"
        w.set_value(value)
        assert getattr(selected, "value", None) == (True if marked else original)
    assert w._selected is selected


@pytest.fixture
def without_state(tessu):
    # Put the name back where it was: the namespace's order is itself checked elsewhere.
    namespace = vars(tessu)
    names, saved = list(namespace), namespace.pop("State")
    yield
    namespace["State"] = saved
    for name in names[names.index("State") + 1:]:
        namespace[name] = namespace.pop(name)


def test_state_name_missing_raises_name_error(field, without_state, monkeypatch):
    w, fake = field(selected=State(False))
    with pytest.raises(NameError) as info:
        w.set_value(7)
    assert str(info.value) == "name 'State' is not defined"
    assert w._value == 7 and w._selected.value is False and fake.trace == []
    assert [n for n, _ in traceback_entries(info.value, SOURCE_PATH)] == [SET_VALUE]
    monkeypatch.setattr(builtins, "State", State, raising=False)
    w.set_value(8)
    assert w._selected.value is True and fake.trace == road(8, 8)


class Falsy:
    def __bool__(self):
        return False

    def __call__(self, value):
        raise AssertionError("a falsy callback must not be called")


@pytest.mark.parametrize("on_change", [None, 0, "", Falsy()])
def test_falsy_callback_is_skipped_but_signal_emitted(field, on_change):
    w, fake = field(on_change=on_change)
    w.set_value(3)
    assert fake.trace == road(3, 3)[1:]


@pytest.mark.parametrize("key, lines", [
    (TRACED, f"{TRACED} None\n{TRACED} [1]\n{TRACED} 5\n"),
    (None, ""), ("other", ""), (TRACED[:-1], ""),
])
def test_one_key_is_traced_with_the_stored_value(field, capsys, key, lines):
    w, _ = field(key=key)
    capsys.readouterr()
    for value in ([], [1], {"value": 5}):
        w.set_value(value)
    assert capsys.readouterr().out == lines


def test_reentrant_callback_changes_what_later_steps_store(field, capsys):
    fake = Host()

    def on_change(value):
        fake.trace.record("onChange", (value,))
        if value == "outer":
            w.set_value("inner")

    w, _ = field(on_change=on_change, fake=fake, key=TRACED)
    capsys.readouterr()
    w.set_value("outer")
    assert fake.trace == (road("outer", "outer")[:1] + road("inner", "inner")
                          + road("outer", "inner")[1:])
    assert w._value == "inner" and capsys.readouterr().out == f"{TRACED} inner\n" * 2


class RaisingGet(dict):
    def get(self, key, default=None):
        raise KeyError("get")


@pytest.mark.parametrize("step, done", [("get", 0), ("onChange", 1), ("valueChanged", 2),
                                        ("_inputField", 2), ("_set_value", 3), ("setState", 4)])
def test_failure_stops_the_road_after_the_earlier_steps(field, step, done):
    w, fake = field(selected=State(False))
    kept = [name for name, _, _ in road(None, None)][:done]
    if step == "valueChanged":
        kept[1] = "valueChanged"
    failure = LookupError(step)
    payload = object()
    value = RaisingGet(value=payload) if step == "get" else [payload]
    if step == "valueChanged":
        # A Qt slot cannot raise into emit; a signal object that does stands in for it.
        w.__dict__["valueChanged"] = SimpleNamespace(
            emit=lambda v: fake.trace.record("valueChanged", (v,)))
    if step == "_inputField":
        del w._complete._inputField
    elif step != "get":
        fake.trace.fail(step, failure)
    gc.collect()
    before = sys.getrefcount(value), sys.getrefcount(payload)
    with pytest.raises(Exception) as info:
        w.set_value(value)
    expected = {"get": KeyError, "_inputField": AttributeError}.get(step)
    assert type(info.value) is expected if expected else info.value is failure
    assert fake.trace.names() == kept
    assert [n for n, _ in traceback_entries(info.value, SOURCE_PATH)] == [SET_VALUE]
    reached = step != "get"
    assert (w._value is value, w._selected.value) == (reached, reached)
    w._value = None
    del info, failure
    fake.forget()
    gc.collect()
    assert (sys.getrefcount(value), sys.getrefcount(payload)) == before


class Refuses:
    """Fails whichever way the field asks it: for its truth or for equality."""

    def __bool__(self):
        raise LookupError("bool")

    def __eq__(self, other):
        raise LookupError("eq")

    __hash__ = object.__hash__


class RefusingCheck(type):
    def __instancecheck__(cls, obj):
        raise LookupError("isinstance")


def refusing_state():
    state = State(False)
    state.subscribe(refuse)
    return state


# How each step of set_value is made to fail, and the line its traceback entry must name.
FAILING_STEPS = {
    "unwrap": (100, lambda w, host, mp: RaisingGet(value=1)),
    "normalise": (102, lambda w, host, mp: Refuses()),
    "selection": (104, lambda w, host, mp: host(State=RefusingCheck("State", (), {}))),
    "mark": (105, lambda w, host, mp: setattr(w, "_selected", refusing_state())),
    "on_change": (106, lambda w, host, mp: setattr(w, "_onChange", Refuses())),
    "notify": (107, lambda w, host, mp: setattr(w, "_onChange", refuse)),
    "emit": (108, lambda w, host, mp: w.__dict__.update(valueChanged=SimpleNamespace(emit=refuse))),
    "trace_key": (109, lambda w, host, mp: setattr(w, "_key", Refuses())),
    "print": (110, lambda w, host, mp: (setattr(w, "_key", TRACED),
                                        mp.setattr(sys, "stdout", object()))),
    "write_back": (112, lambda w, host, mp: delattr(w._complete, "_inputField")),
    "record": (116, lambda w, host, mp: setattr(w, "_setState", refuse)),
}


@pytest.mark.parametrize("step", FAILING_STEPS)
def test_each_failing_step_is_named_by_its_own_line(field, host, monkeypatch, step):
    line, arrange = FAILING_STEPS[step]
    w, fake = field(selected=State(False))
    made = arrange(w, host, monkeypatch)
    value = made if step in ("unwrap", "normalise") else "v"
    with pytest.raises(Exception) as info:
        w.set_value(value)
    monkeypatch.undo()
    assert traceback_entries(info.value, SOURCE_PATH) == [(SET_VALUE, line)]
    del info
    fake.forget()


@pytest.mark.parametrize("absence", ["deleted", "getattr-raises", "property-raises"])
def test_write_back_is_skipped_while_complete_is_absent(tessu, field, absence):
    class Field(tessu.TessuAutocomplete):
        hidden = False

        if absence == "getattr-raises":
            def __getattr__(self, name):
                raise (KeyError if name == "_complete" else AttributeError)(name)
        elif absence == "property-raises":
            @property
            def _complete(self):
                if self.hidden:
                    raise ZeroDivisionError
                return self.__dict__["stored"]

            @_complete.setter
            def _complete(self, value):
                self.__dict__["stored"] = value

    w, fake = field(cls=Field)
    if absence == "property-raises":
        w.hidden = True
    else:
        del w._complete
    w.set_value(4)
    assert fake.trace == [e for e in road(4, 4) if e[0] != "_set_value"]


def test_early_report_during_construction_skips_only_the_write_back(tessu, host, qapp):
    seen = []
    fake = Host(report_on_init={"value": 9})
    host(**fake.names())
    w = tessu.TessuAutocomplete("country", onChange=seen.append)
    assert seen == [9] and w._value == 9 and hasattr(w, "_complete")
    names = fake.trace.names()
    assert names[names.index("Autocomplete") + 1] == "setState" and "_set_value" not in names
    assert fake.trace.calls("setState") == [((9,), ())]


@pytest.mark.parametrize("options, stored", [
    (["Red", "Green"], "Green"),
    ([{"label": "Red", "value": "r"}, {"label": "Green", "value": "g"}], "g"),
], ids=["texts", "dicts"])
@pytest.mark.parametrize("how", ["pick", "keyboard"])
def test_user_pick_reaches_set_value_twice_without_looping(widget, qtbot, options, stored, how):
    seen, emitted, recorded = [], [], []
    w = widget("colour", onChange=seen.append, options=options)
    w.valueChanged.connect(emitted.append)
    w._state.subscribe(recorded.append)
    w.show()
    if how == "pick":
        w._complete.pick("Green")
    else:
        qtbot.keyClicks(w._complete._inputField.lineEdit(), "gre")
        popup = w._complete.completer().popup()
        qtbot.keyClick(popup, Qt.Key.Key_Down)
        qtbot.keyClick(popup, Qt.Key.Key_Return)
    # Once through the callback and once through the signal; the silent write-back adds none.
    assert seen == emitted == recorded == [stored, stored] and w._value == stored
    assert w._complete._inputField.text() == "Green"


class Emitter(QObject):
    changed = Signal(object)


def test_state_signal_connects_each_assigned_signal(widget):
    seen = []
    w = widget()
    w.state = seen.append  # only the connection is under test here, not the slot's body
    assert w.stateSignal is None
    first, second = Emitter(), Emitter()
    w.stateSignal = first.changed
    first.changed.emit("a")
    w.stateSignal = second.changed
    first.changed.emit("b")
    second.changed.emit("c")
    assert seen == ["a", "b", "c"]
    with pytest.raises(AttributeError) as info:
        w.stateSignal = None
    assert w.stateSignal is None and w._stateSignal is None
    assert [n for n, _ in traceback_entries(info.value, SOURCE_PATH)] == [STATE_SIGNAL]
    first.changed.emit("d")
    assert seen[-1] == "d"
