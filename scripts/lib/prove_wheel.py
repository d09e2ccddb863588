"""Proves an installed wheel of the field, run by the target's own interpreter with -P from the
repo root: natively by scripts/release/check_dist.sh, in the arm64 root under qemu by
scripts/release/check_arm64.sh, and as python.exe under wine by scripts/release/check_windows.sh.
The scripts only launch it; what is proven, and how it is counted, is written here once.

    python -P scripts/lib/prove_wheel.py --binding NAME --part PART[,PART...] --json PATH
                                         [--timeout S] [--work DIR] [--module-suffix S]
    python scripts/lib/prove_wheel.py --summary PATH...

First the field must be imported from this interpreter's site-packages, never from the
checkout. Then each part runs in a child interpreter of its own:
  smoke      tests/test_module.py and tests/test_construction.py
  typing     tests/test_typing.py (the stub, through mypy)
  reentry    tests/test_reentry.py (the stack guard: small threads, fields wired into loops)
  suite      the whole suite but tests/test_reentry.py
  packaging  tests/test_packaging.py, which must pass, not skip (the caller sets TESSU_DIST)
  demo       the demo's scripted session, offscreen; it must write its screenshots
Counts come from pytest's JUnit reports. The JSON holds the interpreter, binding, Qt and
module file, and per part its counts, seconds and verdict; --summary prints such files, one
line each, and exits 1 unless every one passed.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from pathlib import Path

# Its neighbours, never the checkout's packages: -P keeps the working directory off sys.path.
sys.path.append(os.path.dirname(os.path.abspath(__file__)))
from installed_from import stray_locations  # noqa: E402
from junit_summary import counts as junit_counts  # noqa: E402

MODULE = "zarvel.material.hook_form.tessu_autocomplete"
PYTEST = ["-m", "pytest", "-q", "-rfEs", "-p", "no:cacheprovider"]
PARTS = {
    "smoke": ["tests/test_module.py", "tests/test_construction.py"],
    "typing": ["tests/test_typing.py"],
    "reentry": ["tests/test_reentry.py"],
    "suite": ["tests", "--ignore=tests/test_reentry.py"],
    "packaging": ["tests/test_packaging.py"],
    "demo": None,
}


def say(*words):
    print("prove_wheel.py:", *words, file=sys.stderr, flush=True)


def identity():
    """Where the module comes from, and what it runs on; fails on an import from elsewhere."""
    stray = stray_locations("zarvel")
    if stray:
        sys.exit(f"prove_wheel.py: 'zarvel' would be imported from outside {sys.prefix}: "
                 + ", ".join(stray))
    import importlib

    module = importlib.import_module(MODULE)
    from qtpy import API, API_NAME, PYQT_VERSION, PYSIDE_VERSION
    from qtpy.QtCore import qVersion

    return {
        "python": platform.python_version(),
        "machine": platform.machine(),
        "api": API,
        "api_name": API_NAME,
        "binding_version": PYSIDE_VERSION or PYQT_VERSION,
        "qt": qVersion(),
        "module": os.path.basename(module.__file__),
    }


def run(cmd, timeout):
    """The child's exit status, or a word for how it ended without one."""
    try:
        return subprocess.run(cmd, stdin=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return f"timed out after {timeout} s"


def pytest_part(name, timeout, work):
    report = Path(work) / f"{name}.xml"
    rc = run([sys.executable, "-P", *PYTEST, f"--junitxml={report}", *PARTS[name]], timeout)
    result = {"rc": rc}
    try:
        result.update(junit_counts(report))
    except (OSError, ET.ParseError):
        result.update(passed=0, failed=0, skipped=0)
    # A part that passed nothing proved nothing; packaging that skipped proved nothing either.
    result["ok"] = (rc == 0 and result["passed"] > 0
                    and not (name == "packaging" and result["skipped"]))
    return result


def demo_part(timeout, work):
    shots = Path(work) / "demo"
    rc = run([sys.executable, "-P", "examples/demo_form.py", "--offscreen",
              "--screenshot", str(shots)], timeout)
    n = len(list(shots.glob("*.png"))) if shots.is_dir() else 0
    return {"rc": rc, "screenshots": n, "ok": rc == 0 and n > 0}


def describe(part):
    if "screenshots" in part:
        what = f"{part['screenshots']} screenshots"
    else:
        what = f"{part['passed']} passed, {part['failed']} failed, {part['skipped']} skipped"
    verdict = "ok" if part["ok"] else f"FAILED (exit {part['rc']})"
    return f"{part['name']}: {what} in {part['seconds']} s, {verdict}"


def prove(args):
    t0 = time.monotonic()
    result = {"binding": args.binding, "parts": [], "ok": False}
    try:
        result.update(identity())
    finally:
        # Written before anything else can fail, so that the caller always has a file to read.
        write(args.json, result)
    say("CPython", result["python"], result["machine"], result["api_name"],
        result["binding_version"], "Qt", result["qt"], "module", result["module"])
    if result["api"] != args.binding:
        sys.exit(f"prove_wheel.py: qtpy picked {result['api']}, not {args.binding}")
    if args.module_suffix and not result["module"].endswith(args.module_suffix):
        sys.exit(f"prove_wheel.py: the module is {result['module']}, "
                 f"not a build ending in {args.module_suffix}")
    work = args.work or tempfile.mkdtemp(prefix="prove-")
    for name in args.part:
        say(f"part {name}")
        start = time.monotonic()
        part = demo_part(args.timeout, work) if name == "demo" else pytest_part(
            name, args.timeout, work)
        part = {"name": name, **part, "seconds": round(time.monotonic() - start)}
        result["parts"].append(part)
        say(describe(part))
        write(args.json, result)
    result["ok"] = all(p["ok"] for p in result["parts"])
    result["seconds"] = round(time.monotonic() - t0)
    write(args.json, result)
    return 0 if result["ok"] else 1


def write(path, result):
    Path(path).write_text(json.dumps(result, indent=1) + "\n")


def summary(paths):
    status = 0
    for path in paths:
        try:
            result = json.loads(Path(path).read_text())
        except (OSError, ValueError) as e:
            print(f"{path}: no result ({e})")
            status = 1
            continue
        head = (f"CPython {result.get('python', '?')} {result.get('machine', '?')}, "
                f"{result['binding']} {result.get('binding_version', '?')} "
                f"(Qt {result.get('qt', '?')})")
        parts = "; ".join(describe(p) for p in result["parts"]) or "no part ran"
        print(f"{head}: {parts}")
        status |= not result["ok"]
    return int(status)


def main(argv):
    parser = argparse.ArgumentParser(prog="prove_wheel.py", description=__doc__.split("\n")[0])
    parser.add_argument("--summary", nargs="+", metavar="JSON")
    parser.add_argument("--binding")
    parser.add_argument("--part", type=lambda s: s.split(","))
    parser.add_argument("--json")
    parser.add_argument("--timeout", type=int, default=1800, help="seconds a part may take")
    parser.add_argument("--work", help="directory for the reports and screenshots")
    parser.add_argument("--module-suffix", help="the module's file must end so")
    args = parser.parse_args(argv)
    if args.summary:
        return summary(args.summary)
    if not (args.binding and args.part and args.json):
        parser.error("--binding, --part and --json are needed (or --summary)")
    unknown = [p for p in args.part if p not in PARTS]
    if unknown:
        parser.error(f"unknown part {', '.join(unknown)} (known: {', '.join(PARTS)})")
    return prove(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
