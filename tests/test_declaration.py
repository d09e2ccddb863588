"""The TessuAutocomplete class object as Python code sees it: base, Qt members, method
metadata, argument binding and the traceback entries of binding failures."""

import ctypes
import gc
import inspect
import io
import pydoc
import traceback
import types

import pytest
import qtpy
from qtpy.QtCore import Property, QMetaMethod, Signal
from qtpy.QtWidgets import QFrame

from conftest import MODULE_NAME, SOURCE_PATH, as_help_shows, python_api, qualified
from doubles import Host

PYOBJECT = "PyObject" if qtpy.API_NAME.startswith("PySide") else "PyQt_PyObject"
INIT_PARAMS = ("name, key: 'Optional[str]' = None, label: 'Optional[str]' = None, "
               "selected: 'bool' = False, onChange: 'Optional[Callable]' = None, "
               "helperText: 'str' = None, **kwargs")
INIT_ANNOTATIONS = [("key", "Optional[str]"), ("label", "Optional[str]"), ("selected", "bool"),
                    ("onChange", "Optional[Callable]"), ("helperText", "str")]

# member: (simple name, first line, argcount, varnames, defaults, parameters after self)
MEMBERS = {
    "__init__": ("__init__", 16, 7, ("self", "name", "key", "label", "selected", "onChange",
                                     "helperText", "kwargs", "control"),
                 (None, None, False, None, None), INIT_PARAMS),
    "set_value": ("set_value", 98, 2, ("self", "value"), (None,), "value=None"),
    "getter": ("stateSignal", 121, 1, ("self",), None, ""),
    "setter": ("stateSignal", 125, 2, ("self", "value"), None, "value"),
    "state": ("state", 131, 2, ("self", "state", "theme"), None, "state"),
}


DELETE = object()


@pytest.fixture
def inner_function(tessu, host, qapp):
    """A change function of a new widget, so that changing it changes no other test."""
    fake = Host()
    host(**fake.names())
    w = tessu.TessuAutocomplete("country")
    yield fake.autocomplete.onChange
    del w


def member(cls, which):
    ns = vars(cls)
    if which in ("getter", "setter"):
        return ns["stateSignal"].fget if which == "getter" else ns["stateSignal"].fset
    return ns[which]


def own_entries(exc):
    return [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == SOURCE_PATH]


class TestClass:
    def test_base_and_namespace(self, tessu):
        cls = tessu.TessuAutocomplete
        assert cls.__mro__[:2] == (cls, QFrame) and cls.__bases__ == (QFrame,)
        assert type(cls) is type(QFrame)
        assert (cls.__name__, cls.__qualname__, cls.__module__) == (
            "TessuAutocomplete", "TessuAutocomplete", MODULE_NAME)
        assert cls.__doc__ is None and "__orig_bases__" not in vars(cls)
        assert isinstance(vars(cls)["valueChanged"], Signal)
        assert isinstance(vars(cls)["stateSignal"], Property)
        # PySide adds its meta-object to the class; nothing else may appear.
        assert [k for k in vars(cls) if k != "staticMetaObject"] == [
            "__module__", "valueChanged", "__init__", "set_value", "stateSignal", "state",
            "__doc__"]

    def test_meta_object_declares_signal_slot_and_property(self, widget):
        # The meta-object dies with the widget that built it (so it does for a Python class
        # of the same shape): the widget must outlive every use of it.
        w = widget()
        meta = w.metaObject()
        assert meta.indexOfSignal(f"valueChanged({PYOBJECT})") >= 0
        slot = meta.indexOfMethod(f"state({PYOBJECT})")
        assert slot >= 0 and meta.method(slot).methodType() == QMetaMethod.MethodType.Slot
        prop = meta.property(meta.indexOfProperty("stateSignal"))
        assert prop.typeName() == "bool" and prop.isReadable() and prop.isWritable()

    def test_help_renders(self, tessu):
        text = pydoc.render_doc(tessu.TessuAutocomplete, renderer=pydoc.plaintext)
        helper_text = as_help_shows("helperText: 'str' = None")
        for line in ("class TessuAutocomplete(", "set_value(self, value=None)",
                     "state(self, state)", "stateSignal", helper_text):
            assert line in text


class TestMethods:
    @pytest.mark.parametrize("which", MEMBERS)
    def test_function_metadata(self, tessu, which):
        name, first, argcount, varnames, defaults, params = MEMBERS[which]
        fn = member(tessu.TessuAutocomplete, which)
        assert (fn.__name__, fn.__qualname__, fn.__module__) == (
            name, f"TessuAutocomplete.{name}", MODULE_NAME)
        assert fn.__defaults__ == defaults and fn.__kwdefaults__ is None
        assert fn.__doc__ is None and fn.__globals__ is vars(tessu)
        expected = INIT_ANNOTATIONS if which == "__init__" else []
        assert type(fn.__annotations__) is dict and list(fn.__annotations__.items()) == expected
        code = fn.__code__
        assert (code.co_filename, code.co_name, code.co_firstlineno) == (SOURCE_PATH, name, first)
        assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (
            argcount, 0, 0)
        assert code.co_varnames == varnames
        assert bool(code.co_flags & inspect.CO_VARKEYWORDS) == (which == "__init__")
        assert not code.co_flags & inspect.CO_VARARGS
        assert str(inspect.signature(fn)) == f"(self{', ' if params else ''}{params})"

    def test_size_is_fixed_as_a_python_functions_is(self, tessu, inner_function):
        # Memory profilers read sys.getsizeof and the type's sizes; these objects carry no items.
        for obj in (member(tessu.TessuAutocomplete, "__init__"), inner_function):
            assert object.__sizeof__(obj) == type(obj).__basicsize__
            assert type(obj).__itemsize__ == types.FunctionType.__itemsize__ == 0

    @pytest.mark.parametrize("which", MEMBERS)
    def test_collector_is_shown_every_reference_a_function_holds(self, tessu, which):
        # A reference the traversal leaves out is one the cycle collector can never break: a
        # str subclass set as __qualname__ can carry a cycle back to the function.
        fn = member(tessu.TessuAutocomplete, which)
        parts = [type(fn), fn.__name__, fn.__qualname__, fn.__module__, fn.__defaults__,
                 fn.__annotations__, fn.__code__, fn.__globals__]  # annotations made on demand
        held = gc.get_referents(fn)
        assert [p for p in parts if p is not None and not any(h is p for h in held)] == []

    @pytest.mark.parametrize("which", ["__init__", "inner", "scope"])
    def test_traversal_stops_at_the_first_visit_that_says_so(self, tessu, inner_function, which):
        # The collector's own visits never refuse; gc.get_referents' refuse when they cannot
        # grow the list. Each refusal must end the traversal with the visit's answer.
        if which == "__init__":
            obj = member(tessu.TessuAutocomplete, which)
        else:
            obj = inner_function
            if which == "scope":
                [obj] = [r for r in gc.get_referents(obj) if type(r).__name__.endswith("_scope")]
        if which != "scope":
            obj.__annotations__  # noqa: B018  (made on demand, as is the dict below)
        if which == "inner":
            obj.extra = 1
        visitproc = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_void_p)
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.argtypes, get_slot.restype = [ctypes.py_object, ctypes.c_int], ctypes.c_void_p
        traverse = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, visitproc, ctypes.c_void_p)(
            get_slot(type(obj), 71))  # Py_tp_traverse

        def visiting(refuse_at):
            seen = []

            def visit(o, arg):
                seen.append(o)
                return 100 + len(seen) if len(seen) == refuse_at else 0
            return seen, visitproc(visit)

        seen, visit = visiting(0)
        assert traverse(obj, visit, None) == 0
        assert seen == gc.get_referents(obj)
        for k in range(1, len(seen) + 1):
            stopped, visit = visiting(k)
            assert (traverse(obj, visit, None), stopped) == (100 + k, seen[:k])

    @pytest.mark.parametrize("value", ["text", 5, None, DELETE], ids=["str", "int", "none", "del"])
    @pytest.mark.parametrize("attr", ["__name__", "__qualname__", "__doc__", "__module__"])
    def test_metadata_writes_behave_as_on_a_python_function(self, inner_function, attr, value):
        def python_function():
            pass

        outcomes = []
        for fn in (inner_function, python_function):
            try:
                if value is DELETE:
                    delattr(fn, attr)
                else:
                    setattr(fn, attr, value)
                outcomes.append(getattr(fn, attr))
            except Exception as exc:
                outcomes.append((type(exc), str(exc)))
        assert outcomes[0] == outcomes[1]

    def test_what_drives_the_call_is_read_only(self, inner_function):
        # The address as the interpreter prints pointers on this platform (zero-padded and
        # upper case on Windows), which object's own repr shows.
        address = object.__repr__(inner_function).rpartition(" at ")[2]
        assert repr(inner_function) == f"<function {inner_function.__qualname__} at {address}"
        for attr in ("__defaults__", "__kwdefaults__", "__code__", "__globals__", "__closure__",
                     "__annotations__"):
            with pytest.raises(AttributeError, match="not writable"):
                setattr(inner_function, attr, None)

    def test_class_signature_is_the_constructor(self, tessu):
        assert str(inspect.signature(tessu.TessuAutocomplete)) == f"({INIT_PARAMS})"

    @pytest.mark.parametrize("which", ["__init__", "set_value", "state"])
    def test_binds_through_an_instance(self, tessu, widget, which):
        w = widget()
        method = getattr(w, which)
        assert type(method) is types.MethodType
        assert method.__self__ is w and method.__func__ is vars(tessu.TessuAutocomplete)[which]
        assert getattr(tessu.TessuAutocomplete, which) is method.__func__
        assert str(inspect.signature(method)) == f"({MEMBERS[which][5]})"

    def test_bound_call_counts_self(self, widget):
        with pytest.raises(TypeError) as info:
            widget().set_value(1, 2)
        assert str(info.value) == "set_value() takes at most 2 positional arguments (3 given)"


S = object()  # stands in for self: binding fails before a body could look at it


def non_interned(text):
    return "".join(list(text))


def takes(name, how, count, given):
    return (f"{name}() takes {how} {count} positional argument{'' if count == 1 else 's'} "
            f"({given} given)")


def multiple(name, kw):
    return f"{name}() got multiple values for keyword argument '{kw}'"


def unexpected(name, kw):
    return f"{name}() got an unexpected keyword argument '{kw}'"


BINDING_ERRORS = [
    ("__init__", (), {}, takes("__init__", "at least", 2, 0)),
    ("__init__", (S,), {"key": "k"}, takes("__init__", "at least", 2, 1)),
    ("__init__", (S,) * 8, {}, takes("__init__", "at most", 7, 8)),
    ("__init__", (S, "n"), {"name": "m"}, multiple("__init__", "name")),
    ("__init__", (S, "n", "k"), {"kwargs": 1, "key": "k"}, multiple("__init__", "key")),
    ("set_value", (), {}, takes("set_value", "at least", 1, 0)),
    ("set_value", (S, 1, 2), {}, takes("set_value", "at most", 2, 3)),
    ("set_value", (S, 1), {"value": 2}, multiple("set_value", "value")),
    ("set_value", (S, 1), {non_interned("value"): 2}, multiple("set_value", "value")),
    ("set_value", (S,), {"values": 2}, unexpected("set_value", "values")),
    ("getter", (), {}, takes("stateSignal", "exactly", 1, 0)),
    ("getter", (S, 1), {}, takes("stateSignal", "exactly", 1, 2)),
    ("getter", (S,), {"self": S}, multiple("stateSignal", "self")),
    ("getter", (S,), {"value": 1}, unexpected("stateSignal", "value")),
    ("setter", (S,), {}, takes("stateSignal", "exactly", 2, 1)),
    ("setter", (S, 1, 2), {}, takes("stateSignal", "exactly", 2, 3)),
    ("setter", (S, 1), {"extra": 1}, unexpected("stateSignal", "extra")),
    ("state", (), {"self": S}, takes("state", "exactly", 2, 1)),
    ("state", (), {non_interned("self"): S}, takes("state", "exactly", 2, 1)),
    ("state", (S, 1, 2), {}, takes("state", "exactly", 2, 3)),
    ("state", (S, 1), {"state": 1}, multiple("state", "state")),
    ("state", (S, 1), {"theme": 1}, unexpected("state", "theme")),  # a local, not a parameter
]


def check_entry(exc, which):
    name, first = MEMBERS[which][:2]
    entry = (SOURCE_PATH, first, qualified(f"TessuAutocomplete.{name}"))
    assert own_entries(exc) == [entry]
    last = traceback.extract_tb(exc.__traceback__)[-1]
    assert (last.filename, last.lineno, last.name) == entry
    text = "".join(traceback.format_exception(exc))
    assert text.endswith(f'  File "{SOURCE_PATH}", line {first}, in {entry[2]}\n'
                         f"{type(exc).__name__}: {exc}\n")


def vectorcall(function, args, kwvalues, kwnames):
    """function called through the vectorcall protocol with exactly these keyword names."""
    call = python_api().PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * (len(args) + len(kwvalues)))(*args, *kwvalues)
    return call(function, stack, len(args), kwnames)


class TestArgumentBinding:
    @pytest.mark.parametrize("which, args, kwargs, message", BINDING_ERRORS)
    def test_binding_error(self, tessu, which, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            member(tessu.TessuAutocomplete, which)(*args, **kwargs)
        assert str(info.value) == message
        check_entry(info.value, which)

    @pytest.mark.parametrize("which, args", [
        ("__init__", (S, "n")), ("set_value", (S,)), ("getter", (S,)), ("setter", (S, 1)),
        ("state", (S, 1)),
    ])
    def test_non_string_keyword(self, tessu, which, args):
        with pytest.raises(TypeError) as info:
            vectorcall(member(tessu.TessuAutocomplete, which), args, ("v",), (1,))
        assert str(info.value) == f"{MEMBERS[which][0]}() keywords must be strings"
        check_entry(info.value, which)

    # Keyword names arrive twice only from C, which no call in Python source can do.
    @pytest.mark.parametrize("which, args, keyword", [
        ("__init__", (S, "n"), "key"), ("__init__", (S, "n"), "extra"),
        ("set_value", (S,), "value"), ("setter", (S,), "value"), ("state", (S,), "state"),
    ])
    def test_keyword_given_twice(self, tessu, which, args, keyword):
        with pytest.raises(TypeError) as info:
            vectorcall(member(tessu.TessuAutocomplete, which), args, ("k1", "k2"),
                       (keyword, non_interned(keyword)))
        assert str(info.value) == multiple(MEMBERS[which][0], keyword)
        check_entry(info.value, which)

    def test_print_exc_output(self, tessu):
        out = io.StringIO()
        try:
            tessu.TessuAutocomplete.state(S)
        except TypeError:
            traceback.print_exc(file=out)
        lines = out.getvalue().splitlines()
        assert lines[0] == "Traceback (most recent call last):"
        assert lines[-2:] == [
            f'  File "{SOURCE_PATH}", line 131, in {qualified("TessuAutocomplete.state")}',
            "TypeError: " + takes("state", "exactly", 2, 1)]


class Text(str):
    pass


class TestDeclaredTypes:
    @pytest.mark.parametrize("args, kwargs, param, got", [
        ((), {"key": 1}, "key", "int"),
        ((), {"label": 2.5}, "label", "float"),
        ((), {"helperText": b"x"}, "helperText", "bytes"),
        ((), {"key": Text("k")}, "key", "Text"),
        ((None, None, False, None, Text("h")), {}, "helperText", "Text"),
        ((None, 3), {}, "label", "int"),
        ((), {"helperText": b"", "label": 2.5, "key": 1}, "key", "int"),
        ((), {"helperText": b"", "label": 2.5}, "label", "float"),
    ])
    def test_refused_before_any_widget_is_built(self, tessu, host, qapp, args, kwargs, param,
                                                got):
        calls = []

        def record(*a, **k):
            calls.append(a)
            raise AssertionError("the body ran")
        host(useState=record, useTheme=record, Controller=record, Autocomplete=record,
             TextField=record, QVBoxLayout=record, QLabel=record)
        with pytest.raises(TypeError) as info:
            tessu.TessuAutocomplete("country", *args, **kwargs)
        assert str(info.value) == (f"Argument '{param}' has incorrect type "
                                   f"(expected str, got {got})")
        assert calls == []
        check_entry(info.value, "__init__")

    def test_none_and_exact_str_accepted(self, widget):
        widget("country", key=None, label=None, helperText=None)
        widget("country", key="k", label="Country", helperText="pick one")
