#!/usr/bin/env bash
# Mutation run over the module's C++ sources: universalmutator writes one-line mutants of
# material/hook_form/*.cpp, a seeded sample of them is built one at a time in a kept
# CMake/ninja build directory, and the suite runs against each under one binding. The build
# is the checked one, so that the suite's fault-injection sweep runs too. A mutant
# that the suite lets pass is a fault that no test would catch.
#
#   scripts/proof/mutation.sh [pytest args...]      (default: tests)
#
# Too long for CI: run it by hand. Each mutant takes the shared lock for its build and its
# test run only, so other work on the machine goes on between mutants.
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   MUT_N          mutants to sample (default 150; 0 = all)
#   MUT_SEED       seed of the sample (default 1)
#   MUT_RANGE      FIRST-LAST: only those mutants of the sample (counting from 1), so that
#                  two checkouts can share one sample
#   MUT_BINDING    Qt binding the suite runs under (default pyqt6)
#   MUT_TIMEOUT    seconds allowed per mutant's test run (default: 3 times the unmutated
#                  run, at least 120); a run that takes longer counts as killed
#   MUT_FILES      sources to mutate (default material/hook_form/*.cpp but fault.cpp, the
#                  injection itself)
#   MUT_BUILD      build directory, kept between runs (default <repo>/build/mutation)
#   MUT_OUT        mutants, logs and results.tsv (default <repo>/out/mutation)
#   MUT_LOCK       lock file held per mutant (default /tmp/tessu-heavy.lock; empty = none)
#
# Known equivalent mutants live in tests/mutation_equivalent.txt, one a line:
#   FILE <tab> ORIGINAL LINE <tab> MUTATED TEXT <tab> REASON
# with both texts stripped of surrounding blanks and a newline inside written as \n; a
# sampled mutant found there is counted as equivalent and not run.
#
# Score: killed / (valid - equivalent), where a mutant that does not compile is invalid and
# a timeout or crash of the suite counts as killed.
set -euo pipefail

say() { printf 'mutation.sh: %s\n' "$*" >&2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
lock=${MUT_LOCK-/tmp/tessu-heavy.lock}

locked() { # locked CMD...: CMD under the shared lock, if there is one
    if [[ -n "$lock" ]]; then flock "$lock" "$@"; else "$@"; fi
}

# The venv's own setup builds the package the first time: heavy, so it runs under the lock
# in a child, and the sourcing that follows only finds it ready.
locked bash "$here/../lib/env.sh"
# shellcheck source=scripts/lib/env.sh
source "$here/../lib/env.sh"
cd "$REPO_ROOT"
# shellcheck source=scripts/lib/variant.sh
source "$REPO_ROOT/scripts/lib/variant.sh"

n=${MUT_N:-150}
seed=${MUT_SEED:-1}
binding=${MUT_BINDING:-pyqt6}
build=${MUT_BUILD:-$REPO_ROOT/build/mutation}
out=${MUT_OUT:-$REPO_ROOT/out/mutation}
equivalent_list=$REPO_ROOT/tests/mutation_equivalent.txt
read -r -a files <<<"${MUT_FILES:-$(cd "$REPO_ROOT" && for f in material/hook_form/*.cpp; do [[ $f == */fault.cpp ]] || printf '%s ' "$f"; done)}"
for v in "$n" "$seed" "${MUT_TIMEOUT:-0}"; do
    [[ "$v" =~ ^[0-9]+$ ]] || {
        say "MUT_N, MUT_SEED and MUT_TIMEOUT take whole numbers, not '$v'"
        exit 2
    }
done
(($# > 0)) || set -- tests

# universalmutator comes from PyPI, in the venv of noxfile.py's mutation session.
mutate=$(command -v mutate) || {
    say "no universalmutator here: run me as .venv-nox/bin/python -m nox -s mutation"
    exit 2
}
zenv_ensure_binding "$binding"

# ---- The mutants and the sample ----------------------------------------------------------

rm -rf -- "$out/mutants"
mkdir -p "$out/mutants" "$out/logs"
# Lines whose mutants cannot change the program: comments and preprocessor includes.
printf '%s\n' '^\s*//' '^\s*#\s*include' >"$out/ignore.txt"
for f in "${files[@]}"; do
    dir="$out/mutants/${f//\//_}"
    mkdir -p "$dir"
    "$mutate" "$f" cpp --noCheck --ignore "$out/ignore.txt" --mutantDir "$dir" \
        >"$dir.log" 2>&1 || {
        say "mutate failed on $f (see $dir.log)"
        exit 1
    }
done

# One line per sampled mutant: mutant path, file, line, original, mutated, equivalent reason.
"$VENV_PY" "$here/mutation_sample.py" "$out" "$n" "$seed" "$equivalent_list" "${files[@]}" \
    >"$out/sample.tsv"
if [[ -n "${MUT_RANGE:-}" ]]; then
    [[ "$MUT_RANGE" =~ ^([0-9]+)-([0-9]+)$ ]] || {
        say "MUT_RANGE takes FIRST-LAST, not '$MUT_RANGE'"
        exit 2
    }
    sed -n "${BASH_REMATCH[1]},${BASH_REMATCH[2]}p" "$out/sample.tsv" >"$out/sample.part"
    mv "$out/sample.part" "$out/sample.tsv"
fi
total=$(wc -l <"$out/sample.tsv")
say "sample of $total (seed $seed) in $out/sample.tsv"

# ---- Build and suite ---------------------------------------------------------------------

backup=$out/original
mkdir -p "$backup"
applied=""
restore() {
    if [[ -n "$applied" ]]; then
        # A fresh modification time, so that ninja rebuilds the file from its own text.
        cat "$backup/current" >"$applied"
        applied=""
    fi
}
trap 'restore' EXIT
trap 'restore; say "interrupted"; exit 130' INT TERM

work=$out/tree
rm -rf -- "$work"
mkdir -p "$work"
say "building the unmutated module in $build"
{
    cmake -S "$REPO_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSU_CHECKED=ON \
        -DPython_EXECUTABLE="$VENV_PY" && locked cmake --build "$build"
} >"$out/logs/build-original.log" 2>&1 || {
    say "the unmutated module does not build (see $out/logs/build-original.log)"
    exit 1
}
VARIANT_SO=$(find "$build" -maxdepth 1 -name 'tessu_autocomplete*.so' -print -quit)
variant_tree "$work"
installed_so=$(cd "$work/zarvel/material/hook_form" && ls tessu_autocomplete*.so)
variant_check "$work"

suite() { # suite TIMEOUT LOG: the suite against the build in the tree; pytest's status
    local rc=0
    cp "$VARIANT_SO" "$work/zarvel/material/hook_form/$installed_so"
    # NOMEMORY=1: the allocation-failure sweep runs under any binding, as only it reaches
    # the failure paths of allocations.
    env -u PYTHONPATH PYTHONPATH="$work" QT_QPA_PLATFORM=offscreen QT_API="$binding" NOMEMORY=1 \
        PYTEST_QT_API="$binding" timeout --kill-after=10 "$1" \
        "$VENV_PY" -P -m pytest -q -x -p no:cacheprovider "${@:3}" >"$2" 2>&1 || rc=$?
    return "$rc"
}

timeout_s=${MUT_TIMEOUT:-0}
if ((timeout_s == 0)); then
    say "running the suite on the unmutated module, to time it"
    t0=$SECONDS
    rc=0
    exec 9>"${lock:-/dev/null}"
    [[ -z "$lock" ]] || flock 9
    suite 3600 "$out/logs/original.log" "$@" || rc=$?
    exec 9>&-
    if ((rc != 0)); then
        say "the suite fails on the unmutated module (exit $rc; see $out/logs/original.log)"
        exit 1
    fi
    timeout_s=$((3 * (SECONDS - t0)))
    ((timeout_s >= 120)) || timeout_s=120
fi
say "timeout per mutant: ${timeout_s}s"

printf 'file\tline\tresult\tseconds\toriginal\tmutated\n' >"$out/results.tsv"
killed=0 survived=0 invalid=0 equivalent=0 i=0
survivors=()
while IFS=$'\t' read -r mutant file line before after reason; do
    i=$((i + 1))
    t0=$SECONDS
    if [[ -n "$reason" ]]; then
        result=equivalent
        equivalent=$((equivalent + 1))
    else
        # Applied only under the lock: any other build that takes it must never see a mutant.
        exec 9>"${lock:-/dev/null}"
        [[ -z "$lock" ]] || flock 9
        cp "$file" "$backup/current"
        applied=$file
        cat "$mutant" >"$file"
        if ! cmake --build "$build" >"$out/logs/build-$i.log" 2>&1; then
            result=invalid
        else
            rc=0
            suite "$timeout_s" "$out/logs/test-$i.log" "$@" || rc=$?
            case $rc in
            0) result=survived ;;
            1) result=killed ;;
            124 | 137) result="killed (timeout)" ;;
            4 | 5)
                exec 9>&-
                restore
                say "pytest could not run the suite (exit $rc; see $out/logs/test-$i.log)"
                exit 1
                ;;
            *) result="killed (exit $rc)" ;;
            esac
        fi
        # Restored before the lock goes, so that no other build sees the mutant.
        restore
        exec 9>&-
        case $result in
        invalid) invalid=$((invalid + 1)) ;;
        survived)
            survived=$((survived + 1))
            survivors+=("$file:$line: $before  ==>  $after")
            ;;
        *) killed=$((killed + 1)) ;;
        esac
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$file" "$line" "$result" $((SECONDS - t0)) \
        "$before" "$after" >>"$out/results.tsv"
    say "[$i/$total] $file:$line $result ($((SECONDS - t0))s)"
done <"$out/sample.tsv"

valid=$((killed + survived + equivalent))
echo
echo "mutants: $total sampled (seed $seed), $invalid invalid, $equivalent equivalent," \
    "$killed killed, $survived survived"
if ((valid - equivalent > 0)); then
    echo "score: $killed / $((valid - equivalent)) = $((100 * killed / (valid - equivalent)))%"
else
    echo "score: no valid mutant to score"
fi
if ((${#survivors[@]})); then
    echo "survivors:"
    printf '  %s\n' "${survivors[@]}"
fi
echo "details: $out/results.tsv"
