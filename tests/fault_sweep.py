"""Fault-injection sweep of the field's entry points, run by tests/test_nomemory.py against the
checked build (TESSU_CHECKED), or by hand: python -P tests/fault_sweep.py [ENTRY...].

The checked build counts every call out of the module that can fail and, armed with k, makes
the k-th fail as the real function fails (its error value, RuntimeError("injected failure
k") set), once. For an entry point, k = 1, 2, ... runs in a process forked for that try
alone, until a try makes fewer than k such calls. Every try must end in one of:

- the injected exception, at the caller, with the field's traceback entry, which the
  traceback module prints;
- a success identical to a run without failures, when the call that failed is one whose
  failure the field answers by taking the interpreter's full path (FALLBACKS);
- a success with the write-back of set_value skipped, when the call that failed was the
  test for _complete's presence, which counts any failure as absence;
- for an entry point that fails on its own (FAILING), that failure without the field's
  entry, when the call that failed was one making the entry.

Never a crash, a SystemError, another exception or a leaked reference. Each call site in a
method's own file must end at one line of the field's source: the line of its step.

The entry points, the doubles, the pure-Python Qt and the leak count are the allocation-
failure sweep's (tests/nomemory_sweep.py). Prints one JSON object per entry point.
"""

import ctypes
import importlib
import importlib.util
import json
import os
import sys
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import nomemory_sweep as nm  # noqa: E402
from nomemory_sweep import ENTRIES, FRESH, MODULE_NAME, Counted, field_entries, in_child  # noqa: E402

MAX_TRIES = int(os.environ.get("FAULT_MAX_TRIES", "5000"))

# Calls whose failure the field answers by taking the interpreter's own path, which then
# gives the same answer: reading or writing an instance dict directly (calls.h), a type's
# version tag for remembering what it lacks (calls.cpp), the watch that caches module
# globals (module.cpp), and the length of error messages, which only tells the empty ones
# apart (form_state.cpp).
FALLBACKS = {("PyObject_GenericGetDict", "calls.h"),
             ("PyUnstable_Type_AssignVersionTag", "calls.cpp"),
             ("PyDict_AddWatcher", "module.cpp"), ("PyDict_Watch", "module.cpp"),
             ("PyObject_Size", "form_state.cpp")}
METHOD_FILES = ("construct.cpp", "value.cpp", "form_state.cpp")


class HostSaysNo(Exception):
    pass


def refuse(value):
    raise HostSaysNo("no")


# Entry points that fail on their own, so that the field makes its traceback entry: when
# making the entry is what fails, the failure it was for goes on without it (or, when
# recording it fails, becomes the context of the injected one).
FAILING = {"set_value-onChange-raises": nm.on_widget(nm.set_value("c"), onChange=refuse)}
# The field's source line of set_value's write-back, which follows the presence test.
WRITE_BACK_LINE = 112


class Knob:
    """The checked build's exported controls, reached with the interpreter's lock held."""

    def __init__(self, path):
        lib = ctypes.PyDLL(path)
        try:
            self._arm, self._count, self._site = (lib.tessu_fault_arm, lib.tessu_fault_count,
                                                  lib.tessu_fault_site)
        except AttributeError:
            raise SystemExit(f"{path} is no checked build: it has no fault injection") from None
        self._arm.argtypes, self._arm.restype = [ctypes.c_long], None
        self._count.argtypes, self._count.restype = [], ctypes.c_long
        self._site.argtypes, self._site.restype = [], ctypes.c_char_p

    def arm(self, k):
        self._arm(k)

    def outcome(self):
        """Disarms; the calls made and where the failure was injected ((callee, file, line),
        or None)."""
        count, site = self._count(), self._site()
        self._arm(0)
        if site is None:
            return count, None
        callee, _, where = site.decode().partition(" ")
        file, _, line = where.rpartition(":")
        return count, (callee, os.path.basename(file), int(line))


def knob_of_module():
    spec = importlib.util.find_spec(MODULE_NAME)
    return Knob(spec.origin)


def fired(knob, k, call):
    """call() with the k-th call out failing: its exception (or None), the calls counted and
    the site of the failure."""
    knob.arm(k)
    try:
        call()
    except BaseException as e:
        return (e, *knob.outcome())
    return (None, *knob.outcome())


def judge(exc, k, site):
    """The kind of an exception a try ended in, and the fault it shows, if any."""
    if not (type(exc) is RuntimeError and exc.args == (f"injected failure {k}",)):
        return type(exc).__name__, f"{type(exc).__name__}: {exc!r} instead of the injected one"
    if not field_entries(exc):
        files = sorted({f.filename for f in traceback.extract_tb(exc.__traceback__)})
        return "injected", f"no traceback entry of the field's, only {files}"
    try:
        "".join(traceback.format_exception(exc))
    except Exception as e:
        return "injected", f"the traceback module cannot print it: {e!r}"
    return "injected", None


def run_fresh(entry, k):
    knob = knob_of_module()
    load = nm.fresh_loader(entry, lambda: knob.arm(k))
    if entry.startswith("import"):
        exc, count, site = fired(knob, k, load)
    else:
        try:
            load()
            exc = None
        except BaseException as e:
            exc = e
        count, site = knob.outcome()
    if site is None:
        return {"kind": "none", "count": count, "fault": None}
    if exc is None:
        fault = None if site[:2] in FALLBACKS else f"the failure at {site} was swallowed"
        return {"kind": "ok", "site": site, "fault": fault or nm.import_fault()}
    kind, fault = judge(exc, k, site)
    if fault and "no traceback entry" in fault and entry.startswith("import"):
        fault = None  # before the module's own statements, a failure has no line of theirs
    return {"kind": kind, "site": site, "line": nm.field_line(exc), "fault": fault}


def without_write_back(fingerprint):
    trace, state = fingerprint
    return [[t for t in trace if t[0] != "_set_value"], state]


def run_try(entry, k, reference):
    if entry in FRESH:
        return run_fresh(entry, k)
    tessu = importlib.import_module(MODULE_NAME)
    knob = knob_of_module()
    call, fingerprint, handed = (ENTRIES.get(entry) or FAILING[entry])(tessu)
    try:
        call()  # caches of the interpreter and the field fill here, unarmed
    except HostSaysNo:
        pass
    fingerprint()
    counted = Counted(tessu, handed)
    outcome = None
    for attempt in range(2):  # the first decides the outcome; the second's growth is a leak
        if attempt == 1:
            before = counted.snapshot()
        exc, count, site = fired(knob, k, call)
        got = json.loads(json.dumps(fingerprint()))
        if site is None:
            natural = HostSaysNo if entry in FAILING else type(None)
            result = {"kind": "none", "count": count,
                      "fault": None if isinstance(exc, natural) else f"{exc!r} uninjected"}
        elif exc is None:
            fault = None
            if got == reference and site[:2] in FALLBACKS:
                kind = "ok"
            elif got != reference and got == without_write_back(reference):
                kind = "presence-test"
            else:
                kind, fault = "ok", f"the failure at {site} was swallowed: {got!r}"
            result = {"kind": kind, "site": site, "fault": fault}
        elif isinstance(exc, HostSaysNo) and site[:2] in FALLBACKS:
            result = {"kind": "ok", "site": site, "fault": None}  # then failed on its own
        elif site[1] == "traceback.cpp":
            natural = exc if isinstance(exc, HostSaysNo) else exc.__context__
            lost = isinstance(natural, HostSaysNo) and not field_entries(exc)
            result = {"kind": "entry-lost", "site": site,
                      "fault": None if lost else f"{exc!r} when the traceback entry failed"}
        else:
            kind, fault = judge(exc, k, site)
            result = {"kind": kind, "site": site, "line": nm.field_line(exc), "fault": fault}
        exc = None
        outcome = outcome or result
    grown, on = counted.grown(before, counted.snapshot())
    if grown > 0 and outcome["fault"] is None:
        outcome["fault"] = f"{grown} references more after a repeated try, on {on}"
    return outcome


def sweep(entry):
    reference = None if entry in FAILING else in_child(nm.reference_of, entry)
    if isinstance(reference, dict) and reference.get("kind") in ("crash", "driver-error"):
        return {"entry": entry, "tries": 0, "outcomes": {},
                "faults": [f"reference run: {reference['fault']}"]}
    outcomes, faults, results = {}, [], []
    for k in range(1, MAX_TRIES + 1):
        result = in_child(run_try, entry, k, reference)
        if result["kind"] == "none":
            break
        results.append(result)
        outcomes[result["kind"]] = outcomes.get(result["kind"], 0) + 1
        if result["fault"]:
            where = ":".join(map(str, result.get("site") or ()))
            faults.append(f"k={k} ({where}): {result['kind']}: {result['fault']}")
    else:
        faults.append(f"still injecting after {MAX_TRIES} tries")
    faults += presence_faults(results) + line_faults(results)
    return {"entry": entry, "tries": len(results), "outcomes": outcomes, "faults": faults}


def presence_faults(results):
    """The presence test swallows failures of its own read alone: among the tries that the
    fallbacks do not end in success, those without the write-back come in one run, and the
    try after it fails at the write-back."""
    failing = [r for r in results if r["kind"] != "ok"]
    at = [i for i, r in enumerate(failing) if r["kind"] == "presence-test"]
    if not at:
        return []
    if at != list(range(at[0], at[-1] + 1)):
        return [f"write-back skipped in {len(at)} tries, not in one run"]
    after = failing[at[-1] + 1] if at[-1] + 1 < len(failing) else {}
    if after.get("line") != WRITE_BACK_LINE:
        return [f"the try after the presence test ended at line {after.get('line')}"]
    return []


def line_faults(results):
    """A call site in a method's own file serves one step: its failures end at one line.
    The shared helpers (the reads of calls.h, the function type, the import statements and
    the class body's helpers) serve many."""
    lines = {}
    for r in results:
        site = r.get("site")
        if r.get("line") and site and site[1] in METHOD_FILES:
            lines.setdefault(f"{site[1]}:{site[2]} {site[0]}", set()).add(r["line"])
    return [f"{site} ended at lines {sorted(ls)}" for site, ls in lines.items() if len(ls) > 1]


def main(argv):
    return nm.run_sweeps(argv, [*FRESH, *ENTRIES, *FAILING], sweep)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
