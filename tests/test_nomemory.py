"""Every allocation failure inside the field's entry points ends in an exception or in the
success a run without failures has: never a crash, a SystemError, a pending exception, a
skipped step or a leaked reference. The sweep itself is tests/nomemory_sweep.py; each entry
point runs in a process of its own, on the pure-Python Qt and the host doubles.

On the checked build, every call out of the module is then made to fail in turn
(tests/fault_sweep.py): the failure reaches the caller, or is answered as the field answers
it on purpose.

The sweep never touches the binding, so of the suite's runs (one per binding) only the
PySide6 one sweeps, unless NOMEMORY=1. Knob: NOMEMORY_ENTRIES, a space-separated subset of
the entry points (default: all).
"""

import ctypes
import importlib.util
import json
import os
import subprocess
import sys

import pytest

from conftest import MODULE_NAME

HERE = os.path.dirname(os.path.abspath(__file__))
SWEEP = os.path.join(HERE, "nomemory_sweep.py")
FAULT_SWEEP = os.path.join(HERE, "fault_sweep.py")

try:
    import _testcapi

    HAS_NOMEMORY = hasattr(_testcapi, "set_nomemory")
except ImportError:
    HAS_NOMEMORY = False

WANTED = os.environ.get("NOMEMORY") == "1" or os.environ.get("QT_API", "pyside6") == "pyside6"
pytestmark = [
    pytest.mark.skipif(not HAS_NOMEMORY, reason="this interpreter has no "
                       "_testcapi.set_nomemory (Debian: libpython3.X-testsuite)"),
    pytest.mark.skipif(not WANTED, reason="swept once per interpreter, in the PySide6 run"),
    pytest.mark.sweep,
]


def sweep(*args, timeout=600, script=SWEEP):
    # PYTHONPATH passes through: a variant build (coverage, sanitizer) is found through it.
    return subprocess.run([sys.executable, "-P", script, *args], capture_output=True, text=True,
                          timeout=timeout)


def checked_build():
    """The module imported here is the checked build, which can inject failures."""
    spec = importlib.util.find_spec(MODULE_NAME)
    return spec is not None and hasattr(ctypes.PyDLL(spec.origin), "tessu_fault_arm")


def entry_points(script=SWEEP, wanted=True):
    if not (HAS_NOMEMORY and WANTED and wanted):
        return []
    listed = sweep("--list", timeout=120, script=script)
    assert listed.returncode == 0, listed.stderr
    chosen = os.environ.get("NOMEMORY_ENTRIES", "").split()
    return [e for e in listed.stdout.split() if not chosen or e in chosen]


ENTRY_POINTS = entry_points()
# Where a single failure must surface, by the field's source line: the write-back probe of
# set_value (111) once reported success when its read failed for want of memory.
MUST_FAIL_AT = {"set_value-allocating-reads": {111}}


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_every_allocation_failure_is_an_exception_or_a_full_success(entry):
    proc = sweep(entry)
    reports = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    assert reports, f"sweep gave no report (exit {proc.returncode}):\n{proc.stderr[-4000:]}"
    report = reports[0]
    print(f"{entry}: every allocation from the k-th on failing: {report['tries']} tries, "
          f"{report['successes']} success, exceptions {report['exceptions']}; "
          f"the k-th alone: {report['window_tries']} tries, {report['window_exceptions']}")
    assert report["faults"] == [], "\n".join(report["faults"][:20])
    assert report["successes"] == 1
    assert set(report["exceptions"]) <= {"MemoryError"}, report["exceptions"]
    assert set(report["window_exceptions"]) <= {"MemoryError", "MemoryError-outside", "ok"}
    assert MUST_FAIL_AT.get(entry, set()) <= set(report["window_lines"])
    assert proc.returncode == 0, proc.stderr[-4000:]


FAULT_ENTRY_POINTS = entry_points(FAULT_SWEEP, checked_build())


@pytest.mark.parametrize("entry", FAULT_ENTRY_POINTS)
def test_every_call_out_made_to_fail_reaches_the_caller(entry):
    proc = sweep(entry, script=FAULT_SWEEP)
    reports = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    assert reports, f"sweep gave no report (exit {proc.returncode}):\n{proc.stderr[-4000:]}"
    report = reports[0]
    print(f"{entry}: {report['tries']} calls out made to fail: {report['outcomes']}")
    assert report["faults"] == [], "\n".join(report["faults"][:20])
    assert report["outcomes"].get("injected"), "no failure reached the caller"
    assert proc.returncode == 0, proc.stderr[-4000:]
