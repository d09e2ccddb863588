#!/usr/bin/env bash
# Checks the artefacts that scripts/release/dist.sh wrote, as a user gets them:
#   1. A clean venv installs the field's wheel with its pyside6 extra and the stand-in's
#      wheel, binaries only, with no compiler, CMake or ninja reachable; a smoke subset of
#      the suite and the demo's scripted session then run against that install.
#   2. tests/test_packaging.py, in that venv: the field installs into a fake host framework
#      and uninstalls without touching a file of it, and a missing binding or host is named
#      by the import error (printed here as a user sees it). Skipping counts as failure.
#
# Each interpreter installs its own wheel; those this machine lacks run in the sid root of
# scripts/lib/pyroot.sh, where a compiler is installed but, as here, never reachable.
#
#   scripts/release/check_dist.sh
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   DIST_DIR        directory with the artefacts (default: <repo>/dist)
#   CHECK_PYTHONS   interpreters to check (default: all of matrix.toml)
set -euo pipefail

say() { printf 'check_dist.sh: %s\n' "$*" >&2; }

if [[ -z "${CHECK_ONE:-}" ]]; then
    # shellcheck source=scripts/lib/pyfor.sh
    source "$(dirname "${BASH_SOURCE[0]}")/../lib/pyfor.sh"
    read -r -a pythons <<<"${CHECK_PYTHONS:-${MATRIX_PYTHONS[*]}}"
    pyfor_check "${pythons[@]}"
    failed=()
    for v in "${pythons[@]}"; do
        say "=== CPython $v ==="
        t0=$SECONDS
        pyfor_run "$v" CHECK_ONE=1 "$(cd "$(dirname "$0")" && pwd)/check_dist.sh" || failed+=("$v")
        say "CPython $v: $((SECONDS - t0)) s"
    done
    if ((${#failed[@]})); then
        say "failed on: ${failed[*]}"
        exit 1
    fi
    say "all checks passed on: ${pythons[*]}"
    exit 0
fi

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/env.sh"
cd "$REPO_ROOT"

dist=${DIST_DIR:-$REPO_ROOT/dist}
[[ "$dist" == /* ]] || dist="$PWD/$dist"
# shellcheck source=scripts/lib/artefacts.sh
source "$REPO_ROOT/scripts/lib/artefacts.sh"
field_whl=$(field_wheel "$dist" "$TESSU_PY" "manylinux*_$(uname -m)")
host_whl=$(artefact "$dist" 'zarvel_host_standin-*.whl')

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
venv=$work/venv
say "creating a clean venv"
"$VENV_PY" -m venv "$venv"

# Nothing on PATH but the clean venv: no compiler, CMake or ninja to fall back on, and
# CC/CXX that fail if anything tried to compile all the same.
clean=(env -u PYTHONPATH -u VIRTUAL_ENV PATH="$venv/bin" CC=false CXX=false QT_QPA_PLATFORM=offscreen)
reachable() { "${clean[@]}" "$BASH" -c "command -v $1" >/dev/null 2>&1; }
no_build_tools() {
    local tool found=()
    # The probe must see what is there, or its silence proves nothing.
    reachable python || { say "the PATH probe cannot even find the venv's python"; return 1; }
    for tool in g++ gcc c++ cc clang clang++ cmake ninja make; do
        if reachable "$tool"; then
            found+=("$tool")
        fi
    done
    if ((${#found[@]})); then
        say "build tools reachable $1: ${found[*]}"
        return 1
    fi
    say "no compiler, cmake, ninja or make reachable $1"
}
no_build_tools "before the install"

say "installing the wheels, binaries only"
"${clean[@]}" "$venv/bin/python" -m pip install --disable-pip-version-check -q --only-binary :all: \
    "${field_whl}[pyside6]" "$host_whl" pytest pytest-qt pytest-timeout hypothesis mypy
no_build_tools "after the install"
"${clean[@]}" "$venv/bin/python" -m pip list --disable-pip-version-check 2>/dev/null |
    grep -iE '^(zarvel|pyside6|shiboken6|qtpy)' >&2

# The runs below import the package from the clean venv only, as scripts/test.sh checks for
# the project's venv.
"${clean[@]}" "$venv/bin/python" -P -c '
import sys, sysconfig, zarvel.material.hook_form.tessu_autocomplete as m
site = sysconfig.get_path("platlib")
sys.exit(0 if m.__file__.startswith(site) else "check_dist.sh: imported " + m.__file__)'

status=0
log=$work/pytest.log
pytest_in_venv() { # pytest_in_venv [VAR=value...] -- pytest args...
    local vars=()
    while (($#)) && [[ $1 != -- ]]; do
        vars+=("$1")
        shift
    done
    shift
    "${clean[@]}" QT_API=pyside6 PYTEST_QT_API=pyside6 "${vars[@]}" \
        "$venv/bin/python" -P -m pytest -q -rs -p no:cacheprovider "$@" 2>&1 | tee "$log"
}

say "smoke tests against the installed wheels"
smoke=(tests/test_module.py tests/test_construction.py tests/test_typing.py)
set +e
pytest_in_venv -- "${smoke[@]}"
rc=${PIPESTATUS[0]}
set -e
((rc == 0)) || { say "smoke tests failed (pytest exit $rc)"; status=1; }

say "the demo's scripted session against the installed wheels"
if ! "${clean[@]}" QT_API=pyside6 "$venv/bin/python" -P examples/demo_form.py --offscreen \
    --screenshot "$work/demo"; then
    say "the demo's scripted session failed"
    status=1
fi

say "packaging tests: a host framework left alone, and the errors for missing pieces"
"${clean[@]}" "$venv/bin/python" -m pip download --disable-pip-version-check -q \
    --only-binary :all: -d "$work/wheelhouse" "PySide6-Essentials>=6.5" "qtpy>=2.4"
report=$work/import-errors.txt
: >"$report"
set +e
pytest_in_venv TESSU_DIST="$dist" TESSU_WHEELHOUSE="$work/wheelhouse" TESSU_PACKAGING_REPORT="$report" \
    -- tests/test_packaging.py
rc=${PIPESTATUS[0]}
set -e
if ((rc != 0)); then
    say "packaging tests failed (pytest exit $rc)"
    status=1
elif grep -qE '[0-9]+ skipped' "$log" || ! grep -qE '[0-9]+ passed' "$log"; then
    say "packaging tests were skipped: they prove nothing then"
    status=1
fi
say "import errors as a user sees them:"
cat -- "$report" >&2

((status == 0)) && say "all checks passed"
exit "$status"
