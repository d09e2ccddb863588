#!/usr/bin/env bash
# Run by hand, or by noxfile.py's bench session wherever the interpreter is (here or in the sid
# root): benchmarks the compiled module against the pure-Python model (tests/model) and that model
# compiled with Cython, offscreen, with the package as installed in the venv (see
# scripts/lib/env.sh). Prints a table and writes bench/results.json.
#
#   scripts/bench.sh [--quick] [--json PATH] [--qt-api pyside6|pyqt6|pyqt5] [run.py args...]
#   .venv-nox/bin/python -m nox -s bench -- --python 3.N [run.py args...]
#
# TESSU_PY picks the interpreter, matrix.toml's first by default; the bench session runs one
# this machine lacks in the Debian sid root of scripts/lib/pyroot.sh, with the Python and
# Cython peers on that same interpreter.
#
# Cython is a tool of the benchmark alone: it is installed into the venv here, and the
# package does not depend on it. `scripts/bench.sh --help` lists the other options.
set -euo pipefail

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/env.sh"
cd "$REPO_ROOT"

say() { printf 'bench.sh: %s\n' "$*" >&2; }

run_py() {
    env -u PYTHONPATH QT_QPA_PLATFORM=offscreen "$@"
}

if ! run_py "$VENV_PY" -c 'import sys, Cython; sys.exit(int(Cython.__version__.split(".")[0]) < 3)' \
    >/dev/null 2>&1; then
    say "installing Cython>=3 into $VENV"
    "$VENV_PY" -m pip install --disable-pip-version-check -q "Cython>=3"
fi

# The binding asked for, as run.py will read it: the last --qt-api wins, then QT_API.
binding=${QT_API:-pyside6}
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
    --qt-api=*) binding=${args[i]#--qt-api=} ;;
    --qt-api) ((i + 1 < ${#args[@]})) && binding=${args[i + 1]} ;;
    esac
done
case $binding in
pyside6 | pyqt6 | pyqt5) zenv_ensure_binding "$binding" ;;
*) ;; # run.py reports the unknown name
esac

QT_API=$binding run_py "$VENV_PY" bench/run.py "$@"
