# shellcheck shell=bash
# Sourced by the scripts that run once per interpreter (dist.sh, check_dist.sh, leakrun.sh):
#
#   pyfor_check V...     fails, naming it, on a version that is not supported
#   pyfor_here V         true when CPython V can be used right here
#   pyfor_run V CMD...   runs CMD with TESSU_PY=V: here when this machine has CPython V (or
#                        when already inside a root), else in the Debian sid root of
#                        scripts/lib/pyroot.sh, which the first such run builds

_pyfor_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# shellcheck source=scripts/lib/matrix.sh
source "$_pyfor_dir/matrix.sh"

pyfor_check() {
    matrix_known python "$@"
}

pyfor_here() {
    [[ -n "${PYROOT_NAME:-}" ]] || TESSU_PY=$1 bash "$_pyfor_dir/env.sh" --find >/dev/null
}

pyfor_run() {
    local v=$1
    shift
    # The caller's venv belongs to its own interpreter: the run finds or makes its own.
    local -a clean=(env -u VENV -u VENV_PY -u VIRTUAL_ENV TESSU_PY="$v")
    if pyfor_here "$v"; then
        "${clean[@]}" "$@"
    else
        printf '%s: CPython %s from the Debian sid root\n' "$(basename "$0")" "$v" >&2
        "$_pyfor_dir/pyroot.sh" run "${clean[@]}" "$@"
    fi
}
