#!/usr/bin/env bash
# Measures which lines and branches of the C++ sources the test suite runs: builds the extension
# with gcov instrumentation, runs the suite against that build, offscreen, once per binding
# (the data of every run, child processes included, adds up), and prints gcovr's summary and
# the lines no test reaches.
#
#   scripts/proof/coverage.sh [pytest args...]
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   COVERAGE_BINDINGS  bindings to run, in order (default: "pyside6")
#   COVERAGE_BUILD     build directory (default: <repo>/build/coverage)
#   COVERAGE_MIN_LINES fail below this line coverage, in per cent (default 95; 0 = never)
#   COVERAGE_MIN_BRANCHES  the same for branches (default 95; 0 = never)
#   TEST_TIMEOUT       seconds allowed per binding run (default 1500; 0 = no limit)
set -euo pipefail

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/env.sh"
cd "$REPO_ROOT"
# shellcheck source=scripts/lib/variant.sh
source "$REPO_ROOT/scripts/lib/variant.sh"

say() { printf 'coverage.sh: %s\n' "$*" >&2; }

build=${COVERAGE_BUILD:-$REPO_ROOT/build/coverage}
read -r -a bindings <<<"${COVERAGE_BINDINGS:-pyside6}"
min_lines=${COVERAGE_MIN_LINES:-95}
min_branches=${COVERAGE_MIN_BRANCHES:-95}
timeout_s=${TEST_TIMEOUT:-1500}

if ! "$VENV_PY" -m gcovr --version >/dev/null 2>&1; then
    say "installing gcovr"
    "$VENV_PY" -m pip install --disable-pip-version-check -q "gcovr>=7"
fi

say "building the coverage variant in $build"
variant_coverage_build "$build"

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
variant_tree "$work"
# One hash seed: the module's cache of namespace reads is keyed by the names' hashes, and
# which names share a slot, so which reads go out to the namespace, would vary by run.
run_env=(env -u PYTHONPATH PYTHONPATH="$work" QT_QPA_PLATFORM=offscreen PYTHONHASHSEED=0)
variant_check "$work"

failed=0
variant_suite coverage.sh "$timeout_s" "${bindings[*]}" "${run_env[@]}" -- "$@" || failed=1

# The table lists, per file, the lines that no test reached; the summary gives line and
# branch coverage over all of them. Each branch still missed is in CONTRIBUTING.md, with why.
if ! variant_gcovr "$build" --txt - --print-summary \
    --fail-under-line "$min_lines" --fail-under-branch "$min_branches"; then
    say "line or branch coverage is below ${min_lines}% or ${min_branches}% (or gcovr failed)"
    failed=1
fi
exit "$failed"
