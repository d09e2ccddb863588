#!/usr/bin/env bash
# Run by noxfile.py's leakrun session inside the amd64 sid root of scripts/lib/pyroot.sh, where
# Debian's debug interpreters are: the total-reference leak run (scripts/proof/leakrun.py). Per
# interpreter, a venv of its own with the host stand-in, the
# module built for it with Py_DEBUG, and every soak path counted by the interpreter's
# reference total and allocated blocks. Fails when any path grows in every counted round.
#
#   scripts/lib/pyroot.sh run scripts/proof/leakrun.sh [leakrun.py args...]
#
# Knobs (environment):
#   LEAK_PYTHONS  debug interpreters to run, in order (default: all of matrix.toml)
#   LEAK_ROUNDS   warm-up:counted rounds per path (default 3:3)
#   LEAK_OPS      operations per round (default 20)
#   LEAK_BUILD    build directory prefix (default: <repo>/build/leak-); one per interpreter
#   LEAK_SWEEP    1 = also run the allocation-failure sweep (tests/nomemory_sweep.py) on each
#                 debug build, where a repeated try is held to the interpreter's total
set -euo pipefail

say() { printf 'leakrun.sh: %s\n' "$*" >&2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_ROOT=$(cd "$here/../.." && pwd)
export REPO_ROOT

# shellcheck source=scripts/lib/matrix.sh
source "$here/../lib/matrix.sh"
read -r -a pythons <<<"${LEAK_PYTHONS:-${MATRIX_PYTHONS[*]}}"
matrix_known python "${pythons[@]}"

# shellcheck source=scripts/lib/variant.sh
source "$here/../lib/variant.sh"

debug_python() {
    local v=$1 candidate
    for candidate in "python${v}d" "python${v}-dbg"; do
        if command -v "$candidate" >/dev/null 2>&1 &&
            "$candidate" -c 'import sys; sys.exit(not hasattr(sys, "gettotalrefcount"))'; then
            command -v "$candidate"
            return 0
        fi
    done
    say "no debug CPython $v in the root (python${v}-dbg)"
    return 1
}

# Only what the run imports: the stand-in Qt of tests/pure_qt replaces any binding, and qtpy
# comes from there too.
prepare_venv() {
    local py=$1 venv=$2 stamp want
    stamp=$venv/.leak-stamp
    want=$( (
        "$py" -c 'import sys; print(sys.version)'
        cd "$REPO_ROOT" && find host -name __pycache__ -prune -o -type f -print0 |
            LC_ALL=C sort -z | xargs -0 sha256sum
    ) | sha256sum | cut -d' ' -f1)
    if [[ -x $venv/bin/python && -f $stamp && "$(<"$stamp")" == "$want" ]]; then
        return 0
    fi
    rm -rf -- "$venv"
    "$py" -m venv "$venv"
    "$venv/bin/python" -W ignore -m pip install --disable-pip-version-check -q \
        "pytest>=8" "hypothesis>=6" "cmake>=3.26" ninja "$REPO_ROOT/host"
    printf '%s\n' "$want" >"$stamp"
}

failed=0
lines=()
for v in "${pythons[@]}"; do
    t0=$SECONDS
    say "=== CPython $v (debug) ==="
    py=$(debug_python "$v") || {
        failed=1
        lines+=("python $v: FAILED (no debug interpreter)")
        continue
    }
    VENV=$REPO_ROOT/.venv-$PYROOT_NAME-${v}d
    VENV_PY=$VENV/bin/python
    export VENV VENV_PY
    prepare_venv "$py" "$VENV"
    PATH=$VENV/bin:$PATH variant_build "${LEAK_BUILD:-$REPO_ROOT/build/leak-}$v" \
        -DTESSU_PY_DEBUG=ON
    if ! nm -D "$VARIANT_SO" | grep -q _Py_INCREF_IncRefTotal; then
        say "$VARIANT_SO does not count its references (built without Py_DEBUG)"
        failed=1
        lines+=("python $v: FAILED (module built without Py_DEBUG)")
        continue
    fi
    target=$("$VENV_PY" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')/zarvel/material/hook_form
    rm -f -- "$target"/tessu_autocomplete*.so
    cp -- "$VARIANT_SO" "$target/"
    set +e
    env -u PYTHONPATH "$VENV_PY" -P "$here/leakrun.py" "$@"
    rc=$?
    if [[ ${LEAK_SWEEP:-0} == 1 ]]; then
        env -u PYTHONPATH "$VENV_PY" -P "$REPO_ROOT/tests/nomemory_sweep.py" || rc=1
    fi
    set -e
    ((rc == 0)) || failed=1
    lines+=("python $v: exit $rc in $((SECONDS - t0)) s")
done
printf '%s\n' "${lines[@]}"
exit "$failed"
