#!/usr/bin/env bash
# Run by scripts/release/dist.sh.
# Cross-compiles the field's Windows x86-64 wheels from the sdist that scripts/release/dist.sh wrote,
# one per interpreter that a Windows CPython can be had for here (scripts/lib/winpy.sh): zig's
# clang through the CMake toolchain file scripts/release/toolchains/x86_64-windows-gnu.cmake, against that
# interpreter's own headers and import library. The module must import no DLL but the
# interpreter's and Windows' own. scripts/release/dist.sh runs this; by hand:
#
#   scripts/release/dist_windows.sh [3.N...]   (default: matrix.toml's)
#
# Versions with no Windows interpreter here are named and left to the hosted runners
# (.github/workflows/wheels.yml); it fails only when none of those asked for can be built.
#
# Knobs (environment):
#   DIST_DIR   directory holding the sdist, and where the wheels go (default: <repo>/dist)
set -euo pipefail

say() { printf 'dist_windows.sh: %s\n' "$*" >&2; }

REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib/winpy.sh
source "$REPO_ROOT/scripts/lib/winpy.sh"
# shellcheck source=scripts/lib/artefacts.sh
source "$REPO_ROOT/scripts/lib/artefacts.sh"
# shellcheck source=scripts/lib/cross.sh
source "$REPO_ROOT/scripts/lib/cross.sh"

out=${DIST_DIR:-$REPO_ROOT/dist}
[[ "$out" == /* ]] || out="$PWD/$out"
sdist=$(artefact "$out" 'zarvel_tessu_autocomplete-*.tar.gz')

asked=("$@")
((${#asked[@]})) || asked=("${MATRIX_PYTHONS[@]}")
mapfile -t known < <(winpy_versions sdk)
versions=()
for v in "${asked[@]}"; do
    if [[ " ${known[*]} " == *" $v "* ]]; then
        versions+=("$v")
    else
        say "no Windows CPython $v to build against here: its wheel comes from the hosted runners"
    fi
done
((${#versions[@]})) || { say "none of ${asked[*]} can be built here (known: ${known[*]})"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT

# The DLLs a module may import: the interpreter's, and what every Windows 10 has.
allowed_dll() {
    local lower=${1,,}
    [[ $lower == "$2" || $lower == kernel32.dll || $lower == ucrtbase.dll ||
        $lower == api-ms-win-crt-*.dll ]]
}

win_wheel() {
    local v=$1 abi=cp${1/./} sdk venv host_py suffix zigdir
    sdk=$REPO_ROOT/build/windows/sdk-$abi
    # Fetched and unpacked each time: a cached copy could have been changed since.
    winpy_fetch sdk "$v" "$sdk" || return 1
    [[ -f $sdk/libs/python${abi#cp}.lib && -f $sdk/include/Python.h ]] || {
        say "$sdk lacks libs/python${abi#cp}.lib or include/Python.h"
        return 1
    }
    # CMake learns the interpreter version from the build's interpreter, and the module
    # records it as the version it is built for: it must be the target's.
    host_py=$(TESSU_PY=$v bash "$REPO_ROOT/scripts/lib/env.sh" --find) || {
        say "CPython $v is needed on this machine to run the build"
        return 1
    }
    venv=$REPO_ROOT/.venv-windows-build-$v
    if ! "$venv/bin/python" -c 'import scikit_build_core, cmake, ninja, ziglang' 2>/dev/null; then
        say "preparing the cross-build tools in $venv"
        rm -rf -- "$venv"
        "$host_py" -m venv "$venv"
        "$venv/bin/python" -m pip install --disable-pip-version-check -q \
            "scikit-build-core>=0.11" cmake ninja ziglang
    fi
    zigdir=$("$venv/bin/python" -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')
    suffix=".$abi-win_amd64.pyd"

    say "cross-compiling the field's $abi win_amd64 wheel from $(basename "$sdist")" \
        "(zig builds its libc++ for Windows once, a few minutes)"
    # FindPython is pointed at the Windows interpreter's headers and import library;
    # python313.dll beside them tells it the library is a DLL's.
    PATH="$zigdir:$PATH" cross_pip_wheel win-amd64 "$suffix" x86_64-windows-gnu "$venv" "$work" "$abi" \
        "$sdist" --config-settings=cmake.define.Python_INCLUDE_DIR="$sdk/include" \
        --config-settings=cmake.define.Python_LIBRARY="$sdk/libs/python${abi#cp}.lib" \
        --config-settings=cmake.define.TESSU_WERROR=ON
    local wheels=("$work/field-$abi"/*.whl)
    ((${#wheels[@]} == 1)) || { say "expected one wheel, got ${#wheels[@]}"; return 1; }
    [[ $(basename "${wheels[0]}") == *-$abi-$abi-win_amd64.whl ]] || {
        say "the build was not tagged $abi win_amd64: $(basename "${wheels[0]}")"
        return 1
    }

    mkdir "$work/unpacked-$abi"
    (cd "$work/unpacked-$abi" && "$venv/bin/python" -m zipfile -e "${wheels[0]}" .)
    # RECORD is checked with every other wheel's in dist/ by tests/test_packaging.py, which
    # scripts/release/check_dist.sh runs.
    local pyd="$work/unpacked-$abi/zarvel/material/hook_form/tessu_autocomplete$suffix"
    [[ -f $pyd ]] || {
        say "no tessu_autocomplete$suffix in the wheel, only:" \
            "$(cd "$work/unpacked-$abi" && find zarvel -type f | tr '\n' ' ')"
        return 1
    }
    local format dlls=() dll refused=()
    format=$(objdump -f "$pyd" | sed -n 's/.*file format *//p')
    [[ $format == pei-x86-64 ]] || { say "$(basename "$pyd") is '$format', not pei-x86-64"; return 1; }
    mapfile -t dlls < <(objdump -p "$pyd" | sed -n 's/^[[:space:]]*DLL Name: *//p')
    say "$abi module: $(basename "$pyd"), $format, imports: ${dlls[*]}"
    for dll in "${dlls[@]}"; do
        allowed_dll "$dll" "python${abi#cp}.dll" || refused+=("$dll")
    done
    if ((${#refused[@]})); then
        say "the module imports DLLs a user's Windows may lack: ${refused[*]}"
        return 1
    fi
    cp -- "${wheels[0]}" "$out/"
    chmod 644 -- "$out/$(basename "${wheels[0]}")"
}

failed=()
for v in "${versions[@]}"; do
    win_wheel "$v" || failed+=("$v")
done
if ((${#failed[@]})); then
    say "no win_amd64 wheel for: ${failed[*]}"
    exit 1
fi
