"""Fields that call back into themselves, and functions outliving what they captured.

A callback can lead straight back into a method with no Python code in between, so the
interpreter's own recursion limit never sees it. Each case runs in a child process: a crash
there is a failed test instead of the end of the suite.
"""

import gc
import json
import os
import subprocess
import sys
import threading
import weakref
from pathlib import Path

import pytest

from conftest import SOURCE_PATH, qualified
from doubles import Host, traceback_entries

TESTS = Path(__file__).parent
RECURSION = "maximum recursion depth exceeded while calling a Python object"


def run_child(script, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [os.environ.get("PYTHONPATH"), str(TESTS)])))
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True,
                          text=True, timeout=300, env=env)


# Each way of routing a method back into itself through the host's own calls.
LOOPS = r'''
import json, sys, threading, traceback
from types import SimpleNamespace
from qtpy.QtWidgets import QApplication
app = QApplication.instance() or QApplication([])
import zarvel.material.hook_form.tessu_autocomplete as m
from doubles import Host
for name, value in Host().names().items():
    setattr(m, name, value)

def looped(path):
    w = m.TessuAutocomplete("f")
    if path == "onChange":
        w._onChange = w.set_value
    elif path == "setState":
        w._setState = w.set_value
    elif path == "emit":
        w.valueChanged = SimpleNamespace(emit=w.set_value)
    else:
        w._name = None
        w._complete._inputField._set_slot = w.state
        return lambda: w.state({"field": None, "error": False})
    return lambda: w.set_value(1)

results = {}
def run():
    # A call that does not come back into itself works on any thread the binding can use,
    # however small.
    try:
        m.TessuAutocomplete("plain").set_value(1)
        results["shallow"] = "returned"
    except Exception as exc:
        results["shallow"] = repr(exc)
    for path in ("onChange", "setState", "emit", "state"):
        try:
            looped(path)()
            results[path] = "returned"
        except RecursionError as exc:
            # On a large stack the doubles' own Python code may reach the interpreter's limit
            # first; only an entry of the module's is checked.
            innermost = traceback.extract_tb(exc.__traceback__)[-1]
            printed = "".join(traceback.format_exception(exc)).endswith(str(exc) + "\n")
            where = [innermost.name, innermost.lineno] if innermost.filename == sys.argv[2] else []
            results[path] = [str(exc).startswith("maximum recursion depth exceeded"), printed,
                             *where]
threading.stack_size(int(sys.argv[1]))
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(json.dumps(results))
'''


# Under 256K the guard keeps less than its full reserve (stack.h: reserve_for).
# PyQt5's widget constructor alone overflows a 64 KiB thread, before the field's code runs.
PYQT5_WIDGET_TOO_DEEP = pytest.mark.skipif(
    os.environ.get("QT_API") == "pyqt5", reason="PyQt5 cannot build a widget on a 64 KiB thread")


@pytest.mark.parametrize("stack", [pytest.param(64 << 10, marks=PYQT5_WIDGET_TOO_DEEP), 128 << 10,
                                   256 << 10, 512 << 10, 1 << 20, 8 << 20],
                         ids=["64K", "128K", "256K", "512K", "1M", "8M"])
def test_reentry_without_python_code_raises_recursion_error(stack):
    try:
        threading.stack_size(threading.stack_size(stack))
    except ValueError:  # aarch64 glibc's smallest thread stack is 128K
        pytest.skip(f"this platform creates no thread of {stack >> 10} KiB")
    proc = run_child(LOOPS, str(stack), SOURCE_PATH)
    assert proc.returncode == 0, proc.stderr[-3000:]
    results = json.loads(proc.stdout.splitlines()[-1])
    assert results.pop("shallow") == "returned"
    if stack < 128 << 10 and sys.version_info >= (3, 14):
        # From 3.14 the interpreter guards its own C stack, with a margin that leaves a thread
        # this small no room to handle the RecursionError in Python code (the traceback module
        # overflows again); a plain call still works, and nothing crashes.
        return
    set_value = qualified("TessuAutocomplete.set_value")
    state = qualified("TessuAutocomplete.state")
    for path, (recursion, printed, *where) in results.items():
        assert recursion and printed, path
        # The guard refuses at a method's entry (98, 131). The interpreter's own limit may
        # refuse a Python function of the doubles before its frame runs: then the entry is
        # the line that called it, the write-back (112) or the theme's read (132).
        assert where in ([], [set_value, 98], [set_value, 112], [state, 131], [state, 132]), path
    assert results["onChange"] == results["emit"] == [True, True, set_value, 98]


# A field wired to itself, or two fields wired to each other, on the real host: the binding
# delivers each level through its signal emission, and reports the innermost failure as it
# reports any exception in a slot. PyQt's own hook aborts on purpose, so there the child
# installs one, as applications and pytest-qt do. On 128K the guard keeps half the stack, not
# its full reserve; under that a binding's own frames may not fit (stack.h: reserve_for).
WIRED = r'''
import sys, threading, traceback
from qtpy import API_NAME
from qtpy.QtWidgets import QApplication
app = QApplication.instance() or QApplication([])
from zarvel.material.hook_form.tessu_autocomplete import TessuAutocomplete
if not API_NAME.startswith("PySide"):
    sys.excepthook = traceback.print_exception

def run():
    a, b = TessuAutocomplete("a"), TessuAutocomplete("b")
    if sys.argv[1] == "self":
        a.valueChanged.connect(a.set_value)
    else:
        a.valueChanged.connect(b.set_value)
        b.valueChanged.connect(a.set_value)
    a.set_value("x")
    print("set_value returned", a._value, b._value, flush=True)

if sys.argv[2] == "main":
    run()
else:
    threading.stack_size(int(sys.argv[2]))
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
'''


# PyQt reports the innermost failure through sys.excepthook, in Python, at the bottom of the
# stack: on 128K, half the stack is less than that report takes. So is it for any binding
# under the sanitizers, whose frames are larger.
PYQT_REPORT_TOO_DEEP = pytest.mark.skipif(
    os.environ.get("QT_API", "pyside6").startswith("pyqt") or "libasan" in os.environ.get(
        "LD_PRELOAD", ""),
    reason="the binding's report of a slot's exception needs more than half of 128K")


@pytest.mark.parametrize("thread",
                         ["main", pytest.param(str(128 << 10), marks=PYQT_REPORT_TOO_DEEP),
                                    str(512 << 10)],
                         ids=["main", "128K", "512K"])
@pytest.mark.parametrize("wiring", ["self", "mutual"])
def test_wired_fields_report_recursion_instead_of_crashing(wiring, thread):
    proc = run_child(WIRED, wiring, thread)
    assert proc.returncode == 0, proc.stderr[-3000:]
    # On Windows, CPython 3.13 gives a thread 3000 C levels, and an echo spends them before
    # the stack guard's reserve is reached. PyQt reports the slot's exception there, at the
    # bottom, where the interpreter has no level left to format a traceback: it dumps the
    # exception object instead ("lost sys.stderr"), the same RecursionError.
    dumped = sys.platform == "win32" and f"RecursionError('{RECURSION}')" in proc.stderr
    assert f"RecursionError: {RECURSION}" in proc.stderr or dumped, proc.stderr[-3000:]
    assert "Fatal" not in proc.stderr
    expected = "x None" if wiring == "self" else "x x"
    assert proc.stdout.splitlines()[-1] == f"set_value returned {expected}"


@pytest.mark.parametrize("which, args, line", [("onChange", (1,), 44),
                                               ("renderInput", ({},), 45)])
def test_inner_function_cleared_by_the_collector_raises_name_error(tessu, host, qapp, which, args,
                                                                  line):
    fake = Host()
    host(**fake.names())
    # The collector clears the oldest garbage first. With no collection before the final one,
    # the function is older than its holder there, whatever ran before this test.
    gc.collect()
    gc.disable()
    try:
        w, errors = tessu.TessuAutocomplete("f"), collect_and_call(fake, which, args)
    finally:
        gc.enable()
    if not finalizer_weakrefs_fire_during_collection():
        # Later releases (3.13.x among them) clear such weak references without calling
        # back: nothing can reach the cleared function, and nothing called it.
        assert errors == []
        return
    assert len(errors) == 1, errors
    assert str(errors[0]) == ("free variable 'self' referenced before assignment in enclosing "
                              "scope")
    name = "lambda" if which == "onChange" else "lambda1"
    assert traceback_entries(errors[0], SOURCE_PATH) == [
        (qualified(f"TessuAutocomplete.__init__.{name}"), line)]
    del w


def finalizer_weakrefs_fire_during_collection():
    """Whether a weak reference that a finalizer takes to garbage calls back while the
    collector clears that garbage, as it did up to 3.13.0."""
    fired = []

    class Holder:
        pass

    class Finalized:
        def __del__(self):
            fired.append(weakref.ref(self.holder, lambda _: fired.append(True)))

    holder, finalized = Holder(), Finalized()
    holder.cycle, finalized.holder, finalized.cycle = holder, holder, finalized
    del holder, finalized
    gc.collect()
    return True in fired


def collect_and_call(fake, which, args):
    """Calls the widget's inner function `which` from a weak-reference callback while the
    collector is clearing a cycle that holds it; returns what the call raised."""
    fn = getattr(fake.autocomplete, which)
    fake.autocomplete.onChange = fake.autocomplete.renderInput = None
    fake.autocomplete.kwargs = None
    fake.forget()
    outcome = []

    # A finalizer in a garbage cycle takes weak references to the function and to its holder;
    # the holder's death calls the function after the collector has cleared it.
    class Holder:
        pass

    class Finalized:
        def __del__(self):
            fn_ref = weakref.ref(self.holder.fn)
            outcome.append(weakref.ref(self.holder, lambda _: outcome.append(call(fn_ref))))

    def call(fn_ref):
        try:
            return fn_ref()(*args)
        except NameError as exc:
            return exc

    holder = Holder()
    holder.fn, holder.cycle = fn, holder
    finalized = Finalized()
    finalized.holder, finalized.fn, finalized.cycle = holder, fn, finalized
    del fn, holder, finalized
    gc.collect()
    return [o for o in outcome if not isinstance(o, weakref.ref)]
