#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer, as a checked build
# (every call out of the module asserts that no exception is pending), and runs the test suite
# against that build, offscreen, once per binding. Fails on any test failure and on any
# sanitizer report, including reports from the Python subprocesses that tests start.
#
#   scripts/proof/sanitize.sh [pytest args...]
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   SANITIZE_BINDINGS  bindings to run, in order (default: "pyside6 pyqt6")
#   SANITIZE_BUILD     build directory (default: <repo>/build/sanitize)
#   TEST_TIMEOUT       seconds allowed per binding run (default 2400; 0 = no limit)
set -euo pipefail

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/env.sh"
cd "$REPO_ROOT"

say() { printf 'sanitize.sh: %s\n' "$*" >&2; }

build=${SANITIZE_BUILD:-$REPO_ROOT/build/sanitize}
read -r -a bindings <<<"${SANITIZE_BINDINGS:-pyside6 pyqt6}"
timeout_s=${TEST_TIMEOUT:-2400}

say "building the sanitizer variant (checked) in $build"
# shellcheck source=scripts/lib/variant.sh
source "$REPO_ROOT/scripts/lib/variant.sh"
variant_build "$build" -DTESSU_SANITIZE=ON -DTESSU_CHECKED=ON
so=$VARIANT_SO

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
logs=$work/logs
mkdir -p "$logs"
variant_tree "$work"

# Python itself is not instrumented, so the runtimes must be loaded before anything else.
runtime() {
    local path
    path=$(ldd "$so" | awk -v lib="$1" '$1 ~ "^" lib "\\.so" { print $3; exit }')
    [[ -n "$path" ]] || path=$(g++ -print-file-name="$1.so")
    [[ -f "$path" ]] || { say "cannot find the $1 runtime"; return 1; }
    printf '%s\n' "$path"
}
preload="$(runtime libasan) $(runtime libubsan)"

# Leak detection stays off: the interpreter and Qt keep their allocations until exit, and
# tests/test_reliability.py measures what this module keeps. PYTHONMALLOC=malloc makes every
# Python object its own heap block, so a use after free of one is reported.
run_env=(
    env -u PYTHONPATH
    PYTHONPATH="$work"
    PYTHONMALLOC=malloc
    LD_PRELOAD="$preload"
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$logs/asan"
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
    QT_QPA_PLATFORM=offscreen
)

variant_check "$work" "${run_env[@]:3}"

failed=0
variant_suite sanitize.sh "$timeout_s" "${bindings[*]}" "${run_env[@]}" -- "$@" || failed=1

if compgen -G "$logs/*" >/dev/null; then
    say "sanitizer reports:"
    for f in "$logs"/*; do
        printf '==== %s\n' "$(basename "$f")" >&2
        cat -- "$f" >&2
    done
    failed=1
fi
((failed == 0)) && say "no test failures and no sanitizer reports"
exit "$failed"
