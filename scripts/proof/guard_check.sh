#!/usr/bin/env bash
# Run by noxfile.py's guard session, whose venv brings zig (ziglang): builds the stack guard's
# probe program (tests/guard) for each platform the guard knows and runs it wherever this
# machine can: natively (glibc with g++, static musl with zig, and musl's under two stack
# rlimits), under wine (Windows) and qemu (aarch64 Linux). The macOS builds are only compiled.
# The Debian packages it runs with come from scripts/provision.sh
# (groups build, wine, qemu and cross), and a missing one is named, with its group, and fails
# its platform.
#
#   scripts/proof/guard_check.sh        exit status 0 when every run passed and every build built
set -euo pipefail

say() { printf 'guard_check.sh: %s\n' "$*" >&2; }
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$repo"
t0=$SECONDS

out=$(mktemp -d)
trap 'rm -rf -- "$out"' EXIT

# shellcheck source=scripts/provision.sh
source "$repo/scripts/provision.sh"
command -v g++ >/dev/null || provision_need build g++
command -v wine64 >/dev/null || [[ -x /usr/lib/wine/wine64 ]] || provision_need wine wine64
command -v qemu-aarch64-static >/dev/null || provision_need qemu qemu-aarch64-static
# The aarch64 glibc loader and libc, for the dynamic aarch64 build under qemu.
[[ -e /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 ]] ||
    provision_need cross /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1

# zig comes from PyPI (ziglang), in the venv of noxfile.py's guard session.
if ! python -m ziglang version >/dev/null 2>&1; then
    say "no zig for this python: run me as .venv-nox/bin/python -m nox -s guard"
    exit 2
fi
zig=(python -m ziglang)

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

# musl's main thread: its extent is read from the stack rlimit, and an unlimited one is taken
# as 8 MiB. Under each the probe must report exactly that (the kernel keeps other mappings far
# below a stack). The address space is capped, so that a guard that let a recursion run on
# under an unlimited stack would crash the probe instead of filling the machine's memory.
rlimit_run() { # rlimit_run LIMIT EXPECTED-KIB
    local name="musl main, ulimit -s $1" output kib rc=0
    echo "=== $name ==="
    output=$(ulimit -v $((1 << 20)) && ulimit -s "$1" && "$out/musl" "rlimit-$1") || rc=$?
    printf '%s\n' "$output"
    kib=$(sed -n 's/^rlimit-[^:]*: main .*: \([0-9]*\) KiB,.*/\1/p' <<<"$output")
    if ((rc != 0)); then
        record "$name" "FAILED (exit $rc)"
    elif [[ $kib != "$2" ]]; then
        record "$name" "FAILED (main thread ${kib:-?} KiB, not $2)"
    else
        record "$name" "PASS ($kib KiB)"
    fi
}
if [[ -x $out/musl ]]; then
    rlimit_run 2048 2048
    rlimit_run unlimited 8192
fi

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
