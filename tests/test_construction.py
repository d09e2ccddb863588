"""Construction of TessuAutocomplete: host calls, attributes, inner functions, failures, GC."""

import ctypes
import gc
import sys
import weakref
from types import MappingProxyType

import pytest

from conftest import NOT_A_MAPPING, SOURCE_PATH, qualified
from doubles import Host, recording_subclass, traceback_entries

INIT = qualified("TessuAutocomplete.__init__")
LAMBDA, LAMBDA1 = INIT + ".lambda", INIT + ".lambda1"
QUALNAME = "TessuAutocomplete.__init__.<locals>.<lambda>"
HEAD = "\n" + " " * 12 + "padding-left: 8px;" + "\n" + " " * 12
TAIL = "\n" + " " * 12 + "font-size: 11px;" + "\n" + " " * 8
STEP8 = ("_name", "_label", "_value", "_selected", "_helperText", "_onChange", "_stateSignal")
ATTRIBUTES = ("_key", "_state", "_setState") + STEP8 + ("_complete", "lbl_helper_text")


@pytest.fixture
def fake(host, qapp):
    doubles = Host()
    host(**doubles.names())
    return doubles


@pytest.fixture
def recording(tessu, fake):
    return recording_subclass(tessu.TessuAutocomplete, fake.trace)


def fresh(text):
    # Built at run time so that nothing but the test holds the object.
    return "".join(text)


def margins(layout):
    m = layout.contentsMargins()
    return (m.left(), m.top(), m.right(), m.bottom()), layout.spacing()


def test_host_calls_in_order_with_their_arguments(tessu, fake, recording):
    on_change = lambda v: None  # noqa: E731
    w = recording("country", "k", "Label", True, on_change, "help", zeta=1, alpha=2)
    ac, controller, layout, caption = fake.autocomplete, fake.controller, fake.layout, fake.caption
    assert fake.trace.names() == [
        "useState", "QVBoxLayout", "setLayout", "layout", "setContentsMargins", "layout",
        "setSpacing", "Autocomplete", "layout", "Controller", "addWidget", "QLabel",
        "useTheme", "to_qss_props", "setStyleSheet", "setText", "layout", "addWidget",
        "valueChanged.connect"]
    calls = {name: fake.trace.calls(name) for name in fake.trace.names()}
    (state_args, _), = calls["useState"]
    assert state_args == ("None",)
    assert calls["QVBoxLayout"] == [((), ())] and calls["setLayout"] == [((layout,), ())]
    assert calls["setContentsMargins"] == [((0, 0, 0, 0), ())]
    assert calls["setSpacing"] == [((0,), ())]
    (ac_args, ac_kwargs), = calls["Autocomplete"]
    assert ac_args == () and [k for k, _ in ac_kwargs] == [
        "key", "name", "selected", "onChange", "renderInput", "zeta", "alpha"]
    assert ac_kwargs[:3] == (("key", "k"), ("name", "country"), ("selected", True))
    assert ac_kwargs[5:] == (("zeta", 1), ("alpha", 2))
    (_, ctl_kwargs), = calls["Controller"]
    assert [k for k, _ in ctl_kwargs] == ["name", "control", "render"]
    assert ctl_kwargs[1][1] is False and ctl_kwargs[2][1] is ac
    assert calls["addWidget"] == [((controller,), ()), ((caption,), ())]
    assert calls["QLabel"] == [((w,), ())] and calls["setText"] == [(("",), ())]
    assert calls["setStyleSheet"] == [((HEAD + "font: 9px;" + TAIL,), ())]
    (slot,), _ = calls["valueChanged.connect"][0]
    assert slot.__self__ is w and slot.__func__ is vars(tessu.TessuAutocomplete)["set_value"]
    # The real layout and parentage, as Qt sees them.
    assert w.layout() is layout and margins(layout) == ((0, 0, 0, 0), 0)
    assert [layout.itemAt(i).widget() for i in range(layout.count())] == [controller, caption]
    assert w.parent() is None and caption.parent() is w and ac.parent() is controller


@pytest.mark.parametrize("fragment, text", [
    ("font: 11px;", "font: 11px;"), (12, "12"), (1.5, "1.5"),
    (type("Fmt", (), {"__format__": lambda self, fmt: f"<{fmt}>"})(), "<>"),
])
def test_caption_style_sheet_wraps_the_theme_fragment(tessu, fake, fragment, text):
    fake.fragment = fragment
    tessu.TessuAutocomplete("country")
    (sheet,), _ = fake.trace.calls("setStyleSheet")[0]
    assert sheet == HEAD + text + TAIL and len(HEAD) == 44 and len(TAIL) == 38
    assert fake.caption.styleSheet() == sheet


def test_real_host_field_layout_and_empty_caption(widget):
    w = widget("country", key="k", helperText="help", options=["Red"])
    layout = w.layout()
    assert margins(layout) == ((0, 0, 0, 0), 0) and layout.count() == 2
    assert layout.itemAt(0).widget().field_widget is w._complete
    assert layout.itemAt(1).widget() is w.lbl_helper_text
    assert w.lbl_helper_text.text() == "" and w.lbl_helper_text.styleSheet().startswith(HEAD)
    assert w._complete.options() == ["Red"] and w._complete._inputField.label() == ""


SEVEN = ("country", "k", "L", "sel", print, "help")


@pytest.mark.parametrize("args, kwargs, expect", [
    (("country",), {}, ("country", None, None, False, None, None)),
    (SEVEN, {}, SEVEN),
    ((), dict(zip(("name", "key", "label", "selected", "onChange", "helperText"), SEVEN)), SEVEN),
], ids=["defaults", "positional", "keywords"])
def test_attributes_after_construction(tessu, fake, args, kwargs, expect):
    w = tessu.TessuAutocomplete(*args, **kwargs)
    name, key, label, selected, on_change, helper = expect
    got = {a: getattr(w, a) for a in ATTRIBUTES}
    assert got == {"_key": key, "_state": fake.state, "_setState": fake.setState,
                   "_name": name, "_label": label, "_value": None, "_selected": selected,
                   "_helperText": helper, "_onChange": on_change, "_stateSignal": None,
                   "_complete": fake.autocomplete, "lbl_helper_text": fake.caption}
    assert dict(fake.autocomplete.kwargs)["selected"] is selected


def test_render_input_keyword_collides_after_steps_one_to_eight(tessu, fake, recording):
    with pytest.raises(TypeError) as info:
        recording("country", key="k", renderInput=print)
    assert str(info.value) == "function() got multiple values for keyword argument 'renderInput'"
    assert [n for n, _ in traceback_entries(info.value, SOURCE_PATH)] == [INIT]
    w, = recording.instances
    assert all(hasattr(w, a) for a in ATTRIBUTES[:-2]) and w._name == "country"
    assert not hasattr(w, "_complete") and "Autocomplete" not in fake.trace.names()
    assert w.layout() is fake.layout and margins(w.layout()) == ((0, 0, 0, 0), 0)


# From 3.14 an assignment also names the size of an exact tuple, list or dict.
TOO_MANY_SIZED = "too many values to unpack (expected 2%s)" % (
    ", got 3" if sys.version_info >= (3, 14) else "")


def refusing(after):
    """An iterator that fails after `after` items."""
    yield from range(after)
    raise LookupError("iteration refused")


@pytest.mark.parametrize("pair, error, message", [
    ((1, 2, 3), ValueError, TOO_MANY_SIZED),
    ({1: 1, 2: 2, 3: 3}, ValueError, TOO_MANY_SIZED),
    (iter([1, 2, 3]), ValueError, "too many values to unpack (expected 2)"),
    ([1], ValueError, "need more than 1 value to unpack"),
    (iter([1]), ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    (iter([]), ValueError, "need more than 0 values to unpack"),
    (refusing(0), LookupError, "iteration refused"),
    (refusing(1), LookupError, "iteration refused"),
    (5, TypeError, None),
    (iter(["s", "setter"]), None, None),
])
def test_use_state_result_must_unpack_into_two(tessu, host, qapp, pair, error, message):
    host(**Host(state_pair=pair).names())
    if error is None:
        w = tessu.TessuAutocomplete("country")
        assert (w._state, w._setState) == ("s", "setter")
        return
    with pytest.raises(error) as info:
        tessu.TessuAutocomplete("country")
    assert message is None or str(info.value) == message
    assert [n for n, _ in traceback_entries(info.value, SOURCE_PATH)] == [INIT]


# Each host step, and the attributes that must exist when it fails.
STEPS = [("useState", 1), ("QVBoxLayout", 1), ("setLayout", 1), ("layout", 1),
         ("setContentsMargins", 1), ("layout", 2), ("setSpacing", 1), ("Autocomplete", 1),
         ("layout", 3), ("Controller", 1), ("addWidget", 1), ("QLabel", 1), ("useTheme", 1),
         ("to_qss_props", 1), ("setStyleSheet", 1), ("setText", 1), ("layout", 4),
         ("addWidget", 2), ("valueChanged.connect", 1)]

# The constructor's line that each of those steps belongs to.
STEP_LINES = [26, 28, 28, 29, 29, 30, 30, 40, 48, 48, 48, 50, 51, 51, 51, 57, 58, 58, 60]

GAINS = {"useState": ("_state", "_setState"), "setSpacing": STEP8,
         "Autocomplete": ("_complete",), "QLabel": ("lbl_helper_text",)}


@pytest.mark.parametrize("index", range(len(STEPS)), ids=[f"{n}{k}" for n, k in STEPS])
def test_failing_host_step_propagates_and_keeps_earlier_effects(tessu, fake, recording, index):
    step, nth = STEPS[index]
    name, key, label = fresh("country"), fresh("key"), fresh("label")
    on_change, extra = (lambda v: None), object()
    watched = (name, key, label, on_change, extra)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    failure = LookupError("injected")
    fake.trace.fail(step, failure, nth)

    with pytest.raises(LookupError) as info:
        recording(name, key, label, True, on_change, extra=extra)
    assert info.value is failure
    assert traceback_entries(failure, SOURCE_PATH) == [(INIT, STEP_LINES[index])]
    assert (fake.trace[-1][0], fake.trace.names().count(step)) == (step, nth)
    w, = recording.instances
    present = ["_key"] + [a for n, _ in STEPS[:index] for a in GAINS.get(n, ())]
    assert [a for a in ATTRIBUTES if hasattr(w, a)] == present

    del w, info, failure
    recording.instances.clear()
    fake.forget()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.fixture
def built(tessu, fake):
    """A field whose set_value only records, with the doubles that saw it built."""
    calls = []

    class Field(tessu.TessuAutocomplete):
        def set_value(self, value=None):
            calls.append(value)
            return ("result", value)

    return Field("country", label="Name"), fake, calls


@pytest.mark.parametrize("keyword, name, line", [("onChange", "lambda", 44),
                                                 ("renderInput", "lambda1", 45)])
def test_inner_function_names_and_arity(tessu, built, keyword, name, line):
    fn = dict(built[1].autocomplete.kwargs)[keyword]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, QUALNAME, tessu.__name__)
    with pytest.raises(TypeError, match=r"\(0 given\)"):
        fn()
    with pytest.raises(TypeError) as info:
        fn(1, 2)
    assert str(info.value) == f"{name}() takes exactly 1 positional argument (2 given)"
    assert traceback_entries(info.value, SOURCE_PATH) == [(f"{INIT}.{name}", line)]


def test_change_function_calls_set_value_once(built):
    _, fake, calls = built
    marker = object()
    assert fake.autocomplete.onChange(marker) == ("result", marker)
    assert fake.autocomplete.onChange(newValue=[]) == ("result", [])
    assert calls == [marker, []] and calls[0] is marker


def test_render_input_builds_text_field_with_current_label(built):
    w, fake, _ = built
    params = {"placeholder": "p", "parent": w}
    made = fake.autocomplete.renderInput(params)
    assert made.kwargs == {"label": "Name", **params} and len(params) == 2
    w._label = "Renamed"
    fake.autocomplete.renderInput(params=MappingProxyType({"b": 2, "a": 1}))
    assert fake.trace.calls("TextField") == [
        ((), (("label", "Name"), ("placeholder", "p"), ("parent", w))),
        ((), (("label", "Renamed"), ("b", 2), ("a", 1)))]


class Pairs:
    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs


@pytest.mark.parametrize("params, error, message", [
    (None, TypeError, NOT_A_MAPPING + "NoneType"),
    (5, TypeError, NOT_A_MAPPING + "int"),
    ({"x": 1, "label": "L"}, TypeError,
     "function() got multiple values for keyword argument 'label'"),
    ({}, KeyError, "'from TextField'"),
    # As at a call site, a mapping other than a dict is read through keys(), not items().
    (Pairs([("a", 1)]), TypeError, NOT_A_MAPPING + "Pairs"),
])
def test_render_input_failures(built, params, error, message):
    fake = built[1]
    fake.trace.fail("TextField", KeyError("from TextField"))
    with pytest.raises(error) as info:
        fake.autocomplete.renderInput(params)
    assert str(info.value) == message
    assert fake.trace.names().count("TextField") == (error is KeyError)
    assert traceback_entries(info.value, SOURCE_PATH) == [(LAMBDA1, 45)]


def scope_of(function):
    record, = [r for r in gc.get_referents(function) if type(r).__name__.endswith("_scope")]
    return record


def test_unreachable_widget_is_collected_despite_the_cycle(tessu, qapp):
    w = tessu.TessuAutocomplete("country", onChange=print, options=["Red"])
    record = scope_of(w._complete._onChange)
    assert gc.is_tracked(record) and w in gc.get_referents(record)
    ref = weakref.ref(w)
    del w, record
    gc.collect()
    assert ref() is None


def test_inner_function_after_its_record_was_cleared(tessu, fake):
    w = tessu.TessuAutocomplete("country")
    change, render = fake.autocomplete.onChange, fake.autocomplete.renderInput
    record = scope_of(change)
    assert scope_of(render) is record
    # While an inner function is held, the record is reachable and the collector never
    # clears it; run the record type's clear slot as the collector would on the cycle.
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    clear = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(record), 51))
    assert clear(record) == 0 and w not in gc.get_referents(record)
    ref = weakref.ref(w)
    del w
    fake.forget()
    gc.collect()
    assert ref() is None
    for fn, name in ((change, LAMBDA), (render, LAMBDA1)):
        with pytest.raises(NameError) as info:
            fn({})
        assert str(info.value) == \
            "free variable 'self' referenced before assignment in enclosing scope"
        assert [n for n, _ in traceback_entries(info.value, SOURCE_PATH)] == [name]


def test_capture_records_are_recycled(tessu, qapp):
    def build(count):
        widgets = [tessu.TessuAutocomplete(f"f{i}") for i in range(count)]
        return widgets, {id(scope_of(w._complete._onChange)) for w in widgets}

    # Free older garbage first; twelve builds then empty whatever the list held, and dropping
    # them refills it with ours alone.
    gc.collect()
    widgets, freed = build(12)
    del widgets
    gc.collect()
    # Take the freed memory of records that were not kept, so only kept ones can match.
    slot1 = type("Slot1", (), {"__slots__": ("x",)})
    filler = [slot1() for _ in range(20000)]
    widgets, reused = build(4)
    assert reused <= freed and len(reused) == 4
    del filler
