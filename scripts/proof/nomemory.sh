#!/usr/bin/env bash
# Allocation-failure sweep (tests/test_nomemory.py, driving tests/nomemory_sweep.py) of the
# module as installed in the venv, then of the checked variant (TESSU_CHECKED: every call out
# of the module aborts if an exception is pending), so a failure that is lost or left set
# is caught at the call that goes wrong. On the checked variant the same test file also
# makes every call out fail in turn (tests/fault_sweep.py). The suite (test.sh) and
# coverage.sh run the sweeps too, against their own builds.
#
#   scripts/proof/nomemory.sh [pytest args...]
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   NOMEMORY_BUILDS   which builds, in order (default: "installed checked")
#   NOMEMORY_ENTRIES  a subset of the entry points (see tests/nomemory_sweep.py --list)
#   CHECKED_BUILD     build directory of the checked variant (default: <repo>/build/checked)
set -euo pipefail

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/env.sh"
cd "$REPO_ROOT"
# shellcheck source=scripts/lib/variant.sh
source "$REPO_ROOT/scripts/lib/variant.sh"

say() { printf 'nomemory.sh: %s\n' "$*" >&2; }

read -r -a builds <<<"${NOMEMORY_BUILDS:-installed checked}"
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT

failed=0
for b in "${builds[@]}"; do
    t0=$SECONDS
    case $b in
    installed) run_env=(env -u PYTHONPATH) ;;
    checked)
        say "building the checked variant in ${CHECKED_BUILD:-$REPO_ROOT/build/checked}"
        variant_build "${CHECKED_BUILD:-$REPO_ROOT/build/checked}" -DTESSU_CHECKED=ON
        rm -rf -- "${work:?}/zarvel"
        variant_tree "$work"
        variant_check "$work"
        run_env=(env -u PYTHONPATH PYTHONPATH="$work")
        ;;
    *)
        say "unknown build '$b' (known: installed checked)"
        exit 2
        ;;
    esac
    say "=== $b ==="
    set +e
    "${run_env[@]}" NOMEMORY=1 "$VENV_PY" -P -m pytest -q -p no:cacheprovider -rA \
        tests/test_nomemory.py "$@"
    rc=$?
    set -e
    say "$b: pytest exit $rc in $((SECONDS - t0)) s"
    ((rc == 0)) || failed=1
done
exit "$failed"
