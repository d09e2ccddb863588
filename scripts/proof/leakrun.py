"""Run by scripts/proof/leakrun.sh.

Total-reference leak run: every path of the soak in tests/test_reliability.py, on a debug
interpreter, counted by sys.gettotalrefcount() and sys.getallocatedblocks().

The soak watches the objects handed in and what tracemalloc sees; a reference leaked to a
shared object that already exists (an interned name, a type, a module-state constant)
allocates nothing and touches none of those. The interpreter's total sees it. A binding's
release-built code moves the total on its own (it frees through its own, uncounted
decrements what the interpreter counted when it was made), so the paths run on the
pure-Python Qt of tests/pure_qt, under the real host stand-in.

Per path: warm-up rounds, then counted rounds, each round the path's operation OPS times and
a collection. Growth in every counted round, of either figure, is a leak (the rule of
CPython's own refleak runs: a cache that fills once grows in one round, not in all).

    python -X dev scripts/proof/leakrun.py [--rounds W:C] [--ops N] [PATH-SUBSTRING...]

Exit status 1 when a path leaks, 2 when the setup is wrong.
"""

import argparse
import gc
import os
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(REPO, "tests", "pure_qt"), os.path.join(REPO, "tests")]

import pytest  # noqa: E402
import qtpy  # noqa: E402

if getattr(qtpy, "API_NAME", None) != "pure":
    sys.exit(f"leakrun: qtpy is {qtpy.__file__}, not the pure-Python stand-in")
if not hasattr(sys, "gettotalrefcount"):
    sys.exit(f"leakrun: {sys.executable} is not a debug build (no sys.gettotalrefcount)")

import test_reliability as suite  # noqa: E402

from conftest import MODULE_NAME  # noqa: E402


def measure():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def run_path(tessu, path, warmup, counted, ops):
    with pytest.MonkeyPatch().context() as monkeypatch:
        keep = []  # the widgets a path builds live for the whole path, as under qtbot

        def build(*args, **kwargs):
            w = tessu.TessuAutocomplete(*args, **kwargs)
            keep.append(w)
            return w

        once, _ = suite.SOAK[path](tessu, build, monkeypatch)
        refs, blocks = [], []
        before = measure()
        for _ in range(warmup + counted):
            for _ in range(ops):
                once()
            after = measure()
            refs.append(after[0] - before[0])
            blocks.append(after[1] - before[1])
            before = after
        keep.clear()
    return refs[warmup:], blocks[warmup:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", default=os.environ.get("LEAK_ROUNDS", "3:3"),
                        help="warm-up:counted rounds per path (default 3:3)")
    parser.add_argument("--ops", type=int, default=int(os.environ.get("LEAK_OPS", "20")),
                        help="operations per round (default 20)")
    parser.add_argument("paths", nargs="*", help="run only paths containing one of these")
    args = parser.parse_args()
    warmup, counted = (int(n) for n in args.rounds.split(":"))
    if counted < 1 or warmup < 0 or args.ops < 1:
        sys.exit("leakrun: --rounds needs W:C with W >= 0, C >= 1, and --ops at least 1")

    import importlib

    tessu = importlib.import_module(MODULE_NAME)
    with open(tessu.__file__, "rb") as so:
        debug_build = b"_Py_INCREF_IncRefTotal" in so.read()
    if not debug_build:
        sys.exit(f"leakrun: {tessu.__file__} was not built with Py_DEBUG: its references "
                 "would not be counted")
    paths = [p for p in suite.SOAK if not args.paths or any(s in p for s in args.paths)]
    if not paths:
        sys.exit("leakrun: no soak path matches " + " ".join(args.paths))
    print(f"leakrun: {sys.version.split()[0]} debug, {len(paths)} paths, rounds "
          f"{warmup}:{counted} of {args.ops} operations; deltas of the counted rounds")
    width = max(len(p) for p in paths)
    leaked = []
    t0 = time.monotonic()
    for path in paths:
        refs, blocks = run_path(tessu, path, warmup, counted, args.ops)
        grew = [name for name, deltas in (("refs", refs), ("blocks", blocks))
                if all(d > 0 for d in deltas)]
        print(f"  {path:<{width}}  refs {refs}  blocks {blocks}"
              + (f"  LEAK ({', '.join(grew)})" if grew else ""), flush=True)
        if grew:
            leaked.append(path)
    print(f"leakrun: {len(paths) - len(leaked)}/{len(paths)} paths flat in "
          f"{time.monotonic() - t0:.1f} s" + (f"; leaking: {', '.join(leaked)}" if leaked else ""))
    return 1 if leaked else 0


if __name__ == "__main__":
    sys.exit(main())
