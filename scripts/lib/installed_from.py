"""Run by the scripts that prove an installed package (scripts/lib/suite.sh and the wheel
checks), with the interpreter under test and -P: fails unless each package named on the
command line would be imported from that interpreter's own site-packages. A run that imported
it from the work tree would prove nothing about the wheel that was built.

    python -P scripts/lib/installed_from.py PACKAGE...
"""

import importlib.util
import os
import sys
import sysconfig


def stray_locations(package):
    spec = importlib.util.find_spec(package)
    if spec is None:
        sys.exit(f"installed_from.py: package {package!r} is not installed in {sys.prefix}")
    site = {os.path.realpath(sysconfig.get_path(k)) for k in ("purelib", "platlib")}
    where = [os.path.realpath(p) for p in (spec.submodule_search_locations or [spec.origin])]
    return [p for p in where if not any(p == s or p.startswith(s + os.sep) for s in site)]


def main(packages):
    for package in packages:
        stray = stray_locations(package)
        if stray:
            sys.exit(f"installed_from.py: {package!r} would be imported from outside "
                     f"{sys.prefix}: " + ", ".join(stray))


if __name__ == "__main__":
    main(sys.argv[1:] or sys.exit("usage: installed_from.py PACKAGE..."))
