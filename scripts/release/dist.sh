#!/usr/bin/env bash
# Run by noxfile.py's dist session, whose venv puts build, twine (with its Markdown renderer)
# and pytest on PATH: writes the release artefacts to dist/ (or $DIST_DIR), replacing earlier
# ones:
#   - the field's sdist, and from it one wheel per interpreter and machine: x86-64 by
#     scripts/release/wheel.sh (in the sid root for the interpreters this machine lacks), and
#     aarch64 cross-compiled by scripts/release/dist_cross.sh in the amd64 sid root, each
#     repaired by auditwheel to a manylinux tag, so that an index accepts it and users need
#     no compiler;
#   - from the same sdist, the Windows x86-64 wheels that can be built here (CPython 3.13),
#     cross-compiled by scripts/release/dist_windows.sh;
#   - the host stand-in's sdist and wheel (from host/).
# Then every artefact's metadata is checked as PyPI renders it, and each x86-64 wheel is held
# to a plain `pip install` of the sdist by the same interpreter.
#
#   .venv-nox/bin/python -m nox -s dist
#
# Knobs (environment):
#   DIST_DIR          output directory (default: <repo>/dist)
#   DIST_PYTHONS      interpreters to build wheels for (default: all of matrix.toml)
#   DIST_ARCHES       machines to build wheels for (default: "x86_64 aarch64 win_amd64")
#   DIST_MAX_GLIBC_MINOR  fail when a field wheel needs a glibc newer than 2.N (default 17)
#   DIST_CHECK_SDIST  1 (default) = also `pip install` the field's sdist into a scratch
#                     directory with each interpreter and fail unless it yields exactly the
#                     files of that interpreter's wheel, byte for byte (compiles the module
#                     once more); 0 = skip that
set -euo pipefail

say() { printf 'dist.sh: %s\n' "$*" >&2; }
REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib/matrix.sh
source "$REPO_ROOT/scripts/lib/matrix.sh"
cd "$REPO_ROOT"

if ! python -c 'import build, twine, readme_renderer, pytest' >/dev/null 2>&1; then
    say "the release tools are not on PATH: run me through nox (.venv-nox/bin/python -m nox -s dist)"
    exit 2
fi

out=${DIST_DIR:-$REPO_ROOT/dist}
[[ "$out" == /* ]] || out="$PWD/$out"
# The sid root sees the checkout alone.
[[ "$out/" == "$REPO_ROOT/"* ]] || { say "DIST_DIR must lie inside the checkout: $out"; exit 1; }

read -r -a pythons <<<"${DIST_PYTHONS:-${MATRIX_PYTHONS[*]}}"
matrix_known python "${pythons[@]}"
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
python -m build --sdist --outdir "$out" "$REPO_ROOT"

# The trees that `pip install` makes of the sdist, one per interpreter, where the sid root
# writes them too.
trees=$REPO_ROOT/build/from-sdist
rm -rf -- "$trees"
check_sdist=()
if [[ "${DIST_CHECK_SDIST:-1}" == 1 ]]; then
    mkdir -p "$trees"
    check_sdist=(DIST_FROM_SDIST="$trees")
fi
for v in "${pythons[@]}"; do
    ((x86_64)) || break
    scripts/lib/pyfor.sh "$v" env DIST_DIR="$out" "${check_sdist[@]}" scripts/release/wheel.sh
done

if ((aarch64)); then
    # The cross compiler and the arm64 headers live in the amd64 sid root.
    cross=(env DIST_DIR="$out" scripts/release/dist_cross.sh "${pythons[@]}")
    if [[ -n "${PYROOT_NAME:-}" ]]; then "${cross[@]}"; else scripts/lib/pyroot.sh run "${cross[@]}"; fi
fi

if ((win_amd64)); then
    DIST_DIR="$out" scripts/release/dist_windows.sh "${pythons[@]}"
fi

say "building the host stand-in's sdist and wheel"
python -m build --outdir "$out" "$REPO_ROOT/host"

# Build backends write through temporary files, some with owner-only permissions.
chmod 644 -- "$out"/zarvel_tessu_autocomplete-* "$out"/zarvel_host_standin-*
# The README is the package's page on PyPI: one that the index cannot render, or metadata it
# would refuse, fails here and not at the upload.
say "checking every artefact's metadata and description as PyPI renders them"
python -m twine check --strict "$out"/zarvel_tessu_autocomplete-* "$out"/zarvel_host_standin-*

if ((${#check_sdist[@]} && x86_64)); then
    # The comparison is tests/test_packaging.py's. A run that skipped or selected nothing
    # compared nothing.
    say "comparing each interpreter's tree from the sdist with its released wheel"
    log=$(mktemp)
    trap 'rm -f -- "$log"' EXIT
    rc=0
    env -u PYTHONPATH TESSU_DIST="$out" TESSU_FROM_SDIST="$trees" \
        python -P -m pytest -q -s -p no:cacheprovider tests/test_packaging.py \
        -k test_pip_install_of_the_sdist_gives_the_wheels_files 2>&1 | tee "$log" || rc=$?
    if ((rc != 0)); then
        say "pip install of the sdist does not give the released wheels' files," \
            "or the comparison could not run (pytest exit $rc)"
        exit 1
    fi
    if grep -qE '[0-9]+ skipped' "$log" || ! grep -qE "${#pythons[@]} passed" "$log"; then
        say "the comparison of the wheels with the sdist did not run for every interpreter"
        exit 1
    fi
fi

say "wrote to $out:"
for f in "$out"/zarvel_tessu_autocomplete-* "$out"/zarvel_host_standin-*; do
    printf '  %s\n' "$(basename "$f")" >&2
done
