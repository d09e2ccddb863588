# shellcheck shell=bash
# Sourced by the README's two commands (scripts/test.sh, scripts/demo.sh), scripts/lint.sh and
# .ci/run: makes the venv that nox runs from (.venv-nox, nox alone, pinned) with this
# machine's CPython, and puts that interpreter first on PATH, where nox looks for the
# sessions' own venvs.
#
#   nox_ready           sets NOX_PY, or fails saying what is missing
#   nox_run ARGS...     runs nox from the repo root

_nox_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
_nox_version=2026.10.20
# shellcheck source=scripts/lib/matrix.sh
source "$_nox_root/scripts/lib/matrix.sh"

nox_ready() {
    local py venv=$_nox_root/.venv-nox
    py=$(TESSU_PY=${MATRIX_PYTHONS[0]} bash "$_nox_root/scripts/lib/env.sh" --find) || {
        printf 'nox.sh: no CPython %s here (see scripts/lib/env.sh for where it looks)\n' \
            "${MATRIX_PYTHONS[0]}" >&2
        return 1
    }
    if ! [[ -x $venv/bin/python && "$("$venv/bin/python" -m nox --version 2>/dev/null)" == "$_nox_version" ]]; then
        printf 'nox.sh: making %s with nox %s\n' "$venv" "$_nox_version" >&2
        rm -rf -- "$venv"
        "$py" -m venv "$venv" &&
            "$venv/bin/python" -m pip install --disable-pip-version-check -q "nox==$_nox_version" ||
            return 1
    fi
    NOX_PY=$venv/bin/python
    PATH="$(dirname "$py"):$PATH"
    export PATH
}

nox_run() {
    (cd "$_nox_root" && "$NOX_PY" -m nox "$@")
}
