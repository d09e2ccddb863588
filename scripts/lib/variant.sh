# shellcheck shell=bash
# Sourced by the proof runs in scripts/proof/ (sanitize, coverage, nomemory, leakrun, mutation),
# after env.sh: builds a variant of the extension and
# lays out a copy of the installed package with that build in place of the installed module,
# so that everything else (the host, the stub) stays exactly as installed.
#
#   variant_build BUILD_DIR [cmake -D args...]   sets VARIANT_SO
#   variant_tree WORK_DIR                        makes WORK_DIR/zarvel; put WORK_DIR first on PYTHONPATH
#   variant_check WORK_DIR [env...]              fails unless the module imports from WORK_DIR
#   variant_coverage_build BUILD_DIR             the checked coverage build, its counts zeroed
#   variant_gcovr BUILD_DIR [gcovr args...]      gcovr over the module's own sources of a
#                                                coverage build (scripts/proof/coverage.sh,
#                                                scripts/proof/fuzz_coverage.sh)
#   variant_suite LABEL TIMEOUT BINDINGS [PREFIX...] -- [pytest args...]
#                                                runs the suite once per binding of the
#                                                blank-separated list BINDINGS, under the
#                                                command prefix PREFIX (an `env ...` command);
#                                                returns 1 if any run failed

variant_build() {
    local build=$1
    shift
    cmake -S "$REPO_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DPython_EXECUTABLE="$VENV_PY" -DTESSU_WERROR=ON "$@" >/dev/null || return 1
    cmake --build "$build" || return 1
    VARIANT_SO=$(find "$build" -maxdepth 1 -name 'tessu_autocomplete*.so' -print -quit)
    if [[ -z "$VARIANT_SO" ]]; then
        printf 'variant.sh: no tessu_autocomplete*.so in %s\n' "$build" >&2
        return 1
    fi
}

variant_tree() {
    local work=$1 installed target
    installed=$(env -u PYTHONPATH "$VENV_PY" -P -c \
        'import zarvel.material.hook_form.tessu_autocomplete as m, os; print(os.path.dirname(m.__file__))') ||
        return 1
    # The package root, two levels above the module's directory.
    installed=$(cd "$installed/../.." && pwd)
    cp -r "$installed" "$work/zarvel" || return 1
    target=$(cd "$work/zarvel/material/hook_form" && ls tessu_autocomplete*.so) || return 1
    cp "$VARIANT_SO" "$work/zarvel/material/hook_form/$target"
}

# A run against the installed module would prove nothing.
variant_check() {
    local work=$1
    shift
    # The directory goes in as an argument: spliced into the code, a quote in it would break it.
    env -u PYTHONPATH PYTHONPATH="$work" "$@" "$VENV_PY" -P -c '
import sys, zarvel.material.hook_form.tessu_autocomplete as m
sys.exit(0 if m.__file__.startswith(sys.argv[1] + "/") else "imported " + m.__file__)' "$work"
}

variant_suite() {
    local label=$1 timeout_s=$2 b rc failed=0 bindings run_env=()
    read -r -a bindings <<<"$3"
    shift 3
    while (($#)) && [[ $1 != -- ]]; do
        run_env+=("$1")
        shift
    done
    (($#)) || {
        printf 'variant.sh: variant_suite needs -- after the command prefix\n' >&2
        return 2
    }
    shift
    local -a timeout_cmd=()
    if ((timeout_s > 0)); then
        timeout_cmd=(timeout --kill-after=30 "$timeout_s")
    fi
    for b in "${bindings[@]}"; do
        zenv_ensure_binding "$b" || return 1
    done
    for b in "${bindings[@]}"; do
        printf '%s: === binding %s (%s) ===\n' "$label" "$b" "$label" >&2
        set +e
        "${run_env[@]}" QT_API="$b" PYTEST_QT_API="$b" "${timeout_cmd[@]}" \
            "$VENV_PY" -P -m pytest -q -p no:cacheprovider "$@"
        rc=$?
        set -e
        printf '%s: binding %s: pytest exit %s\n' "$label" "$b" "$rc" >&2
        ((rc == 0)) || failed=1
    done
    return "$failed"
}

# Checked too: its fault injection reaches the failure paths that no allocation failure does
# (tests/fault_sweep.py), and its wrappers are left out of the counts (variant_gcovr).
variant_coverage_build() {
    variant_build "$1" -DTESSU_COVERAGE=ON -DTESSU_CHECKED=ON || return 1
    # Counts from an earlier run would add to this one's.
    find "$1" -name '*.gcda' -delete
}

# The checked build's wrappers and its fault injector are left out of the counts.
variant_gcovr() {
    local build=$1
    shift
    "$VENV_PY" -m gcovr --root "$REPO_ROOT" --object-directory "$build" \
        --filter "$REPO_ROOT/material/hook_form/" --filter "$REPO_ROOT/include/" \
        --exclude "$REPO_ROOT/include/checked.h" \
        --exclude "$REPO_ROOT/material/hook_form/fault.cpp" \
        --exclude-unreachable-branches --exclude-throw-branches "$@"
}
