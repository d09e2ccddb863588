#!/usr/bin/env python3
"""Speed of TessuAutocomplete: the C++ module against the pure-Python model and its Cython build.

    python bench/run.py [--quick] [--json PATH] [--reps N] [--import-reps N] [--batch-ms MS]
                        [--qt-api pyside6|pyqt6|pyqt5] [--model PATH] [--build-dir DIR]

What is timed, per call, for each implementation:

- construction: ``TessuAutocomplete("country", key=..., label=..., helperText=...)``;
- ``set_value`` with a plain value, with a dict ``{"value": ...}`` and with an empty list;
- ``state`` with a form state about another field, an error state and a valid state;
- the module's import in a fresh interpreter, after the host modules were imported.

The widget operations run under two hosts: stub hosts made of built-in callables (see
bench/hosts.py), so that the field's own work is what is timed, and the real host stand-in
with the Qt binding, end to end. The stub cells are measured by a child process
(``--hosts stub``) in which the implementations were imported on a stub widget base. All
cells and implementations are measured in one run, in interleaved repetitions: each
repetition visits every cell, and within a cell every implementation, in an order that
rotates from one repetition to the next. Each sample is one
batch of calls sized to about --batch-ms; the table gives the median over the repetitions with
the interquartile range, and the ratios of the medians.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
BINDINGS = tomllib.loads((REPO / "matrix.toml").read_text())["bindings"]["names"]

# Sizes of the three profiles: (repetitions, import repetitions, batch milliseconds).
PROFILES = {"default": (21, 12, 25.0), "quick": (7, 4, 6.0)}

# Ratio limits of C++ to another implementation, checked on the stub hosts.
TARGETS = (
    ("construction", "python", 0.8),
    ("set_value", "python", 0.5),
    ("set_value", "cython", 0.9),
    ("state", "python", 0.5),
    ("state", "cython", 0.9),
)
# Whatever else is missed, no row, on either host, may be slower than the pure-Python class.
FLOOR = ("python", 1.0)


def parse_args(argv: Optional[List[str]] = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="fewer and shorter repetitions (~20 s)")
    p.add_argument("--reps", type=int, help="repetitions of every widget cell")
    p.add_argument("--import-reps", type=int,
                   help="fresh interpreters per implementation for the import")
    p.add_argument("--batch-ms", type=float, help="target duration of one timed batch")
    p.add_argument("--json", default=str(BENCH / "results.json"), help="where to write the results")
    p.add_argument("--qt-api", default=os.environ.get("QT_API", BINDINGS[0]),
                   choices=BINDINGS, help="Qt binding for qtpy")
    p.add_argument("--model",
                   help="pure-Python model file (default: tests/model/tessu_autocomplete.py)")
    p.add_argument("--build-dir", default=str(BENCH / "build"), help="where the Cython build goes")
    p.add_argument("--no-import", action="store_true", help="skip the import timings")
    p.add_argument("--hosts", choices=("both", "stub", "real"), default="both",
                   help="which host settings to time (stub runs in this process, without "
                        "the import timings or the behaviour check; both runs stub in a child)")
    p.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                   help="CPU time of the timing thread (default) or the wall clock")
    args = p.parse_args(argv)
    reps, import_reps, batch_ms = PROFILES["quick" if args.quick else "default"]
    args.reps = args.reps or reps
    args.import_reps = args.import_reps or import_reps
    args.batch_ms = args.batch_ms or batch_ms
    if args.reps < 1 or args.import_reps < 1 or args.batch_ms <= 0:
        p.error("--reps, --import-reps and --batch-ms must be positive")
    return args


ARGS = parse_args()
os.environ["QT_API"] = ARGS.qt_api
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
# The model's bytecode cache goes to the build directory, not into the work tree; the probes
# inherit it through the environment.
os.environ["PYTHONPYCACHEPREFIX"] = str(Path(ARGS.build_dir).resolve() / "pycache")
sys.pycache_prefix = os.environ["PYTHONPYCACHEPREFIX"]

import cybuild  # noqa: E402
import hosts  # noqa: E402
import impls  # noqa: E402
import timing  # noqa: E402


def say(*parts: object) -> None:
    print(*parts, file=sys.stderr, flush=True)


# ---- Cells ------------------------------------------------------------------------------


@dataclass(frozen=True)
class Cell:
    op: str  # construction | set_value | state | import
    case: str
    host: str  # stub | real | "" (import)

    @property
    def title(self) -> str:
        return f"{self.op} ({self.case})" if self.case else self.op


VALUES = {
    "plain value": "Norway",
    "dict {'value': ...}": {"value": "no", "label": "Norway"},
    "empty list": [],
}
STATES = {
    "other field": {"field": "city", "error": True, "error_message": ["Pick a city"]},
    "error": {"field": "country", "error": True, "error_message": ["Pick a country"]},
    "valid": {"field": "country", "error": False},
}
# The error state again, styled from a theme of nested classes instead of instances.
CLASS_THEME = "error, nested-class theme"
STATES[CLASS_THEME] = STATES["error"]


def widget_cells(settings: List[str]) -> List[Cell]:
    cells = []
    for host in settings:
        cells.append(Cell("construction", "", host))
        cells += [Cell("set_value", case, host) for case in VALUES]
        cells += [Cell("state", case, host) for case in STATES]
    return cells


IMPORT_CELL = Cell("import", "net of the host imports", "")


# ---- One implementation, ready to be timed ----------------------------------------------


class Subject:
    """One loaded implementation with the widgets and namespace patches its cells use."""

    def __init__(self, key: str, module: Any, stub: bool) -> None:
        self.key = key
        self.module = module
        self.cls = module.TessuAutocomplete
        self.namespace = vars(module)
        self.ctor_names = hosts.constructor_names()
        self.method_names = hosts.method_names()
        self.class_theme_names = hosts.class_theme_names()
        missing = [n for n in [*self.ctor_names, *self.method_names] if n not in self.namespace]
        if missing:
            raise RuntimeError(
                f"{key}: module namespace lacks {missing}; the stub hosts would not apply")
        self.kept: List[object] = []
        if stub:
            self.stub_widget = self.with_names(self.ctor_names, self.build)
            for name, value in hosts.widget_attributes().items():
                setattr(self.stub_widget, name, value)
        else:
            self.real_widget = self.build()

    def with_names(self, names: Dict[str, Any], run: Callable[[], Any]) -> Any:
        saved = {name: self.namespace[name] for name in names}
        self.namespace.update(names)
        try:
            return run()
        finally:
            self.namespace.update(saved)

    def build(self) -> Any:
        return self.cls("country", key="country", label="Country", helperText="Pick a country")

    def patch_for(self, cell: Cell) -> Dict[str, Any]:
        if cell.case == CLASS_THEME:
            return self.class_theme_names
        if cell.host != "stub":
            return {}
        return self.ctor_names if cell.op == "construction" else self.method_names

    def batch(self, cell: Cell) -> Callable[[int], tuple[int, int]]:
        if cell.op == "construction":
            return timing.construct_batch(self.cls, self.kept)
        widget = self.stub_widget if cell.host == "stub" else self.real_widget
        arg = VALUES[cell.case] if cell.op == "set_value" else STATES[cell.case]
        return timing.call_batch(getattr(widget, cell.op), arg)


def run_batch(subject: Subject, cell: Cell, batch: Callable[[int], tuple[int, int]], n: int,
              app: Any) -> float:
    """Nanoseconds per call of one batch of n, with the cell's host in place."""
    gc.disable()
    try:
        ns, calls = subject.with_names(subject.patch_for(cell), lambda: batch(n))
    finally:
        gc.enable()
    if cell.op == "construction":
        subject.kept.clear()
        gc.collect()
        app.processEvents()
    return ns / calls


def calibrate(subject: Subject, cell: Cell, batch, target_ns: float, app: Any) -> int:
    """Batch size for about target_ns; the doubling runs double as the warm-up."""
    n = 1
    while True:
        per_call = run_batch(subject, cell, batch, n, app)
        spent = per_call * n * (timing.UNROLL if cell.op != "construction" else 1)
        if spent >= target_ns / 4 or n >= 1 << 22:
            break
        n *= 2
    per_batch_call = spent / n
    return max(1, round(target_ns / per_batch_call))


def observe(subject: Subject) -> List[Any]:
    """What a caller can see after a few operations on a freshly built real widget."""
    w = subject.build()
    seen: List[Any] = []
    for value in VALUES.values():
        w.set_value(value)
        seen.append((w._value, w._complete._inputField.text(), w._state.value))
    for case, state in STATES.items():
        if case == CLASS_THEME:
            continue  # its theme is patched in only while it is timed
        w.state(state)
        caption = w.lbl_helper_text
        seen.append((w._complete._inputField.slot(), caption.text(), caption.styleSheet(),
                     caption.isHidden()))
    return seen


def compare_behaviour(subjects: Dict[str, Subject]) -> List[str]:
    """Implementations that do not behave like the C++ one on the benchmark's inputs."""
    seen = {key: observe(s) for key, s in subjects.items()}
    return [key for key in seen if seen[key] != seen["cpp"]]


# ---- Import probes ----------------------------------------------------------------------


def probe_import(key: str, cython_so: Optional[Path]) -> float:
    cmd = [sys.executable, str(BENCH / "import_probe.py"), key, "--clock", ARGS.clock]
    if ARGS.model:
        cmd += ["--model", ARGS.model]
    if key == "cython":
        cmd += ["--cython-so", str(cython_so)]
    done = subprocess.run(cmd, capture_output=True, text=True, cwd=REPO)
    if done.returncode != 0:
        raise RuntimeError(f"import probe for {key} failed:\n{done.stderr}")
    return float(json.loads(done.stdout.strip().splitlines()[-1])["ns"])


def time_imports(keys: List[str], cython_so: Optional[Path]) -> Dict[str, List[float]]:
    samples: Dict[str, List[float]] = {k: [] for k in keys}
    for key in keys:  # fills the page cache and the model's bytecode cache
        probe_import(key, cython_so)
    for rep in range(ARGS.import_reps):
        for i in range(len(keys)):
            key = keys[(rep + i) % len(keys)]
            samples[key].append(probe_import(key, cython_so))
    return samples


# ---- Report -----------------------------------------------------------------------------


def fmt(ns: float, unit: str) -> str:
    if unit == "ns":
        return f"{ns:.0f}"
    if unit == "µs":
        return f"{ns / 1e3:.2f}" if ns < 1e5 else f"{ns / 1e3:.1f}"
    return f"{ns / 1e6:.2f}"


def unit_for(medians: List[float]) -> str:
    low = min(medians)
    return "ns" if low < 5e3 else "µs" if low < 5e6 else "ms"


def cell_result(cell: Cell, samples: Dict[str, List[float]],
                sizes: Dict[str, int]) -> Dict[str, Any]:
    out: Dict[str, Any] = {"op": cell.op, "case": cell.case, "host": cell.host, "impls": {},
                           "ratios": {}}
    for key, values in samples.items():
        entry: Dict[str, Any] = dict(timing.summary(values))
        entry["samples"] = values
        if key in sizes:
            entry["calls_per_batch"] = sizes[key]
        out["impls"][key] = entry
    for other in ("python", "cython"):
        if "cpp" in samples and other in samples:
            out["ratios"][f"cpp/{other}"] = {
                "of_medians": out["impls"]["cpp"]["median"] / out["impls"][other]["median"],
                "paired": timing.paired_ratios(samples["cpp"], samples[other]),
            }
    return out


def check_targets(results: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
    checks = []
    for op, other, limit in TARGETS:
        for r in results:
            ratio = r["ratios"].get(f"cpp/{other}")
            if r["op"] != op or r["host"] != "stub" or ratio is None:
                continue
            checks.append({
                "cell": Cell(r["op"], r["case"], r["host"]).title,
                "host": "stub",
                "ratio": f"cpp/{other}",
                "limit": limit,
                "measured": ratio["of_medians"],
                "met": ratio["of_medians"] <= limit,
            })
    other, limit = FLOOR
    for r in results:
        ratio = r["ratios"].get(f"cpp/{other}")
        if ratio is not None:
            checks.append({
                "cell": Cell(r["op"], r["case"], r["host"]).title,
                "host": r["host"] or "-",
                "ratio": f"cpp/{other}",
                "limit": limit,
                "measured": ratio["of_medians"],
                "met": ratio["of_medians"] <= limit,
            })
    return checks


def print_table(results: List[Dict[str, Any]], keys: List[str]) -> None:
    headers = ["operation", "host", "unit"] + [impls.LABELS[k] + " median [IQR]" for k in keys]
    headers += [f"C++/{impls.LABELS[k]}" for k in keys if k != "cpp"]
    rows = []
    for r in results:
        medians = [r["impls"][k]["median"] for k in keys]
        unit = unit_for(medians)
        row = [Cell(r["op"], r["case"], r["host"]).title, r["host"] or "-", unit]
        for k in keys:
            e = r["impls"][k]
            row.append(f"{fmt(e['median'], unit)} [{fmt(e['q1'], unit)}-{fmt(e['q3'], unit)}]")
        for k in keys:
            if k != "cpp":
                row.append(f"{r['ratios'][f'cpp/{k}']['of_medians']:.2f}")
        rows.append(row)
    widths = [max(len(str(x)) for x in col) for col in zip(headers, *rows)]
    line = "  ".join(h.ljust(w) for h, w in zip(headers, widths))
    print(line)
    print("-" * len(line))
    for row in rows:
        cells = [c.ljust(w) if i < 3 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths))]
        print("  ".join(cells))


def print_notes(keys: List[str]) -> None:
    print()
    clock = "thread CPU time" if ARGS.clock == "cpu" else "wall clock"
    print(f"Per call ({clock}); median over the repetitions, [first-third quartile];"
          " ratios of the medians.")
    print("stub hosts, construction:", hosts.DESCRIPTION["construction"])
    print("stub hosts, set_value/state:", hosts.DESCRIPTION["methods"])
    print("real:", hosts.DESCRIPTION["real"])
    print("import: one import per fresh interpreter, after importing the host modules;"
          " Python loads its cached bytecode")
    if "python" not in keys:
        print("the pure-Python model was not found, so only the C++ column was measured")


def meta(keys: List[str], cython_so: Optional[Path]) -> Dict[str, Any]:
    import qtpy

    def git_head() -> Optional[str]:
        try:
            return subprocess.run(["git", "rev-parse", "HEAD"], capture_output=True, text=True,
                                  cwd=REPO, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            return None

    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((ln.split(":", 1)[1].strip() for ln in f
                        if ln.startswith("model name")), cpu)
    except OSError:
        pass
    return {
        "python": sys.version,
        "executable": sys.executable,
        "qt_api": qtpy.API_NAME,
        "qt_binding_version": qtpy.PYQT_VERSION or qtpy.PYSIDE_VERSION,
        "qt_version": qtpy.QT_VERSION,
        "cython": cybuild.cython_version() if "cython" in keys else None,
        "cython_extension": str(cython_so) if cython_so else None,
        "cpp_extension": getattr(sys.modules.get(impls.CPP_NAME), "__file__", None),
        "model": str(impls.model_source(ARGS.model)) if "python" in keys else None,
        "git_head": git_head(),
        "machine": platform.machine(),
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "reps": ARGS.reps,
        "import_reps": ARGS.import_reps,
        "batch_ms": ARGS.batch_ms,
        "calls_per_loop_iteration": timing.UNROLL,
        "clock": "thread CPU time" if ARGS.clock == "cpu" else "wall clock",
        "cython_directives": list(cybuild.DIRECTIVES) if "cython" in keys else None,
        "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
    }


# ---- Main -------------------------------------------------------------------------------


def busy() -> Optional[float]:
    """The 1-minute load average when other work competes for the CPUs, else None."""
    try:
        load = os.getloadavg()[0]
    except OSError:
        return None
    return load if load > 1.0 else None


def load_subjects(loaders: Dict[str, Callable[[], object]], stub: bool) -> Dict[str, Subject]:
    impls.import_hosts()
    if not stub:
        return {key: Subject(key, load(), stub) for key, load in loaders.items()}
    from qtpy import QtWidgets

    real_frame = QtWidgets.QFrame
    QtWidgets.QFrame = hosts.StubFrame  # what each implementation's import binds as its base
    try:
        modules = {key: load() for key, load in loaders.items()}
    finally:
        QtWidgets.QFrame = real_frame
    for key, module in modules.items():
        if module.TessuAutocomplete.__bases__ != (hosts.StubFrame,):
            raise RuntimeError(f"{key} was imported before the stub base was in place")
    return {key: Subject(key, module, stub) for key, module in modules.items()}


def measure(subjects: Dict[str, Subject], cells: List[Cell], app: Any) -> List[Dict[str, Any]]:
    """All cells, each implementation in turn, in rotating order over the repetitions."""
    keys = list(subjects)
    target_ns = ARGS.batch_ms * 1e6
    say(f"bench: calibrating {len(cells)} cells x {len(keys)} implementations")
    batches = {(c, k): subjects[k].batch(c) for c in cells for k in keys}
    sizes = {(c, k): calibrate(subjects[k], c, batches[c, k], target_ns, app)
             for c in cells for k in keys}

    say(f"bench: {ARGS.reps} repetitions of ~{ARGS.batch_ms:g} ms batches")
    samples: Dict[Cell, Dict[str, List[float]]] = {c: {k: [] for k in keys} for c in cells}
    for rep in range(ARGS.reps):
        for cell in cells:
            for i in range(len(keys)):
                key = keys[(rep + i) % len(keys)]
                samples[cell][key].append(
                    run_batch(subjects[key], cell, batches[cell, key], sizes[cell, key], app))
    return [cell_result(c, samples[c], {k: sizes[c, k] for k in keys}) for c in cells]


def stub_cells_in_child() -> List[Dict[str, Any]]:
    """The stub cells, measured by a child process that imports on the stub widget base."""
    out = Path(ARGS.build_dir).resolve() / "stub-cells.json"
    cmd = [sys.executable, str(Path(__file__).resolve()), "--hosts", "stub", "--json", str(out),
           "--reps", str(ARGS.reps), "--batch-ms", str(ARGS.batch_ms), "--clock", ARGS.clock,
           "--qt-api", ARGS.qt_api, "--build-dir", ARGS.build_dir]
    if ARGS.model:
        cmd += ["--model", ARGS.model]
    say("bench: stub hosts, in a child process")
    if subprocess.run(cmd, cwd=REPO).returncode != 0:
        raise RuntimeError("the stub-host run failed")
    return json.loads(out.read_text())["cells"]


def main() -> int:
    timing.use_clock(ARGS.clock)
    started = time.monotonic()
    load_before = os.getloadavg()[0] if hasattr(os, "getloadavg") else None
    if busy() and ARGS.hosts != "stub":
        say(f"bench: WARNING: load average {load_before:.2f} before starting; other work "
            "on the machine widens the spread (the ratios stay paired)")
    model = impls.model_source(ARGS.model)
    cython_so = None
    if model is None:
        say(f"bench: no pure-Python model at {ARGS.model or impls.MODEL_FILE}; timing C++ only")
    else:
        cython_so = cybuild.build(model, Path(ARGS.build_dir).resolve(), log=say)
    loaders = impls.loaders(ARGS.model, cython_so)
    keys = list(loaders)

    if ARGS.hosts == "stub":
        from qtpy.QtWidgets import QApplication

        app = QApplication.instance() or QApplication([])
        results = measure(load_subjects(loaders, stub=True), widget_cells(["stub"]), app)
        Path(ARGS.json).write_text(json.dumps({"cells": results}) + "\n")
        return 0

    results = stub_cells_in_child() if ARGS.hosts == "both" else []

    import_samples: Dict[str, List[float]] = {}
    if not ARGS.no_import:
        say(f"bench: import, {ARGS.import_reps} fresh interpreters per implementation")
        import_samples = time_imports(keys, cython_so)

    from qtpy.QtWidgets import QApplication

    app = QApplication.instance() or QApplication([])
    subjects = load_subjects(loaders, stub=False)

    differing = compare_behaviour(subjects)
    if differing:
        say(f"bench: WARNING: {', '.join(differing)} behave differently from C++ on these inputs")

    results += measure(subjects, widget_cells(["real"]), app)
    if import_samples:
        results.append(cell_result(IMPORT_CELL, import_samples, {}))
    targets = check_targets(results)

    print_table(results, keys)
    print_notes(keys)
    if targets:
        print()
        print("Targets (C++ median / other median, this run):")
        for t in targets:
            mark = "met" if t["met"] else "MISSED"
            print(f"  {t['cell']:<36} {t['host']:<5} {t['ratio']:<11} {t['measured']:.2f} <= "
                  f"{t['limit']:.2f}  {mark}")

    elapsed = time.monotonic() - started
    load_after = os.getloadavg()[0] if hasattr(os, "getloadavg") else None
    report = {
        "meta": {**meta(keys, cython_so), "seconds": round(elapsed, 1),
                 "loadavg_1min_before": load_before, "loadavg_1min_after": load_after},
        "behaviour_differs_from_cpp": differing,
        "unit": "nanoseconds per call",
        "hosts": hosts.DESCRIPTION,
        "implementations": {k: impls.LABELS[k] for k in keys},
        "cells": results,
        "targets": targets,
    }
    out = Path(ARGS.json)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(report, indent=2) + "\n")
    say(f"bench: {elapsed:.0f} s; results in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
