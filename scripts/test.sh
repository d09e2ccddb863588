#!/usr/bin/env bash
# Runs the test suite once per interpreter and Qt binding, offscreen, against the package
# as installed in that interpreter's venv (see scripts/lib/env.sh).
#
#   scripts/test.sh [--python 3.N]... [pytest args...]
#
# An interpreter this machine lacks (3.14 and 3.15 on most) is taken from the Debian sid
# root of scripts/lib/pyroot.sh, which the first such run builds.
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   PYTHONS       interpreters to run, in order (default: "3.13 3.14 3.15"); --python
#                 instead names them one by one
#   BINDINGS      bindings to run, in order (default: "pyside6 pyqt6 pyqt5")
#   TEST_TIMEOUT  seconds allowed per binding run (default 1500; 0 = no limit)
set -euo pipefail

say() { printf 'test.sh: %s\n' "$*" >&2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# shellcheck source=scripts/lib/pyfor.sh
source "$here/lib/pyfor.sh"
pythons=()
while [[ "${1:-}" == --python ]]; do
    pythons+=("${2:?--python needs a version such as 3.14}")
    shift 2
done
((${#pythons[@]})) || read -r -a pythons <<<"${PYTHONS:-3.13 3.14 3.15}"
pyfor_check "${pythons[@]}"

# More than one interpreter, or one that is not here: one run of this script each,
# wherever that interpreter is, and one total at the end.
if ((${#pythons[@]} > 1)) || ! pyfor_here "${pythons[0]}"; then
    failed_any=0 grand_passed=0 grand_failed=0 grand_skipped=0 lines=()
    for v in "${pythons[@]}"; do
        say "=== CPython $v ==="
        out=$(mktemp)
        set +e
        pyfor_run "$v" PYTHONS="$v" "$here/test.sh" "$@" 2>&1 | tee "$out"
        rc=${PIPESTATUS[0]}
        set -e
        ((rc == 0)) || failed_any=1
        total=$(grep -E '^total: [0-9]+ passed' "$out" | tail -n1 || true)
        rm -f -- "$out"
        if [[ -z "$total" ]]; then
            lines+=("python $v: FAILED (exit $rc, no total)")
            continue
        fi
        read -r _ p _ f _ k _ <<<"$total"
        grand_passed=$((grand_passed + p)) grand_failed=$((grand_failed + f))
        grand_skipped=$((grand_skipped + k))
        lines+=("python $v: exit $rc; $total")
    done
    echo
    printf '%s\n' "${lines[@]}"
    echo "all interpreters: $grand_passed passed, $grand_failed failed, $grand_skipped skipped"
    exit "$failed_any"
fi

export TESSU_PY=${pythons[0]}
# shellcheck source=scripts/lib/env.sh
source "$here/lib/env.sh"
cd "$REPO_ROOT"

read -r -a bindings <<<"${BINDINGS:-pyside6 pyqt6 pyqt5}"
if ((${#bindings[@]} == 0)); then
    say "BINDINGS is empty"
    exit 2
fi
for b in "${bindings[@]}"; do
    case $b in
    pyside6 | pyqt6 | pyqt5) ;;
    *)
        say "unknown binding '$b' (known: pyside6 pyqt6 pyqt5)"
        exit 2
        ;;
    esac
done

timeout_s=${TEST_TIMEOUT:-1500}
if ! [[ "$timeout_s" =~ ^[0-9]+$ ]]; then
    say "TEST_TIMEOUT must be a whole number of seconds, not '$timeout_s'"
    exit 2
fi

# -P keeps the working directory off sys.path, and PYTHONPATH is dropped, so that
# nothing from the work tree can shadow the installed package.
run_py() {
    env -u PYTHONPATH QT_QPA_PLATFORM=offscreen "$@"
}

# A test run that imported zarvel from anywhere but the venv would prove nothing
# about the wheel that was built.
if ! run_py "$VENV_PY" -P - <<'EOF'; then
import importlib.util, os, sys, sysconfig

spec = importlib.util.find_spec("zarvel")
if spec is None:
    sys.exit("test.sh: package 'zarvel' is not installed in " + sys.prefix)
site = {os.path.realpath(sysconfig.get_path(k)) for k in ("purelib", "platlib")}
where = [os.path.realpath(p) for p in (spec.submodule_search_locations or [spec.origin])]
stray = [p for p in where if not any(p == s or p.startswith(s + os.sep) for s in site)]
if stray:
    sys.exit("test.sh: 'zarvel' would be imported from outside the venv: " + ", ".join(stray))
EOF
    exit 1
fi

timeout_cmd=()
if ((timeout_s > 0)); then
    timeout_cmd=(timeout --kill-after=30)
    # Keeps Ctrl-C working when run from a terminal.
    [[ -t 0 ]] && timeout_cmd+=(--foreground)
    timeout_cmd+=("$timeout_s")
fi

log=$(mktemp)
trap 'rm -f -- "$log"' EXIT

summaries=()
failed_any=0
total_passed=0 total_failed=0 total_skipped=0

count_of() { # count_of WORD LINE -> the number before WORD in pytest's tail line
    local n
    n=$(grep -oE "[0-9]+ $1" <<<"$2" | head -n1 | cut -d' ' -f1 || true)
    printf '%s\n' "${n:-0}"
}

for b in "${bindings[@]}"; do
    say "=== binding $b ==="
    if ! zenv_ensure_binding "$b"; then
        summaries+=("$b: FAILED (binding could not be installed or imported)")
        failed_any=1
        continue
    fi

    set +e
    run_py QT_API="$b" PYTEST_QT_API="$b" "${timeout_cmd[@]}" \
        "$VENV_PY" -P -m pytest -q "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    set -e

    tail_line=$(grep -E '(passed|failed|errors?|skipped|xfailed|xpassed|deselected|warnings?|no tests ran).* in [0-9.]+s' "$log" |
        tail -n1 | sed -E 's/^=+ *//; s/ *=+$//' || true)
    [[ -n "$tail_line" ]] || tail_line="no pytest summary"
    total_passed=$((total_passed + $(count_of passed "$tail_line")))
    total_failed=$((total_failed + $(count_of failed "$tail_line") + $(count_of error "$tail_line")))
    total_skipped=$((total_skipped + $(count_of skipped "$tail_line")))

    case $rc in
    0) status="ok" ;;
    1) status="FAILED (tests failed)" ;;
    5) status="FAILED (no tests ran)" ;;
    124) status="FAILED (timed out after ${timeout_s}s)" ;;
    137) status="FAILED (killed after timing out)" ;;
    *)
        if ((rc > 128)); then
            status="FAILED (crashed: signal $((rc - 128)))"
        else
            status="FAILED (pytest exit $rc)"
        fi
        ;;
    esac
    ((rc == 0)) || failed_any=1
    summaries+=("$b: $status; $tail_line")
done

echo
for s in "${summaries[@]}"; do
    echo "binding $s"
done
echo "total: $total_passed passed, $total_failed failed, $total_skipped skipped"
exit "$failed_any"
