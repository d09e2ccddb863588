#!/usr/bin/env bash
# Run by noxfile.py's sessions and scripts/release/dist.sh: the one place that decides where
# an interpreter of the matrix runs.
#
#   scripts/lib/pyfor.sh V CMD...
#
# Runs CMD with TESSU_PY=V: here when this machine has CPython V (or when already inside a
# root), else in the Debian sid root of scripts/lib/pyroot.sh, which the first such run
# builds. The caller's venv belongs to its own interpreter: CMD finds or makes its own.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/lib/matrix.sh
source "$here/matrix.sh"

v=${1:?usage: pyfor.sh V CMD...}
shift
(($#)) || { echo "usage: pyfor.sh V CMD..." >&2; exit 2; }
matrix_known python "$v"

clean=(env -u VENV -u VENV_PY -u VIRTUAL_ENV TESSU_PY="$v")
if [[ -n "${PYROOT_NAME:-}" ]] || TESSU_PY=$v bash "$here/env.sh" --find >/dev/null; then
    exec "${clean[@]}" "$@"
fi
printf 'pyfor.sh: CPython %s from the Debian sid root\n' "$v" >&2
exec "$here/pyroot.sh" run "${clean[@]}" "$@"
