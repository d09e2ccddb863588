"""Run by scripts/lib/env.sh with each candidate interpreter it finds (PYTHON, python3.N and
python3 on PATH, pyenv's versions, /usr/local/bin and /usr/bin): prints sys.executable and
exits 0 if the interpreter is a usable CPython V, else exits 1. The free-threaded build does
not count: the Qt wheels ship no ABI for it.

    PYTHON scripts/lib/probe_python.py V

Any Python may run this: it imports nothing from the checkout, and one too old for what it
asks fails, which is the right answer for it too.
"""

import sys
import sysconfig

ok = (
    sys.implementation.name == "cpython"
    and "%d.%d" % sys.version_info[:2] == sys.argv[1]
    and not sysconfig.get_config_var("Py_GIL_DISABLED")
)
if ok:
    print(sys.executable)
sys.exit(0 if ok else 1)
