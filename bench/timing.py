"""Timed loops and the statistics reported over their repetitions.

The loops read the calling thread's CPU time by default: on a machine shared with other work,
the time the thread spends descheduled would otherwise land in whichever batch it hit. The
wall clock remains available for a quiet machine.
"""

from __future__ import annotations

import statistics
import time
from typing import Callable, Dict, List, Sequence

# Calls per loop iteration for the cheap methods: keeps the loop's own cost to about a
# nanosecond per call, so it does not flatten the ratios.
UNROLL = 10

_CALL_LOOP = f"""
def run(n, f, a, clock):
    t0 = clock()
    for _ in range(n):
{"        f(a)\n" * UNROLL}    return clock() - t0
"""

# Every widget is kept until the batch is over: the widget and its inner functions form a
# reference cycle in every implementation, and a teardown inside the timed loop for one of
# them only would not be construction.
_CONSTRUCT_LOOP = """
def run(n, cls, keep, clock):
    t0 = clock()
    for _ in range(n):
        keep(cls("country", key="country", label="Country", helperText="Pick a country"))
    return clock() - t0
"""


def _compile(source: str) -> Callable:
    namespace: Dict[str, object] = {}
    exec(compile(source, "<bench loop>", "exec"), namespace)
    return namespace["run"]  # type: ignore[return-value]


_call_loop = _compile(_CALL_LOOP)
_construct_loop = _compile(_CONSTRUCT_LOOP)


CLOCKS = {"cpu": time.thread_time_ns, "wall": time.perf_counter_ns}
clock = CLOCKS["cpu"]


def use_clock(name: str) -> None:
    global clock
    clock = CLOCKS[name]


def call_batch(f: Callable, arg: object) -> Callable[[int], tuple[int, int]]:
    """A batch runner: ``batch(n)`` makes n*UNROLL calls f(arg) and returns (ns, calls)."""

    def batch(n: int) -> tuple[int, int]:
        return _call_loop(n, f, arg, clock), n * UNROLL

    return batch


def construct_batch(cls: type, kept: List[object]) -> Callable[[int], tuple[int, int]]:
    def batch(n: int) -> tuple[int, int]:
        return _construct_loop(n, cls, kept.append, clock), n

    return batch


def summary(samples: Sequence[float]) -> Dict[str, float]:
    ordered = sorted(samples)
    if len(ordered) >= 2:
        q1, _, q3 = statistics.quantiles(ordered, n=4, method="inclusive")
    else:
        q1 = q3 = ordered[0]
    return {
        "median": statistics.median(ordered),
        "q1": q1,
        "q3": q3,
        "min": ordered[0],
        "max": ordered[-1],
    }


def paired_ratios(num: Sequence[float], den: Sequence[float]) -> Dict[str, float]:
    """Ratios of the samples of one repetition: both were taken moments apart."""
    ratios = [a / b for a, b in zip(num, den) if b]
    s = summary(ratios)
    return {"median": s["median"], "q1": s["q1"], "q3": s["q3"]}
