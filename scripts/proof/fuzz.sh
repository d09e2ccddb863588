#!/usr/bin/env bash
# Coverage-guided differential fuzzing of the field (the targets in fuzz/), on a checked
# AddressSanitizer and UBSan build that carries libFuzzer's edge counters. CI runs it through
# `nox -s fuzz`; by hand, `--seconds 3600 --merge` makes the long runs and folds what they
# found into the committed corpus.
#
#   scripts/proof/fuzz.sh [--python V] [--seconds N] [--target T]... [--qt Q]... [--merge]
#
# It first replays every input of fuzz/corpus once, under each Qt, then fuzzes each target
# under each Qt for N seconds (default 60; 0 replays only) from a scratch copy of its
# corpus, with fuzz/tessu.dict. It fails on any finding (a crash, a sanitizer report, the
# checked build's abort, a SystemError or a divergence from the model) and prints, per run,
# the runs, runs per second, edges covered and corpus size, and the artefact of each finding.
#   --target   field or subclass (default: both)
#   --qt       pure (the pure-Python Qt of tests/pure_qt) or pyside6 (default: both)
#   --merge    add to fuzz/corpus/T, minimised (-merge=1), what the runs found
#   --python   the interpreter, here or in the sid root (scripts/lib/pyfor.sh; default: the
#              matrix's first); atheris has wheels up to 3.14
# Knobs (environment), besides those of scripts/lib/env.sh:
#   FUZZ_BUILD  build directory (default: <repo>/build/fuzz-V)
#   FUZZ_OUT    where each run's log, corpus and artefacts stay (default: <repo>/out/fuzz-V)
set -euo pipefail
# The runs work in other directories, and the import check compares absolute paths.
[[ -z ${FUZZ_BUILD:-} ]] || FUZZ_BUILD=$(realpath -m -- "$FUZZ_BUILD")
[[ -z ${FUZZ_OUT:-} ]] || FUZZ_OUT=$(realpath -m -- "$FUZZ_OUT")
# The interpreter decides where everything else runs, so it is settled first.
if [[ ${1:-} == --python ]]; then
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    v=${2:?--python needs a version}
    shift 2
    exec "$here/../lib/pyfor.sh" "$v" "$here/fuzz.sh" "$@"
fi

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/env.sh"
cd "$REPO_ROOT"
# shellcheck source=scripts/lib/variant.sh
source "$REPO_ROOT/scripts/lib/variant.sh"

say() { printf 'fuzz.sh: %s\n' "$*" >&2; }
usage() {
    sed -n '7,22s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

seconds=60 merge=0 targets=() qts=()
while (($#)); do
    case $1 in
    --seconds) seconds=${2:?--seconds needs a number} && shift ;;
    --target) targets+=("${2:?--target needs a name}") && shift ;;
    --qt) qts+=("${2:?--qt needs pure or pyside6}") && shift ;;
    --merge) merge=1 ;;
    --python)
        say "--python comes first"
        usage
        ;;
    *) usage ;;
    esac
    shift
done
((${#targets[@]})) || targets=(field subclass)
((${#qts[@]})) || qts=(pure pyside6)
for t in "${targets[@]}"; do [[ -f fuzz/$t.py ]] || { say "no target '$t' in fuzz/"; usage; }; done
for q in "${qts[@]}"; do [[ $q == pure || $q == pyside6 ]] || usage; done
[[ $seconds =~ ^[0-9]+$ ]] || usage

clang=$(command -v clang++-19 || true)
if [[ -z $clang ]]; then
    provision_need fuzz "clang++-19"
    exit 1
fi
# The fuzzer's runtime comes with atheris, which the venv gets here (only this script uses it).
if ! "$VENV_PY" -c 'import atheris' 2>/dev/null; then
    say "installing atheris into $VENV"
    "$VENV_PY" -m pip install --disable-pip-version-check -q "atheris==3.1.0"
fi
zenv_ensure_binding pyside6
runtime=$("$VENV_PY" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so

build=${FUZZ_BUILD:-$REPO_ROOT/build/fuzz-$TESSU_PY}
say "building the fuzzing variant (checked, ASan and UBSan) in $build"
variant_build "$build" -DCMAKE_CXX_COMPILER="$clang" -DTESSU_SANITIZE=ON -DTESSU_CHECKED=ON \
    -DTESSU_FUZZ=ON
out=${FUZZ_OUT:-$REPO_ROOT/out/fuzz-$TESSU_PY}
rm -rf -- "$out"
mkdir -p "$out/tree"
variant_tree "$out/tree"

# Python is not instrumented, so the runtime is loaded before anything else; every Python
# object its own heap block makes a use after free of one visible.
fuzz_env() {
    env -u PYTHONPATH PYTHONPATH="$out/tree" TESSU_FUZZ_QT="$1" QT_API=pyside6 \
        PYTHONMALLOC=malloc LD_PRELOAD="$runtime" QT_QPA_PLATFORM=offscreen \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" "${@:2}"
}
variant_check "$out/tree" LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0 QT_API=pyside6 \
    QT_QPA_PLATFORM=offscreen

failed=0
report() { # LABEL LOG RC; always returns 0
    local figures
    figures=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$2" | tail -1 |
        awk '{ for (i = 3; i < NF; i += 2) v[$i] = $(i + 1);
               printf "runs %s  runs/s %s  edges %s  corpus %s", substr($1, 2), v["exec/s:"],
                      v["cov:"], v["corp:"] }' || true)
    if (($3 == 0)); then
        say "$1: ${figures:-done}"
    else
        failed=1
        say "$1: FINDING (exit $3); the log's end:"
        tail -n 60 -- "$2" >&2
        for a in "$(dirname "$2")"/artifacts/*; do
            [[ -f $a ]] && say "artefact $a (base64 $(base64 -w0 <"$a"))"
        done
    fi
    return 0
}

for q in "${qts[@]}"; do
    for t in "${targets[@]}"; do
        mapfile -t inputs < <(find "fuzz/corpus/$t" -type f | sort)
        log=$out/replay-$t-$q.log
        rc=0
        fuzz_env "$q" "$VENV_PY" "fuzz/$t.py" -rss_limit_mb=4096 "${inputs[@]}" >"$log" 2>&1 ||
            rc=$?
        if ((rc == 0)); then
            say "replay $t under $q Qt: ${#inputs[@]} inputs, no finding"
        else
            report "replay $t under $q Qt" "$log" "$rc"
        fi
    done
done

for q in "${qts[@]}"; do
    ((seconds > 0)) || break # libFuzzer takes -max_total_time=0 for no limit at all
    for t in "${targets[@]}"; do
        run=$out/$t-$q
        mkdir -p "$run/corpus" "$run/artifacts"
        cp -- fuzz/corpus/"$t"/* "$run/corpus/"
        rc=0
        (cd "$run" && fuzz_env "$q" "$VENV_PY" "$REPO_ROOT/fuzz/$t.py" \
            -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
            -dict="$REPO_ROOT/fuzz/tessu.dict" -artifact_prefix="$run/artifacts/" \
            corpus >"$run/log" 2>&1) || rc=$?
        report "fuzz $t under $q Qt, ${seconds} s" "$run/log" "$rc"
        ((merge && rc == 0)) || continue
        if fuzz_env "$q" "$VENV_PY" "fuzz/$t.py" -merge=1 "fuzz/corpus/$t" "$run/corpus" \
            >"$run/merge.log" 2>&1; then
            say "merge $t: $(grep -o 'MERGE-OUTER: [0-9]* new files.*' "$run/merge.log" | tail -1)"
        else
            report "merge $t under $q Qt" "$run/merge.log" 1
        fi
    done
done
((failed == 0)) && say "no finding"
exit "$failed"
