"""Times one import of one implementation in a fresh interpreter, net of the host imports.

    python bench/import_probe.py IMPL [--model PATH] [--cython-so PATH]

Prints one JSON object: {"impl": ..., "ns": ...}. The host modules that the field's module
imports are imported first, untimed, so that the timing covers loading the module, running
its module-level code and creating the class, and nothing the host does on first import.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import impls  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("impl", choices=impls.KEYS)
    parser.add_argument("--model")
    parser.add_argument("--cython-so")
    parser.add_argument("--clock", choices=("cpu", "wall"), default="cpu")
    args = parser.parse_args()

    impls.import_hosts()
    if args.impl == "cpp":
        load = impls.cpp_loader()
    elif args.impl == "python":
        load = impls.model_loader(args.model)
    else:
        load = impls.cython_loader(Path(args.cython_so))
    clock = time.thread_time_ns if args.clock == "cpu" else time.perf_counter_ns
    t0 = clock()
    module = load()
    t1 = clock()
    if not hasattr(module, "TessuAutocomplete"):
        sys.exit(f"{args.impl}: imported module has no TessuAutocomplete")
    print(json.dumps({"impl": args.impl, "ns": t1 - t0}))


if __name__ == "__main__":
    main()
