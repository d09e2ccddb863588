"""Allocation-failure sweep of the field's entry points, run by tests/test_nomemory.py (or by
hand: python -P tests/nomemory_sweep.py [ENTRY...], `--list` names them).

For an entry point, try k = 0, 1, 2, ... makes every allocation from the k-th on fail
(_testcapi.set_nomemory(k, 0)), in a process forked for that try alone, until the call
succeeds. Every try must end in success, or in an exception that is not a SystemError and
that carries the field's traceback entry whenever the field was entered; a success must
leave what a run without failures leaves (the host doubles' trace and the widget's state);
a try repeated must not grow any counted reference. A crash of the forked process is
reported with its signal, and ends nothing but that try.

The field runs on the pure-Python Qt of tests/pure_qt and the doubles of tests/doubles.py:
an allocation that fails inside a binding tests the binding, not the field.

Then each allocation the call makes fails alone (set_nomemory(k, k + 1)): there a failure
the field swallows shows as a success that differs, and the field's traceback entry is
required of every exception, since the memory to make it is there again.

Prints one JSON object per entry point on standard output.
"""

import ctypes
import gc
import importlib
import importlib.util
import json
import os
import select
import sys
import traceback
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "pure_qt"), HERE]

import _testcapi  # noqa: E402

import qtpy  # noqa: E402

assert qtpy.API_NAME == "pure", qtpy.__file__

from conftest import MODULE_NAME, SOURCE_PATH  # noqa: E402

# What the module imports, imported before any try: their allocations are not the field's.
PRELOAD = ("typing", "qtpy.QtCore", "qtpy.QtWidgets", "zarvel.material.styles", "zarvel.hooks",
           "zarvel.hooks.use_state", "zarvel.material.controller",
           "zarvel.material.textfield.textfield", "zarvel.material.auto_complete.complete",
           "zarvel.material.hook_form", "doubles", "traceback", "linecache", "json")
for _name in PRELOAD:
    importlib.import_module(_name)

from doubles import Host  # noqa: E402
from zarvel.hooks import State  # noqa: E402

# The C library's exit, not os._exit: it runs the destructors that write a coverage build's
# counts, so what the tries reach is counted.
_exit = ctypes.CDLL(None).exit
_exit.argtypes = [ctypes.c_int]
TRY_TIMEOUT = float(os.environ.get("NOMEMORY_TRY_TIMEOUT", "20"))


# The import's single failures land mostly in the interpreter's own making of types and
# dicts, where CPython 3.13.0 returns failure without an exception (PyType_FromSpec) or
# crashes (a dict resized after a failed allocation); the tail sweep covers the import, and
# the class statement's windows the field's part of it.
IMPORT_WINDOWS = os.environ.get("NOMEMORY_IMPORT_WINDOWS") == "1"
MAX_TRIES = int(os.environ.get("NOMEMORY_MAX_TRIES", "20000"))
HAS_TOTAL = hasattr(sys, "gettotalrefcount")


def armed(k, call, window=False):
    """call() with every allocation from the k-th on failing; the exception it raised, or
    None. Kept this short on purpose: catching an exception pushes the handler's bytecode
    offset as an int, which a large offset must allocate, and with every allocation failing
    the interpreter would retry that forever."""
    _testcapi.set_nomemory(k, k + 1 if window else 0)
    try:
        call()
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        return e
    _testcapi.remove_mem_hooks()
    return None


def field_entries(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.filename == SOURCE_PATH]


def field_line(exc):
    """The line of the field's innermost traceback entry: where it failed."""
    lines = [f.lineno for f in traceback.extract_tb(exc.__traceback__)
             if f.filename == SOURCE_PATH]
    return lines[-1] if lines else None


def immortal(obj):
    check = getattr(sys, "_is_immortal", None)
    return check(obj) if check else sys.getrefcount(obj) >= 1 << 30


class Counted:
    """Reference counts that a leak would move: the interpreter's total on a debug build,
    else those of the objects handed in and of every shared object the field holds (its
    class and members, the names of its attributes, the module's namespace)."""

    def __init__(self, tessu, handed):
        objs = list(handed)
        if tessu is not None:
            cls = tessu.TessuAutocomplete
            objs += [cls, *type(cls).__mro__, *cls.__mro__]
            for value in vars(cls).values():
                objs.append(value)
                for part in ("fget", "fset", "__code__", "__defaults__", "__annotations__"):
                    objs.append(getattr(value, part, None))
            names = vars(tessu)
            objs += [*names, *names.values()]
            objs += [sys.intern(n) for n in ("_key", "_state", "_setState", "_name", "_label",
                                              "_value", "_selected", "_helperText", "_onChange",
                                              "_stateSignal", "_complete", "lbl_helper_text",
                                              "value", "valueChanged", "emit", "get", "field",
                                              "error", "error_message", "slot", "message")]
        seen, self.objs = set(), []
        for o in objs:
            if o is not None and id(o) not in seen and not immortal(o):
                seen.add(id(o))
                self.objs.append(o)

    def snapshot(self):
        gc.collect()
        # The interpreter's type cache holds a reference to every attribute name it caches, in
        # slots picked by the name's address: which names hold one more after a try is chance.
        sys._clear_internal_caches()
        counts = [sys.getrefcount(o) for o in self.objs]
        return (sys.gettotalrefcount() if HAS_TOTAL else 0), counts

    def grown(self, before, after):
        """How many references more, and on what."""
        on = [f"{type(o).__name__} {o!r:.60}" for o, b, a in zip(self.objs, before[1], after[1])
              if a > b]
        if HAS_TOTAL:
            return after[0] - before[0], on
        return sum(max(0, a - b) for a, b in zip(after[1], before[1])), on


# ---- Entry points ---------------------------------------------------------------------
# Each: a setup that runs unarmed in the try's process and gives (call, fingerprint, handed);
# call() is the entry point, fingerprint() what a success must leave.


class AllocatingRead:
    """An attribute whose every read allocates, as reads through a binding's wrappers do."""

    def __set_name__(self, owner, name):
        self.name, self.key = name, "_read_" + name

    def __get__(self, obj, objtype=None):
        if obj is None:
            return self
        if self.key not in obj.__dict__:
            raise AttributeError(self.name)
        return [obj.__dict__[self.key]][0]

    def __set__(self, obj, value):
        obj.__dict__[self.key] = value


def host_field(tessu, fake, cls=None, **kwargs):
    for name, value in fake.names().items():
        vars(tessu)[name] = value
    if cls is not None:
        cls = type("Field", (tessu.TessuAutocomplete,), {n: AllocatingRead() for n in cls})
    w = (cls or tessu.TessuAutocomplete)("field", **kwargs)
    fake.trace.clear()
    return w


def widget_state(w):
    caption = w.__dict__.get("lbl_helper_text")
    keys = sorted(k.removeprefix("_read_") for k in vars(w) if not k.startswith("_signal_"))
    return [keys, repr(w.__dict__.get("_value")),
            caption and (caption.text(), caption.styleSheet(), caption.isVisible())]


def trace_of(fake):
    return [(name, len(args), [k for k, _ in kwargs]) for name, args, kwargs in fake.trace]


class Pair:
    """A state pair that is neither tuple nor list: unpacked by iterating it."""

    def __init__(self, *items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


class Opaque:
    """A value of no built-in type: whether it equals [] is its own business."""


def entry_construct(pair=False, **kwargs):
    def setup(tessu):
        fake = Host()
        if pair:
            fake.state_pair = Pair(fake.state, fake.setState)
        for name, value in fake.names().items():
            vars(tessu)[name] = value
        made = [None]  # a slot, so that keeping the widget allocates nothing

        def call():
            made[0] = tessu.TessuAutocomplete("field", "k1", "Label", **kwargs)

        def fingerprint():
            out = [trace_of(fake), widget_state(made[0]) if made[0] is not None else None]
            fake.forget()
            made[0] = None
            return out
        return call, fingerprint, list(kwargs.values())
    return setup


def on_widget(op, reads=None, **build):
    def setup(tessu):
        fake = Host()
        w = host_field(tessu, fake, reads, **build)
        call, handed = op(tessu, w, fake)

        def fingerprint():
            out = [trace_of(fake), widget_state(w)]
            fake.trace.clear()
            return out
        return call, fingerprint, [w, *handed]
    return setup


def set_value(*args, **kwargs):
    def op(tessu, w, fake):
        fn = w.set_value
        return (lambda: fn(*args, **kwargs)), [*args, *kwargs.values()]
    return op


def state(form_state):
    def op(tessu, w, fake):
        fn = w.state
        return (lambda: fn(form_state)), [form_state]
    return op


class FormState(dict):
    pass


class Messages:
    """Error messages with a length and indexing of their own."""

    def __len__(self):
        return 1

    def __getitem__(self, index):
        return "custom"


class Connectable:
    def __init__(self):
        self.slots = []

    def connect(self, slot):
        self.slots.append(slot)


def assign_signal(make, slots):
    def op(tessu, w, fake):
        signal = make()
        connected = slots(signal)

        def call():
            connected.clear()  # each assignment connects once more; only the last counts
            w.stateSignal = signal
        return call, [signal]
    return op


def read_signal(tessu, w, fake):
    w.stateSignal = Connectable()
    return (lambda: w.stateSignal), []


def change(tessu, w, fake):
    fn, value = fake.autocomplete.onChange, "picked"
    return (lambda: fn(value)), [value]


class Params:
    """Keyword arguments in a mapping that is no dict: merged through its keys() and items."""

    def __init__(self, **pairs):
        self.pairs = pairs

    def keys(self):
        return list(self.pairs)

    def __getitem__(self, key):
        return self.pairs[key]


def render_input(tessu, w, fake, params=None):
    fn = fake.autocomplete.renderInput
    params = params or {"placeholder": "p", "parent": None}
    return (lambda: fn(params)), [params]


def on_change(value):
    pass


class Plain:
    pass


def plain(**attrs):
    obj = Plain()
    vars(obj).update(attrs)
    return obj


def on_plain(op):
    """A method called on a plain object whose methods live in instance dicts, where the
    field reads them directly, and whose log is the fingerprint."""
    def setup(tessu):
        for name, value in Host().names().items():
            vars(tessu)[name] = value
        log = []
        record = lambda *entry: log.append(entry)  # noqa: E731
        field = plain(_set_value=lambda **kw: record("_set_value", kw["value"]),
                      _set_slot=lambda request: record("_set_slot", sorted(request)))
        caption = plain(setText=lambda text: record("setText", text),
                        setStyleSheet=lambda sheet: record("setStyleSheet", sheet),
                        isVisible=lambda: False, show=lambda: record("show"),
                        hide=lambda: record("hide"))
        obj = plain(_value=None, _selected=False, _onChange=None, _key=None, _name="field",
                    _setState=lambda v: record("setState", v), lbl_helper_text=caption,
                    valueChanged=plain(emit=lambda v: record("emit", v)),
                    _complete=plain(_inputField=field))
        call = op(tessu.TessuAutocomplete, obj)

        def fingerprint():
            out = [list(log), None]  # shaped as the widgets' (trace, state)
            log.clear()
            return out
        return call, fingerprint, [obj]
    return setup


def field_state(**kw):
    return FormState(field="field", **kw)


ENTRIES = {
    "construct-minimal": entry_construct(),
    "construct-kwargs": entry_construct(options=["red", "green"], placeholder="pick"),
    "construct-iterable-state": entry_construct(pair=True),
    "set_value-none": on_widget(set_value()),
    "set_value-int": on_widget(set_value(12345)),
    "set_value-float": on_widget(set_value(1.5)),
    "set_value-object": on_widget(set_value(Opaque())),
    "set_value-text": on_widget(set_value("value")),
    "set_value-empty-list": on_widget(set_value([])),
    "set_value-list": on_widget(set_value(["a", "b"])),
    "set_value-dict": on_widget(set_value({"value": "v", "other": 1})),
    "set_value-dict-without-value": on_widget(set_value({"x": 1})),
    "set_value-nested-dict": on_widget(set_value({"value": {"x": 1}})),
    "set_value-keyword": on_widget(set_value(value="kw")),
    "set_value-selected-state": on_widget(set_value("s"), selected=State()),
    "set_value-onChange": on_widget(set_value("c"), onChange=on_change),
    "set_value-allocating-reads": on_widget(set_value("r"), reads=("_complete",)),
    "set_value-traced-key": on_widget(set_value("t"), key="Resolution_keyyyyyyyyyyyyy"),
    "state-other-field": on_widget(state(FormState(field="elsewhere", error=True))),
    "state-valid": on_widget(state(field_state(error=False))),
    "state-error-list": on_widget(state(field_state(error=True, error_message=["bad", "w"]))),
    "state-error-tuple": on_widget(state(field_state(error=True, error_message=("bad",)))),
    "state-error-text": on_widget(state(field_state(error=True, error_message="text"))),
    "state-error-none": on_widget(state(field_state(error=True, error_message=None))),
    "state-error-empty-list": on_widget(state(field_state(error=True, error_message=[]))),
    "state-error-sequence": on_widget(state(field_state(error=True,
                                                        error_message=Messages()))),
    "state-dict": on_widget(state({"field": "field", "error": True, "error_message": ["d"]})),
    "stateSignal-get": on_widget(read_signal),
    "stateSignal-set-connectable": on_widget(assign_signal(Connectable, lambda s: s.slots)),
    "stateSignal-set-qt-signal": on_widget(assign_signal(
        lambda: type("Source", (qtpy.QtCore.QObject,),
                     {"changed": qtpy.QtCore.Signal(object)})().changed, lambda s: s._slots)),
    "set_value-plain-object": on_plain(lambda cls, obj: lambda: cls.set_value(obj, "p")),
    "state-plain-object": on_plain(lambda cls, obj: lambda: cls.state(
        obj, FormState(field="field", error=True, error_message=["bad"]))),
    "lambda-change": on_widget(change),
    "lambda1-render-input": on_widget(render_input),
    "lambda1-render-input-mapping": on_widget(
        lambda tessu, w, fake: render_input(tessu, w, fake, Params(placeholder="p"))),
}
# Entry points that need the module not yet imported.
FRESH = ("import", "import-from-sys-modules", "class-statement", "class-statement-prepared")


def unbind_name():
    """A name that its module does not bind, found as a submodule in sys.modules instead (as
    in a circular import): the import statement's fallback."""
    styles = sys.modules["zarvel.material.styles"]
    stand_in = types.ModuleType("zarvel.material.styles.useTheme")
    del styles.useTheme
    sys.modules[stand_in.__name__] = stand_in


def prepared_base():
    """QFrame behind a base that is no class (__mro_entries__), whose metaclass prepares a
    namespace that is no plain dict: the class statement's rarer turns."""
    real = qtpy.QtWidgets.QFrame

    class Namespace(dict):
        pass

    class Meta(type(real)):
        @classmethod
        def __prepare__(mcs, name, bases):
            return Namespace()

    class Alias:
        def __mro_entries__(self, bases):
            return (prepared,)
    prepared = Meta("Prepared", (real,), {})
    qtpy.QtWidgets.QFrame = Alias()


def classify(exc, window):
    """The kind of an exception a try ended in, and the fault it shows, if any.

    Its traceback must hold the field's entry: the field adds one to every failure that
    passes through it. Only when every allocation fails can it go without, and where the
    failure was outside the field: in the interpreter's call machinery around the entry
    point (the instance allocated before __init__, a property's argument tuple), which
    leaves no frame but this driver's. A failure that came through other Python code (the
    doubles, the host, the Qt stand-in) and then through the field without an entry is a
    fault in either mode."""
    name = type(exc).__name__
    if isinstance(exc, SystemError):
        return name, f"SystemError: {exc}"
    if field_entries(exc):
        return name, None
    files = {f.filename for f in traceback.extract_tb(exc.__traceback__)}
    if isinstance(exc, MemoryError) and files <= {__file__}:
        return (name + "-outside" if window else name), None
    if isinstance(exc, MemoryError) and not window:
        return name, None
    return name, f"{name} without the field's traceback entry: {exc!r} from {sorted(files)}"


def fresh_loader(entry, at_class_statement):
    """The import of the module as the import system makes it for an extension (its create
    and exec steps); for the class statement alone, at_class_statement() is called as the
    statement reads Autocomplete from its module, the last import before it."""
    import _imp

    spec = importlib.util.find_spec(MODULE_NAME)
    if entry == "class-statement-prepared":
        prepared_base()
    if entry == "import-from-sys-modules":
        unbind_name()
    if entry.startswith("class-statement"):
        source = sys.modules["zarvel.material.auto_complete.complete"]

        class Arming(types.ModuleType):
            def __getattribute__(self, name):
                value = super().__getattribute__(name)
                if name == "Autocomplete":
                    at_class_statement()
                return value
        source.__class__ = Arming

    def load():
        _imp.exec_dynamic(_imp.create_dynamic(spec))
    return load


def import_fault():
    """What an import that succeeded left out, or None."""
    module = sys.modules.get(MODULE_NAME)
    cls = vars(module).get("TessuAutocomplete") if module else None
    members = sorted(vars(cls)) if cls else []
    missing = [m for m in ("valueChanged", "__init__", "set_value", "stateSignal", "state")
               if m not in members]
    if module is None or missing or "__test__" not in vars(module):
        return f"import succeeded without {missing or '__test__'}"
    return None


def run_fresh(entry, k, window):
    """The import, or its class statement alone: armed at the start, or at the class
    statement."""
    load = fresh_loader(entry, lambda: _testcapi.set_nomemory(k, k + 1 if window else 0))
    exc = armed(k if entry.startswith("import") else 1 << 30, load, window)
    if exc is not None:
        kind, fault = classify(exc, window)
        return {"kind": kind, "fault": fault, "line": field_line(exc)}
    return {"kind": "ok", "fault": import_fault()}


def run_try(entry, k, reference, window):
    if entry in FRESH:
        return run_fresh(entry, k, window)
    tessu = importlib.import_module(MODULE_NAME)
    call, fingerprint, handed = ENTRIES[entry](tessu)
    call()  # caches of the interpreter and the field fill here, unarmed
    fingerprint()
    counted = Counted(tessu, handed)
    outcome = None
    for attempt in range(2):  # the first decides the outcome; the second's growth is a leak
        if attempt == 1:
            before = counted.snapshot()
        exc = armed(k, call, window)
        line = None
        if exc is not None:
            kind, fault = classify(exc, window)
            line = field_line(exc)
            exc = None
        else:
            kind, fault = "ok", None
        got = json.loads(json.dumps(fingerprint()))  # also drops what the doubles recorded
        if kind == "ok" and reference is not None and got != reference:
            fault = f"success that differs from a run without failures: {got!r}"
        outcome = outcome or {"kind": kind, "fault": fault, "line": line}
    grown, on = counted.grown(before, counted.snapshot())
    if grown > 0 and outcome["fault"] is None:
        outcome["fault"] = f"{grown} references more after a repeated try, on {on}"
    return outcome


def reference_of(entry):
    if entry in FRESH:
        return None
    tessu = importlib.import_module(MODULE_NAME)
    call, fingerprint, _ = ENTRIES[entry](tessu)
    call()
    fingerprint()
    call()
    return json.loads(json.dumps(fingerprint()))


def in_child(fn, *args):
    """fn(*args) in a forked process; its JSON-able result, or what ended the process."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        code = 0
        try:
            data = json.dumps(fn(*args)).encode()
        except BaseException as e:
            data = json.dumps({"kind": "driver-error",
                               "fault": f"{type(e).__name__}: {e}"}).encode()
            code = 3
        os.write(write_end, data)
        os.close(write_end)
        _exit(code)
    os.close(write_end)
    chunks = []
    while True:
        if not select.select([read_end], [], [], TRY_TIMEOUT)[0]:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            os.close(read_end)
            return {"kind": "hang", "fault": f"no result within {TRY_TIMEOUT:g} s"}
        chunk = os.read(read_end, 1 << 16)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return {"kind": "crash", "fault": f"killed by signal {os.WTERMSIG(status)}"}
    if not chunks:
        return {"kind": "crash", "fault": f"exit {os.waitstatus_to_exitcode(status)}, no result"}
    return json.loads(b"".join(chunks))


def sweep(entry):
    """The tail sweep (every allocation from the k-th on fails) up to the first success,
    then one window per allocation that it showed the call makes (the k-th alone fails):
    a failure that the field swallows only shows when the allocations after it succeed."""
    reference = in_child(reference_of, entry)
    if isinstance(reference, dict) and reference.get("kind") in ("crash", "driver-error"):
        return {"entry": entry, "tries": 0, "successes": 0, "exceptions": {},
                "window_tries": 0, "window_exceptions": {},
                "faults": [f"reference run: {reference['fault']}"]}
    counts, window_counts, faults, tries, success = {}, {}, [], 0, False
    lines = set()  # the field's lines that the single failures ended at
    for k in range(MAX_TRIES):
        tries += 1
        result = in_child(run_try, entry, k, reference, False)
        if result["fault"]:
            faults.append(f"k={k}: {result['kind']}: {result['fault']}")
        if result["kind"] == "ok":
            success = True
            break
        counts[result["kind"]] = counts.get(result["kind"], 0) + 1
    else:
        faults.append(f"no success within {MAX_TRIES} tries")
    windows = tries - 1 if not entry.startswith("import") or IMPORT_WINDOWS else 0
    for k in range(windows):
        result = in_child(run_try, entry, k, reference, True)
        if result["fault"]:
            faults.append(f"window k={k}: {result['kind']}: {result['fault']}")
        window_counts[result["kind"]] = window_counts.get(result["kind"], 0) + 1
        if result.get("line"):
            lines.add(result["line"])
    return {"entry": entry, "tries": tries, "successes": int(success), "exceptions": counts,
            "window_tries": windows, "window_exceptions": window_counts,
            "window_lines": sorted(lines), "faults": faults}


def run_sweeps(argv, names, sweep):
    """A sweep's command line: `--list` names the entry points; otherwise one JSON report per
    chosen entry point (all by default), and exit status 1 if any shows a fault."""
    if argv[:1] == ["--list"]:
        print("\n".join(names))
        return 0
    chosen = argv or names
    unknown = [n for n in chosen if n not in names]
    if unknown:
        print("unknown entry points: " + ", ".join(unknown), file=sys.stderr)
        return 2
    failed = 0
    for entry in chosen:
        report = sweep(entry)
        failed |= bool(report["faults"])
        print(json.dumps(report), flush=True)
    return 1 if failed else 0


def main(argv):
    return run_sweeps(argv, [*FRESH, *ENTRIES], sweep)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
