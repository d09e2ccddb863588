#!/usr/bin/env bash
# Run by noxfile.py's check_dist session, once per interpreter (those this machine lacks in the
# sid root of scripts/lib/pyroot.sh): checks the x86-64 artefacts that scripts/release/dist.sh
# wrote for CPython $TESSU_PY, as a user gets them.
#   1. A clean venv installs the field's wheel with its pyside6 extra and the stand-in's
#      wheel, binaries only, with no compiler, CMake or ninja reachable (the sid root has a
#      compiler, which is no more reachable there than here).
#   2. The wheel prover (scripts/lib/prove_wheel.py) runs, in that venv, the smoke subset of
#      the suite, the stub's typing tests, the demo's scripted session, and
#      tests/test_packaging.py: the field installs into a fake host framework and uninstalls
#      without touching a file of it, and a missing binding or host is named by the import
#      error (printed here as a user sees it). Skipping counts as failure.
#
#   TESSU_PY=3.N scripts/release/check_dist.sh [JSON]
#
# JSON is where the prover's counts go (default: <repo>/out/prove/check_dist-3.N.json).
#
# Knobs (environment):
#   DIST_DIR   directory with the artefacts (default: <repo>/dist)
set -euo pipefail

say() { printf 'check_dist.sh: %s\n' "$*" >&2; }
REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib/matrix.sh
source "$REPO_ROOT/scripts/lib/matrix.sh"
# shellcheck source=scripts/lib/artefacts.sh
source "$REPO_ROOT/scripts/lib/artefacts.sh"
cd "$REPO_ROOT"

v=${TESSU_PY:-${MATRIX_PYTHONS[0]}}
matrix_known python "$v"
py=$(TESSU_PY=$v bash scripts/lib/env.sh --find) || {
    say "no CPython $v here (scripts/lib/env.sh says where it looks)"
    exit 1
}
json=${1:-$REPO_ROOT/out/prove/check_dist-$v.json}
mkdir -p "$(dirname "$json")"

dist=${DIST_DIR:-$REPO_ROOT/dist}
[[ "$dist" == /* ]] || dist="$PWD/$dist"
field_whl=$(field_wheel "$dist" "$v" "manylinux*_$(uname -m)")
host_whl=$(artefact "$dist" 'zarvel_host_standin-*.whl')

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
say "the wheels the packaging tests install offline"
# A venv of its own: a distribution's interpreter may come without pip.
"$py" -m venv "$work/fetch"
"$work/fetch/bin/python" -m pip download --disable-pip-version-check -q --only-binary :all: \
    -d "$work/wheelhouse" "$(matrix_get binding_requirements pyside6)" "qtpy>=2.4"
report=$work/import-errors.txt
: >"$report"

rc=0
TESSU_DIST="$dist" TESSU_WHEELHOUSE="$work/wheelhouse" TESSU_PACKAGING_REPORT="$report" \
    scripts/lib/prove_in_venv.sh "$py" pyside6 smoke,typing,demo,packaging "$json" \
    "${field_whl}[pyside6]" "$host_whl" pytest pytest-qt pytest-timeout hypothesis mypy || rc=$?
say "import errors as a user sees them:"
cat -- "$report" >&2
((rc == 0)) && say "all checks passed on CPython $v"
exit "$rc"
