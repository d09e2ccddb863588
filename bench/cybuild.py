"""Compiles the pure-Python model with Cython 3 into an extension module of its own name.

The model source is copied to ``tessu_autocomplete_cy.py`` (the extension's init function is
named after the file), translated with the module's full dotted name so that its relative
imports and ``__module__`` resolve inside ``zarvel.material.hook_form``, and compiled with the
interpreter's own compiler and flags, as a setuptools build would. Results are cached under
``bench/build/cython/<hash>``; the hash covers the source, the Cython and Python versions and
the flags, so an edited model is rebuilt.
"""

from __future__ import annotations

import hashlib
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from impls import CY_NAME

LEAF = CY_NAME.rsplit(".", 1)[1]

# Without this, Cython turns the model's annotations into checks and conversions of its own
# (``selected: bool`` would store True in place of a State object): the build would no
# longer be the model.
DIRECTIVES = ("annotation_typing=False",)


def _flags() -> tuple[list[str], list[str]]:
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    cflags = shlex.split(sysconfig.get_config_var("CFLAGS") or "")
    cflags += shlex.split(sysconfig.get_config_var("CCSHARED") or "-fPIC")
    cflags += ["-I" + sysconfig.get_paths()["include"]]
    return cc, cflags + ["-shared"]


def cython_version() -> str:
    import Cython

    return Cython.__version__


def build(source: Path, build_root: Path, log=print) -> Path:
    """Path of the compiled extension for ``source``, building it when it is not cached."""
    import Cython

    if int(Cython.__version__.split(".")[0]) < 3:
        raise RuntimeError(f"Cython 3 is needed, found {Cython.__version__}")
    cc, flags = _flags()
    digest = hashlib.sha256()
    digest.update(source.read_bytes())
    for part in (Cython.__version__, sys.version, *DIRECTIVES, *cc, *flags):
        digest.update(part.encode() + b"\0")
    out_dir = build_root / "cython" / digest.hexdigest()[:16]
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    target = out_dir / (LEAF + suffix)
    if target.is_file():
        return target

    log(f"bench: compiling the model with Cython {Cython.__version__} into {out_dir}")
    tmp = out_dir.with_name(out_dir.name + ".tmp")
    shutil.rmtree(tmp, ignore_errors=True)
    tmp.mkdir(parents=True)
    py = tmp / (LEAF + ".py")
    shutil.copyfile(source, py)
    c_file = tmp / (LEAF + ".c")
    subprocess.run(
        [sys.executable, "-m", "cython", "-3", *(f"-X{d}" for d in DIRECTIVES),
         "--module-name", CY_NAME, str(py), "-o", str(c_file)],
        check=True,
    )
    subprocess.run([*cc, *flags, str(c_file), "-o", str(tmp / target.name)], check=True)
    shutil.rmtree(out_dir, ignore_errors=True)
    tmp.rename(out_dir)
    return target
