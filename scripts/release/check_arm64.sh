#!/usr/bin/env bash
# Proves the aarch64 wheels that scripts/release/dist.sh cross-compiled, on an aarch64 userland: in
# the arm64 sid root of scripts/lib/pyroot.sh (run under qemu-user), for each interpreter and
# binding, a clean venv installs the field's aarch64 wheel with the binding's extra and the
# stand-in's wheel, binaries only; then the smoke subset of scripts/release/check_dist.sh (less the typing checks), the stack
# guard's tests (tests/test_reentry.py: small threads, fields wired into loops) and the
# demo's scripted session run offscreen against that install. Each part's wall time and the
# pass counts are printed.
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

if [[ -z "${ARM_CHECK_ONE:-}" ]]; then
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
    artefact "$dist" 'zarvel_host_standin-*.whl' >/dev/null
    [[ "$dist/" == "$REPO_ROOT/"* ]] || { say "DIST_DIR must lie inside the checkout for the root to see it"; exit 1; }

    t_all=$SECONDS
    t0=$SECONDS
    PYROOT_ARM_PYTHONS="${pythons[*]}" "$REPO_ROOT/scripts/lib/pyroot.sh" --arch arm64 build
    say "time: arm64 root build (or cache check): $((SECONDS - t0)) s"
    # pip resolving and downloading under emulation took minutes: the wheels come down here,
    # natively, for the root's machine, interpreter and glibc, and install offline there.
    root=$("$REPO_ROOT/scripts/lib/pyroot.sh" --arch arm64 path)
    glibc=$(awk '/^Package: libc6$/ { f = 1 } f && /^Version:/ { print $2; exit }' \
        "$root/var/lib/dpkg/status" | grep -oE '^2\.[0-9]+' | cut -d. -f2)
    [[ -n $glibc ]] || { say "cannot read the arm64 root's glibc version"; exit 1; }
    host_py=$(command -v python3) || { say "python3 with pip is needed here to fetch the wheels"; exit 1; }
    # pip takes --platform literally: every manylinux level the root's glibc runs.
    plats=()
    for ((m = glibc; m >= 17; m--)); do plats+=(--platform "manylinux_2_${m}_aarch64"); done
    failed=() summary=()
    for v in "${pythons[@]}"; do
        for b in "${bindings[@]}"; do
            say "=== CPython $v aarch64, $b ==="
            t0=$SECONDS
            house=$REPO_ROOT/build/arm64-wheels/cp${v/./}-$b
            mkdir -p "$house"
            extra=pyside6
            [[ $b == pyqt6 ]] && extra=pyqt6
            "$host_py" -m pip download --disable-pip-version-check -q --only-binary :all: \
                "${plats[@]}" --implementation cp \
                --python-version "$v" --abi "cp${v/./}" -d "$house" \
                "$(field_wheel "$dist" "$v" "manylinux*_aarch64")[$extra]" \
                "$(artefact "$dist" 'zarvel_host_standin-*.whl')" pytest pytest-qt pytest-timeout hypothesis
            say "time: fetching the aarch64 wheels here: $((SECONDS - t0)) s"
            res=$(mktemp)
            if PYROOT_ARM_PYTHONS="${pythons[*]}" "$REPO_ROOT/scripts/lib/pyroot.sh" --arch arm64 run \
                env ARM_CHECK_ONE=1 ARM_RESULT="$res" TESSU_PY="$v" ARM_BINDING="$b" DIST_DIR="$dist" \
                ARM_WHEELS="$house" "$REPO_ROOT/scripts/release/check_arm64.sh"; then
                summary+=("$v $b: $(<"$res") (all: $((SECONDS - t0)) s)")
            else
                summary+=("$v $b: FAILED $(cat "$res" 2>/dev/null) ($((SECONDS - t0)) s)")
                failed+=("$v/$b")
            fi
            rm -f -- "$res"
        done
    done
    say "summary:"
    for line in "${summary[@]}"; do say "  $line"; done
    say "time: whole check $((SECONDS - t_all)) s"
    if ((${#failed[@]})); then
        say "failed on: ${failed[*]}"
        exit 1
    fi
    say "all aarch64 checks passed on: ${pythons[*]} with ${bindings[*]}"
    exit 0
fi

# --- inside the arm64 root, one interpreter and binding ---
machine=$(uname -m)
[[ $machine == aarch64 ]] || { say "this part runs in the arm64 root, not on $machine"; exit 1; }
cd "$REPO_ROOT"
v=$TESSU_PY abi=cp${TESSU_PY/./} binding=$ARM_BINDING
field_whl=$(field_wheel "$dist" "$v" "manylinux*_aarch64")
host_whl=$(artefact "$dist" 'zarvel_host_standin-*.whl')
case $binding in
pyside6) module=PySide6 ;;
pyqt6) module=PyQt6 ;;
esac

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
results=()
record() { results+=("$1"); printf '%s\n' "${results[*]}" >"$ARM_RESULT"; }

t0=$SECONDS
venv=$work/venv
"python$v" -m venv "$venv"
# Nothing on PATH but the clean venv, and compilers that fail: binaries only, as a user gets.
clean=(env -u PYTHONPATH -u VIRTUAL_ENV PATH="$venv/bin" CC=false CXX=false
    QT_QPA_PLATFORM=offscreen QT_API="$binding" PYTEST_QT_API="$binding")
say "installing $(basename "$field_whl")[$binding] and $(basename "$host_whl"), binaries only"
say "time: venv: $((SECONDS - t0)) s"
# Byte-compiling every installed file under emulation costs more than the tests import.
"${clean[@]}" "$venv/bin/python" -m pip install --disable-pip-version-check -q --only-binary :all: \
    --no-index --find-links "$ARM_WHEELS" --no-compile \
    "${field_whl}[$binding]" "$host_whl" pytest pytest-qt pytest-timeout hypothesis
"${clean[@]}" "$venv/bin/python" -P -c "
import platform, sys, sysconfig, $module.QtCore as qc, zarvel.material.hook_form.tessu_autocomplete as m
site = sysconfig.get_path('platlib')
if not m.__file__.startswith(site) or not m.__file__.endswith('aarch64-linux-gnu.so'):
    sys.exit('check_arm64.sh: imported ' + m.__file__)
print('check_arm64.sh: CPython', platform.python_version(), platform.machine(), '$module', qc.qVersion(),
      'module', m.__file__.rsplit('/', 1)[-1], file=sys.stderr)"
say "time: venv + install: $((SECONDS - t0)) s"
record "install $((SECONDS - t0)) s;"

timeout_s=${ARM_TIMEOUT:-900}
status=0
log=$work/pytest.log
part() { # part LABEL pytest-args...
    local label=$1 rc counts
    shift
    t0=$SECONDS
    say "$label"
    set +e
    "${clean[@]}" /usr/bin/timeout --kill-after=30 "$timeout_s" \
        "$venv/bin/python" -P -m pytest -q -rs -p no:cacheprovider "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    set -e
    counts=$(tail -n 1 "$log" | grep -oE '[0-9]+ (passed|failed|skipped|errors?|xfailed|xpassed)' |
        paste -sd, - | sed 's/,/, /g')
    say "time: $label: $((SECONDS - t0)) s (${counts:-no counts}, pytest exit $rc)"
    record "$label: ${counts:-none} in $((SECONDS - t0)) s;"
    if ((rc != 0)) || ! grep -qE '[0-9]+ passed' <<<"$counts"; then
        status=1
    fi
}

# The smoke subset of scripts/release/check_dist.sh, less tests/test_typing.py: the stub and what mypy
# makes of it are the same on every machine (check_dist.sh runs them), and mypy under
# emulation takes longer than everything else here together.
part "smoke tests" tests/test_module.py tests/test_construction.py
part "stack guard tests" tests/test_reentry.py

t0=$SECONDS
say "the demo's scripted session"
if "${clean[@]}" /usr/bin/timeout --kill-after=30 "$timeout_s" "$venv/bin/python" -P examples/demo_form.py \
    --offscreen --screenshot "$work/demo"; then
    shots=$(find "$work/demo" -name '*.png' | wc -l)
    say "time: demo: $((SECONDS - t0)) s ($shots screenshots)"
    record "demo ok ($shots screenshots) in $((SECONDS - t0)) s"
    ((shots > 0)) || { say "the demo wrote no screenshot"; status=1; }
else
    say "time: demo: $((SECONDS - t0)) s, FAILED"
    record "demo FAILED in $((SECONDS - t0)) s"
    status=1
fi
exit "$status"
