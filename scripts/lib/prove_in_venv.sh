#!/usr/bin/env bash
# Run by scripts/release/check_dist.sh (natively) and scripts/release/check_arm64.sh (in the
# arm64 root, under qemu): a clean venv of the given interpreter installs the given wheels,
# binaries only, with nothing on PATH but that venv and compilers that fail, as a user gets
# them; then scripts/lib/prove_wheel.py proves the install and writes its counts as JSON.
#
#   scripts/lib/prove_in_venv.sh [--timeout S] [--module-suffix S] PYTHON BINDING PARTS JSON
#                                [pip install args...]
#
# PARTS is prove_wheel.py's comma-separated list, and the options are its own. The environment reaches the prover (the
# packaging part reads TESSU_DIST and its neighbours from it), but for PATH, PYTHONPATH and
# the Qt choice, which are the clean venv's.
set -euo pipefail

say() { printf 'prove_in_venv.sh: %s\n' "$*" >&2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

prover_opts=()
while [[ ${1:-} == --timeout || ${1:-} == --module-suffix ]]; do
    prover_opts+=("$1" "${2:?$1 needs a value}")
    shift 2
done
(($# >= 4)) || {
    say "usage: prove_in_venv.sh [--timeout S] [--module-suffix S] PYTHON BINDING PARTS JSON" \
        "[pip install args...]"
    exit 2
}
py=$1 binding=$2 parts=$3 json=$4
shift 4

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
venv=$work/venv
t0=$SECONDS
"$py" -m venv "$venv"
clean=(env -u PYTHONPATH -u VIRTUAL_ENV PATH="$venv/bin" CC=false CXX=false
    QT_QPA_PLATFORM=offscreen QT_API="$binding" PYTEST_QT_API="$binding")

reachable() { "${clean[@]}" "$BASH" -c "command -v $1" >/dev/null 2>&1; }
# No compiler, CMake or ninja to fall back on: a wheel that needed one would not install.
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
"${clean[@]}" "$venv/bin/python" -m pip install --disable-pip-version-check -q --only-binary :all: "$@"
no_build_tools "after the install"
say "time: venv and install: $((SECONDS - t0)) s"

cd "$here/../.."
rc=0
"${clean[@]}" "$venv/bin/python" -P "$here/prove_wheel.py" --binding "$binding" --part "$parts" \
    --json "$json" --work "$work/prove" "${prover_opts[@]}" || rc=$?
exit "$rc"
