"""Loading the three implementations of the field under their own module names.

- ``cpp``: the compiled extension as installed in the venv;
- ``python``: the pure-Python model from tests/model (or a file given with ``--model``);
- ``cython``: that same model source compiled by Cython into ``bench/build``.

The loaders are shared by the benchmark process and by the import probes, so that both load
a module the same way.
"""

from __future__ import annotations

import importlib
import importlib.util
import sys
from pathlib import Path
from typing import Callable, Dict, Optional

from tessu_autocomplete_freeze import IMPORTS

REPO = Path(__file__).resolve().parent.parent
PACKAGE = "zarvel.material.hook_form"
CPP_NAME = f"{PACKAGE}.tessu_autocomplete"
MODEL_NAME = f"{PACKAGE}.tessu_autocomplete_model"
CY_NAME = f"{PACKAGE}.tessu_autocomplete_cy"
MODEL_DIR = REPO / "tests" / "model"
MODEL_FILE = MODEL_DIR / "tessu_autocomplete.py"

KEYS = ("cpp", "python", "cython")
LABELS = {"cpp": "C++", "python": "Python", "cython": "Cython"}

# What the field's module imports from outside (the list the field's wheel gives freezers); a
# probe imports these before the timed import so that only the module's own import is measured.
HOST_MODULES = (*IMPORTS, PACKAGE)


def import_hosts() -> None:
    for name in HOST_MODULES:
        importlib.import_module(name)


def model_source(override: Optional[str]) -> Optional[Path]:
    path = Path(override) if override else MODEL_FILE
    return path.resolve() if path.is_file() else None


def _exec_file_module(name: str, path: Path):
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot load {path} as {name}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        sys.modules.pop(name, None)
        raise
    return module


def _model_helper():
    """tests/model/__init__.py, loaded without putting tests/ on sys.path."""
    init = MODEL_DIR / "__init__.py"
    if not init.is_file():
        return None
    name = "_tessu_bench_model_helper"
    if name in sys.modules:
        return sys.modules[name]
    spec = importlib.util.spec_from_file_location(
        name, init, submodule_search_locations=[str(MODEL_DIR)]
    )
    assert spec is not None and spec.loader is not None
    helper = importlib.util.module_from_spec(spec)
    sys.modules[name] = helper
    spec.loader.exec_module(helper)
    return helper if callable(getattr(helper, "load", None)) else None


def model_loader(override: Optional[str]) -> Callable[[], object]:
    """A no-argument callable that imports the model; setting it up is not part of the import.

    The project's own ``load()`` is used when it exists and no other file was asked for.
    """
    if not override:
        helper = _model_helper()
        if helper is not None:
            return helper.load
    path = model_source(override)
    if path is None:
        raise FileNotFoundError(override or str(MODEL_FILE))
    return lambda: _exec_file_module(MODEL_NAME, path)


def cython_loader(so_path: Path) -> Callable[[], object]:
    return lambda: _exec_file_module(CY_NAME, so_path)


def cpp_loader() -> Callable[[], object]:
    return lambda: importlib.import_module(CPP_NAME)


def loaders(model: Optional[str], cython_so: Optional[Path]) -> Dict[str, Callable[[], object]]:
    """Loaders of the implementations that are available, in column order."""
    out: Dict[str, Callable[[], object]] = {"cpp": cpp_loader()}
    if model_source(model) is not None:
        out["python"] = model_loader(model)
        if cython_so is not None:
            out["cython"] = cython_loader(cython_so)
    return out
