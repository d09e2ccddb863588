#!/usr/bin/env bash
# Builds the stack guard's probe program (tests/guard) for each platform the guard knows and
# runs it wherever this machine can: natively (glibc with g++, static musl with zig), under
# wine (Windows) and qemu (aarch64 Linux). The macOS builds are only compiled. Installs what
# it needs (Debian packages, zig into .venv-zig) on first use.
#
#   scripts/proof/guard_check.sh        exit status 0 when every run passed and every build built
#
# Knobs (environment): SKIP_APT=1 never installs Debian packages (a missing runner fails its
# platform instead).
set -euo pipefail

say() { printf 'guard_check.sh: %s\n' "$*" >&2; }
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$repo"
t0=$SECONDS

out=$(mktemp -d)
trap 'rm -rf -- "$out"' EXIT

need_packages=()
command -v g++ >/dev/null || need_packages+=(g++)
command -v wine64 >/dev/null || [[ -x /usr/lib/wine/wine64 ]] || need_packages+=(wine64)
command -v qemu-aarch64-static >/dev/null || need_packages+=(qemu-user-static)
# The aarch64 glibc loader and libc, for the dynamic aarch64 build under qemu.
[[ -e /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 ]] || need_packages+=(libc6-arm64-cross)
if ((${#need_packages[@]})); then
    if [[ "${SKIP_APT:-0}" == 1 ]]; then
        say "missing Debian packages: ${need_packages[*]} (SKIP_APT=1)"
    else
        say "installing ${need_packages[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${need_packages[@]}" >/dev/null
    fi
fi

venv=$repo/.venv-zig
if ! "$venv/bin/python" -m ziglang version >/dev/null 2>&1; then
    say "installing zig into $venv"
    python3 -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check ziglang
fi
zig=("$venv/bin/python" -m ziglang)

sources=(tests/guard/guard_probe.cpp material/hook_form/stack.cpp)
# The module is built without exceptions or RTTI, and so is the guard here.
flags=(-std=c++20 -O2 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -Iinclude -Imaterial/hook_form)

# zig_build TARGET OUTPUT [FLAGS...]: compiled as C++, linked by the C driver. Neither file
# needs the C++ runtime, and leaving it out spares a first build of libc++ for every target.
zig_build() {
    local target=$1 output=$2 objects=() src obj
    shift 2
    for src in "${sources[@]}"; do
        obj=$out/$target-$(basename "$src" .cpp).o
        "${zig[@]}" c++ -target "$target" "${flags[@]}" "$@" -c "$src" -o "$obj" || return
        objects+=("$obj")
    done
    "${zig[@]}" cc -target "$target" "$@" "${objects[@]}" -o "$output"
}

results=()
record() { results+=("$(printf '%-22s %s' "$1" "$2")"); }

# run NAME BUILD-COMMAND... -- RUN-COMMAND...
run() {
    local name=$1 build=() runner=()
    shift
    while [[ $1 != -- ]]; do build+=("$1") && shift; done
    shift
    runner=("$@")
    echo "=== $name ==="
    if ! "${build[@]}" 2>"$out/$name.err"; then
        cat "$out/$name.err"
        record "$name" "FAILED (build)"
        return
    fi
    # A compiler's notes (the guard's "no bounds here" message among them) are worth seeing.
    cat "$out/$name.err"
    if ((${#runner[@]} == 0)); then
        echo "$name: built; it cannot be run here"
        record "$name" "built only"
        return
    fi
    local rc=0
    "${runner[@]}" "$name" || rc=$?
    if ((rc == 0)); then record "$name" "PASS"; else record "$name" "FAILED (exit $rc)"; fi
}

run x86_64-linux-gnu g++ "${flags[@]}" -pthread "${sources[@]}" -o "$out/glibc" \
    -- "$out/glibc"
run x86_64-linux-musl zig_build x86_64-linux-musl "$out/musl" -static -- "$out/musl"

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-/tmp/guard-check-wine}
run x86_64-windows-gnu zig_build x86_64-windows-gnu "$out/probe.exe" -- "$wine" "$out/probe.exe"

# glibc 2.17 is the floor of the aarch64 wheels.
run aarch64-linux-gnu zig_build aarch64-linux-gnu.2.17 "$out/arm64-glibc" -pthread \
    -- qemu-aarch64-static -L /usr/aarch64-linux-gnu "$out/arm64-glibc"
run aarch64-linux-musl zig_build aarch64-linux-musl "$out/arm64-musl" -static \
    -- qemu-aarch64-static "$out/arm64-musl"

for target in aarch64-macos x86_64-macos; do
    run "$target" zig_build "$target" "$out/$target" --
done

echo
echo "=== summary ==="
printf '%s\n' "${results[@]}"
echo "wall time: $((SECONDS - t0)) s"
! printf '%s\n' "${results[@]}" | grep -q FAILED
