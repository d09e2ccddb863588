"""What the fuzz targets share: a program decoded from libFuzzer's bytes, run on the compiled
field and on its pure-Python model through the differential doubles of
tests/test_differential.py, and the oracle that judges the two runs.

Importing it puts tests/ (and, with TESSU_FUZZ_QT=pure, the pure-Python Qt of tests/pure_qt)
first on sys.path, and starts the application object that the widgets need.
"""

import ctypes
import gc
import importlib
import inspect
import os
import shlex
import sys
import weakref

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
if os.environ.get("TESSU_FUZZ_QT") == "pure":
    sys.path.insert(0, os.path.join(TESTS, "pure_qt"))
sys.path.insert(0, TESTS)

import atheris  # noqa: E402
import qtpy  # noqa: E402
import test_differential as td  # noqa: E402
from qtpy.QtWidgets import QApplication  # noqa: E402

from conftest import MODULE_NAME  # noqa: E402
from model import load  # noqa: E402

APP = QApplication.instance() or QApplication([])
TESSU = importlib.import_module(MODULE_NAME)
MODEL = load()
# The checked build's fault injection (tests/fault_sweep.py): armed with k, the k-th call out
# of the module that can fail fails, once. Absent from an unchecked build. Held back under
# PySide6 (6.12): once a widget's bound method is connected to a signal, a failing lookup of
# that method (here, the method object's allocation) makes PySide6 swallow the error and hand
# back its own stand-in for the slot, which calls itself until the stack runs out. A
# descriptor of plain Python that raises once does the same.
KNOB = ctypes.PyDLL(TESSU.__file__)
KNOB = KNOB if hasattr(KNOB, "tessu_fault_arm") and qtpy.API_NAME != "PySide6" else None
SYMS = (td.SELECTED, td.ONCHANGE, td.FALSY, td.REENTER, td.FORM)
KEYS = ("value", "field", "error", "error_message", "label", "placeholder", "x", 0)
NAMES = ("country", "other", None, td.TRACED, 5)
ATTRS = ("_complete", "lbl_helper_text", "_name", "_onChange", "_setState", "_key", "_label",
         "_selected", "_value", "_stateSignal", "_state")
HOST = ("useState", "useTheme", "State", "TextField", "Autocomplete", "Controller", "QLabel",
        "QVBoxLayout")
PROTOCOL = ("get", "__eq__", "__bool__", "__str__", "__format__", "__getitem__", "__len__", "keys",
            "items")
# The inner functions' own surface, as a caller may treat any Python function: its names and
# docstring can be replaced or deleted, the rest only read.
INNER = ("onChange", "renderInput")
WRITABLE = ("__name__", "__qualname__", "__doc__", "__module__")
READABLE = (*WRITABLE, "__defaults__", "__kwdefaults__", "__annotations__")
EXCEPTIONS = (ValueError, KeyError, RuntimeError, TypeError, AttributeError, ZeroDivisionError)
# What binding each driven call goes through, taken from the model: a failure to bind is
# reported before the model's frame exists, and the comparison allows for that.
SIGNATURES = {"set_value": inspect.signature(MODEL.TessuAutocomplete.set_value),
              "state": inspect.signature(MODEL.TessuAutocomplete.state),
              "change": inspect.signature(lambda newValue: None),
              "render": inspect.signature(lambda params: None)}
METHODS = ("set_value", "state")
INIT = inspect.signature(MODEL.TessuAutocomplete.__init__)


class Odd:
    """An object whose protocol methods each record themselves and then behave as decoded:
    as a plain object would, raising, returning something odd, or calling back into the
    field first. One instance serves both sides of a run, so its identity compares equal."""

    __hash__ = object.__hash__

    def __init__(self, modes):
        self.modes = modes

    def _act(self, name, plain, *args):
        td.rec("odd." + name, *args)
        how, payload = self.modes.get(name, ("plain", None))
        if how == "raise":
            raise payload(f"odd {name}")
        if how == "value":
            return payload
        if how == "reenter":
            reenter(payload)
        return plain()

    def get(self, key, default=None):
        return self._act("get", lambda: default, key)

    def __eq__(self, other):
        return self._act("__eq__", lambda: other is self)

    def __bool__(self):
        return self._act("__bool__", lambda: True)

    def __str__(self):
        return self._act("__str__", lambda: "odd")

    def __format__(self, spec):
        return self._act("__format__", lambda: "odd", spec)

    def __getitem__(self, key):
        return self._act("__getitem__", lambda: "item", key)

    def __len__(self):
        return self._act("__len__", lambda: 1)

    def keys(self):
        return self._act("keys", lambda: ["a"])

    def __iter__(self):
        # Without it, iteration falls back on __getitem__(0), (1), ..., which never fails.
        return self._act("__iter__", lambda: iter(["a"]))

    def items(self):
        return self._act("items", lambda: [("a", 1)])


def reenter(how):
    """A misbehaving object calls back into the field that is using it, once at a time."""
    run = td.RUN[0]
    if run is None or run.widget is None or getattr(run, "odd_depth", 0):
        return
    run.odd_depth = 1
    try:
        op, arg = how
        getattr(run.widget, op)(arg)
    finally:
        run.odd_depth = 0


class Decoder:
    """Choices drawn from the input; an exhausted input keeps answering with the first."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def int(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1) if n > 1 else 0

    def pick(self, seq):
        return seq[self.int(len(seq))]

    def chance(self, one_in):
        return self.int(one_in) == 0

    def many(self, most, make):
        return [make() for _ in range(self.int(most + 1))]

    def text(self):
        return self.pick((lambda: self.fdp.ConsumeUnicodeNoSurrogates(self.int(8)),
                          lambda: self.pick(KEYS[:-1]), lambda: td.TRACED))()

    def value(self, depth=0):
        kinds = [lambda: self.pick(td.VALUES), lambda: self.pick(SYMS), self.text,
                 lambda: self.fdp.ConsumeIntInRange(-3, 3), lambda: self.odd(depth)]
        if depth < 2:
            kinds += [lambda: self.many(3, lambda: self.value(depth + 1)),
                      lambda: tuple(self.many(2, lambda: self.value(depth + 1))),
                      lambda: self.mapping(depth + 1)]
        return self.pick(kinds)()

    def mapping(self, depth=1):
        items = {self.pick(KEYS): self.value(depth) for _ in range(self.int(4))}
        return self.pick((dict, td.DictSub, td.FormState))(items)

    def odd(self, depth=0):
        modes = {}
        for _ in range(self.int(4)):
            name = self.pick(PROTOCOL)
            how = self.pick(("raise", "value", "reenter"))
            if how == "raise":
                modes[name] = (how, self.pick(EXCEPTIONS))
            elif how == "value":
                odd = [None, 0, 1, "s", td.Untruthful(), ["a"], 2.5, b"b"]
                modes[name] = (how, self.pick(odd) if depth >= 2 else self.value(depth + 1))
            else:
                modes[name] = (how, (self.pick(("set_value", "state")), self.value(2)))
        return Odd(modes)

    def form(self):
        entries = {"field": self.pick(NAMES), "error": self.value(2),
                   "error_message": self.value(1)}
        kind = self.int(4)
        if kind == 3:
            return self.odd()
        picked = {k: v for k, v in entries.items() if not self.chance(4)}
        return (dict, td.FormState, td.DictSub)[kind](picked)

    def call(self, op, *make):
        """A call of one of the field's entry points; now and then it does not bind."""
        args = tuple(m() for m in make)
        kwargs = {}
        if self.chance(6):
            name = self.pick(("value", "state", "newValue", "params", "x"))
            args, kwargs = (), {name: args[0] if args else None}
        elif self.chance(8):
            args += (self.value(2),)
        elif self.chance(12):
            kwargs = {1: 2}
        op = op if binds(SIGNATURES[op], op in METHODS, args, kwargs) else "!" + op
        return (op, args, kwargs)

    def step(self):
        return self.pick((
            lambda: self.call("set_value", self.value),
            lambda: self.call("state", self.form),
            lambda: self.call("change", self.value),
            lambda: self.call("render", lambda: self.pick((self.mapping, self.odd, self.value))()),
            lambda: ("ac_emit", (self.value(),)),
            lambda: ("emit_state", (self.form(),)),
            lambda: ("signal", (self.pick((td.FORM, td.FORM, None, 3, self.odd())),)),
            lambda: ("get_signal",),
            lambda: ("set", (self.pick(ATTRS), self.value())),
            lambda: ("del", (self.pick(ATTRS),)),
            lambda: ("collect",),
            lambda: ("orphan", (self.value(),)),
            self.inner,
        ))()

    def inner(self):
        how = self.pick(("read", "read", "set", "del", "bind", "ref"))
        names = WRITABLE if how in ("set", "del") else READABLE
        return ("inner", (self.pick(INNER), self.pick(names), how, self.value()))

    def fault(self):
        """Which call out of the module fails in a faulted run first (k >= 1), or 0 for none;
        drawn last, so an input that ends sooner runs without one. Most programs make a few
        dozen such calls, the longest some hundreds."""
        return 1 + self.int(self.pick((32, 512))) if self.int(4) == 3 else 0

    def scenario(self, derive=None):
        args = (self.pick(NAMES),) + tuple(self.many(2, self.value) if self.chance(3) else ())
        if self.chance(16):
            args = tuple(self.many(8, self.value))
        kwargs = {}
        for name in ("key", "label", "selected", "onChange", "helperText"):
            if self.chance(2):
                kwargs[name] = self.pick((self.value, lambda: self.pick(SYMS[:4]),
                                          lambda: self.pick((None, "k", ""))))()
        for _ in range(self.int(3) if self.chance(3) else 0):
            value = self.value(1)  # drawn before the keyword, as the assignment did
            kwargs[self.pick(("options", "multiple", "renderInput", "name", "extra", 1))] = value
        theme = (self.pick(("font: 9px;", 3, self.odd())), self.pick(("12px", 1.5, self.odd())),
                 self.pick((500, "bold", self.odd())), self.pick(("#c00", None, self.odd())))
        faults = {}
        for _ in range(self.int(3) if self.chance(3) else 0):
            faults[self.pick(td.FAULTABLE)] = (1 + self.int(3), self.pick(EXCEPTIONS))
        missing = tuple(n for n in HOST if self.chance(24))
        replaced = {n: self.pick((5, None, td.Untruthful(), broken))
                    for n in HOST if n not in missing and self.chance(32)}
        on_init = self.pick(((), (), ("change", (self.value(),)), ("render", (self.mapping(),)),
                             ("ac_emit", (self.value(),))))
        return td.Scenario(
            args=args, kwargs=kwargs, bind=not binds(INIT, True, args, kwargs),
            steps=self.many(10, self.step), faults=faults,
            pair=self.pick(("pair",) * 8 + ("list", "iter", "one", "three", "int")),
            theme=theme, missing=missing, replaced=replaced, on_init=on_init, derive=derive)


def broken(*args, **kwargs):
    raise LookupError("broken host")


def binds(signature, method, args, kwargs):
    try:
        signature.bind(*((None,) if method else ()), *args, **kwargs)
    except TypeError:
        return False
    return True


def collect(run, w):
    gc.collect()


def orphan(run, w, value):
    """A second field of the same class is built and dropped while its inner functions are
    still held; they are called after a collection. (The model's inner functions keep their
    field alive, and so does the trace of host calls that it took part in.)"""
    ac, widget, other = run.ac, run.widget, None
    run.widget = None  # its reads are not the driven field's
    try:
        other = type(w).__new__(type(w))
        key = id(other)
        run.tokens[key] = "ORPHAN"
        # Once the compiled one is gone, its address may serve an object made later.
        run.keep.append(weakref.ref(other, lambda _: run.tokens.pop(key, None)))
        other.__init__("orphan")
        inner = run.ac.kwargs if run.ac is not ac else {}
    finally:
        run.ac, run.widget = ac, widget
        del other
    gc.collect()
    for role, arg in (("onChange", value), ("renderInput", {})):
        if role in inner:
            td.rec("orphan." + role, inner[role](arg))


def inner(run, w, role, name, how, value):
    """One of the inner functions treated as a Python function; the attribute is read back,
    with whether the repr still shows the qualified name and the address."""
    fn = run.ac.kwargs.get(role) if run.ac is not None else None
    if fn is None:
        return "no inner function"
    if how == "set":
        setattr(fn, name, value)
    elif how == "del":
        delattr(fn, name)
    elif how == "bind":  # looked up as a method of `value`, or of no object at all
        return fn.__get__(None) is fn if value is None else fn.__get__(value)()
    elif how == "ref":  # kept to the run's end, so the function dies with a live reference
        run.keep.append(weakref.ref(fn))
        return run.keep[-1]() is fn
    address = object.__repr__(fn).rpartition(" at ")[2]
    got = getattr(fn, name)
    if got == MODEL.__name__:  # the model's functions live in a module of its own name
        got = TESSU.__name__
    elif name == "__name__" and got in ("<lambda>", "lambda", "lambda1"):
        got = "<the inner function's own name>"  # the compiled ones are told apart by name
    return got, repr(fn) == f"<function {fn.__qualname__} at {address}"


td.OPS.update(collect=collect, orphan=orphan, inner=inner)


class Finding(AssertionError):
    pass


def judge(sc, fault=0):
    """Both implementations run the program; any disagreement, or a SystemError from the
    compiled side, is a finding. With a fault, the compiled side first runs it alone with
    that call failing."""
    if fault and KNOB is not None:
        faulted(sc, fault)
    sides = []
    for impl in (TESSU, MODEL):
        try:
            sides.append(("ran", td.drive(impl, sc)))
        except Exception as exc:  # the program's own objects may fail where the field is not
            sides.append(("failed", type(exc), str(exc)))
        finally:
            td.RUN[0] = None
    compiled, model = sides
    if compiled[0] == "ran":
        for outcome in compiled[1][1]:
            if outcome[0] == "raise" and issubclass(outcome[1], SystemError):
                raise Finding(f"SystemError: {outcome[2]}")
    if compiled[0] != model[0] or compiled[0] == "failed":
        if compiled != model:
            raise Finding(f"compiled {compiled[1:]!r}, model {model[1:]!r}")
        return
    outcomes = [late_binding(c, m) for c, m in zip(compiled[1][1], model[1][1])]
    td.compare((compiled[1][0], outcomes + compiled[1][1][len(outcomes):], compiled[1][2]),
               model[1])


def faulted(sc, k):
    """The program on the compiled field alone, its k-th fallible call failing as the real
    function fails. The model cannot follow, so only the field's own faults count: a
    SystemError here, and a crash, a sanitizer report or the checked build's abort, which end
    the process. The run that follows, without a fault, shows whatever the failure left
    broken."""
    KNOB.tessu_fault_arm(k)
    try:
        _, outcomes, _ = td.drive(TESSU, sc)
    except SystemError as exc:
        raise Finding(f"SystemError with call {k} failing: {exc}") from exc
    except Exception:  # the program's own objects may fail where the field is not
        return
    finally:
        KNOB.tessu_fault_arm(0)
        td.RUN[0] = None
    for outcome in outcomes:
        if outcome[0] == "raise" and issubclass(outcome[1], SystemError):
            raise Finding(f"SystemError with call {k} failing: {outcome[2]}")


def late_binding(c, m):
    """A method that fails to bind when an override calls it: the compiled method reports
    the failure under its own frame and name, as it does for a direct call, where the
    interpreter names the function by its qualified name before any frame exists."""
    if (c[0] == m[0] == "raise" and c[1] is m[1] is TypeError and len(c[4]) == len(m[4]) + 1
            and c[4][:-1] == m[4] and c[4][-1][0] == "M" and m[2].endswith("." + c[2])):
        return m
    return c


class Rounds:
    """Keeps memory flat: the widgets of every run are collected, and so are the probing
    subclasses that class bodies made."""

    def __init__(self, every=16):
        self.every, self.count = every, 0
        self.bases = {TESSU.TessuAutocomplete, MODEL.TessuAutocomplete}

    def __call__(self):
        for cls in [c for c in td._PROBED if c not in self.bases]:
            del td._PROBED[cls]
        self.count += 1
        if self.count % self.every == 0:
            gc.collect()


def main(one_input):
    # libFuzzer runs its first argument through the shell for -merge and -fork: it has to
    # name this interpreter, not the script alone.
    program = shlex.join([sys.executable, sys.argv[0]])
    atheris.Setup([program, *sys.argv[1:]], one_input)
    atheris.Fuzz()
