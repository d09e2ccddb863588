#!/usr/bin/env bash
# Run by noxfile.py's arm64 session: proves the aarch64 wheels that scripts/release/dist.sh
# cross-compiled, on an aarch64 userland. In the arm64 sid root of scripts/lib/pyroot.sh (run
# under qemu-user), for each interpreter and binding, scripts/lib/prove_in_venv.sh installs the
# field's aarch64 wheel with the binding's extra and the stand-in's wheel into a clean venv,
# binaries only; then the wheel prover runs the smoke subset of the suite, the stack guard's
# tests (tests/test_reentry.py: small threads, fields wired into loops) and the demo's
# scripted session there, offscreen. The stub's typing tests are left to check_dist.sh: the
# stub and what mypy makes of it are the same on every machine, and mypy under emulation takes
# longer than everything else here together. Prints each part's counts and time.
#
#   scripts/release/check_arm64.sh
#
# Knobs (environment):
#   DIST_DIR       directory with the artefacts (default: <repo>/dist)
#   ARM_PYTHONS    interpreters to check (default: matrix.toml's [linux_aarch64]); the root
#                  gains those it lacks
#   ARM_BINDINGS   bindings to check (default: matrix.toml's [linux_aarch64]; PyQt6 may be
#                  added, PyQt5 publishes no aarch64 wheel)
#   ARM_TIMEOUT    seconds one part may take under emulation before it counts as failed
#                  (default 900)
set -euo pipefail

say() { printf 'check_arm64.sh: %s\n' "$*" >&2; }

REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
dist=${DIST_DIR:-$REPO_ROOT/dist}
[[ "$dist" == /* ]] || dist="$PWD/$dist"

# shellcheck source=scripts/lib/artefacts.sh
source "$REPO_ROOT/scripts/lib/artefacts.sh"
# shellcheck source=scripts/lib/matrix.sh
source "$REPO_ROOT/scripts/lib/matrix.sh"

read -r -a pythons <<<"${ARM_PYTHONS:-$(matrix_get linux_aarch64 pythons | xargs)}"
read -r -a bindings <<<"${ARM_BINDINGS:-$(matrix_get linux_aarch64 bindings | xargs)}"
((${#pythons[@]} && ${#bindings[@]})) || { say "ARM_PYTHONS and ARM_BINDINGS must name something"; exit 2; }
for v in "${pythons[@]}"; do
    matrix_known python "$v" || exit 2
    field_wheel "$dist" "$v" "manylinux*_aarch64" >/dev/null
done
for b in "${bindings[@]}"; do
    # PyQt5 publishes no aarch64 wheel, and a source build proves nothing about ours.
    case $b in pyside6 | pyqt6) ;; *) say "unknown binding '$b' (known here: pyside6 pyqt6)"; exit 2 ;; esac
done
host_whl=$(artefact "$dist" 'zarvel_host_standin-*.whl')
[[ "$dist/" == "$REPO_ROOT/"* ]] || { say "DIST_DIR must lie inside the checkout for the root to see it"; exit 1; }

arm() { PYROOT_ARM_PYTHONS="${pythons[*]}" "$REPO_ROOT/scripts/lib/pyroot.sh" --arch arm64 "$@"; }

t_all=$SECONDS
t0=$SECONDS
arm build
say "time: arm64 root build (or cache check): $((SECONDS - t0)) s"
# pip resolving and downloading under emulation took minutes: the wheels come down here,
# natively, for the root's machine, interpreter and glibc, and install offline there.
glibc=$(arm run getconf GNU_LIBC_VERSION | grep -oE '2\.[0-9]+' | cut -d. -f2)
[[ -n $glibc ]] || { say "cannot read the arm64 root's glibc version"; exit 1; }
host_py=$(command -v python3) || { say "python3 with pip is needed here to fetch the wheels"; exit 1; }
# pip takes --platform literally: every manylinux level the root's glibc runs.
plats=()
for ((m = glibc; m >= 17; m--)); do plats+=(--platform "manylinux_2_${m}_aarch64"); done

# The results lie in the checkout, which the root sees at the same path.
results=$REPO_ROOT/out/prove
mkdir -p "$results"
jsons=() failed=()
for v in "${pythons[@]}"; do
    field_whl=$(field_wheel "$dist" "$v" "manylinux*_aarch64")
    for b in "${bindings[@]}"; do
        say "=== CPython $v aarch64, $b ==="
        t0=$SECONDS
        house=$REPO_ROOT/build/arm64-wheels/cp${v/./}-$b
        mkdir -p "$house"
        "$host_py" -m pip download --disable-pip-version-check -q --only-binary :all: \
            "${plats[@]}" --implementation cp --python-version "$v" --abi "cp${v/./}" -d "$house" \
            "${field_whl}[$b]" "$host_whl" pytest pytest-qt pytest-timeout hypothesis
        say "time: fetching the aarch64 wheels here: $((SECONDS - t0)) s"
        json=$results/arm64-$v-$b.json
        rm -f -- "$json"
        jsons+=("$json")
        # Byte-compiling every installed file under emulation costs more than the tests import.
        arm run "$REPO_ROOT/scripts/lib/prove_in_venv.sh" --timeout "${ARM_TIMEOUT:-900}" \
            --module-suffix aarch64-linux-gnu.so "python$v" "$b" smoke,reentry,demo "$json" \
            --no-index --find-links "$house" --no-compile \
            "${field_whl}[$b]" "$host_whl" pytest pytest-qt pytest-timeout hypothesis ||
            failed+=("$v/$b")
        say "time: CPython $v, $b: $((SECONDS - t0)) s"
    done
done
say "summary:"
"$host_py" "$REPO_ROOT/scripts/lib/prove_wheel.py" --summary "${jsons[@]}" >&2 || true
say "time: whole check $((SECONDS - t_all)) s"
if ((${#failed[@]})); then
    say "failed on: ${failed[*]}"
    exit 1
fi
say "all aarch64 checks passed on: ${pythons[*]} with ${bindings[*]}"
