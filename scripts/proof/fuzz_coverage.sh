#!/usr/bin/env bash
# What the committed fuzz corpus reaches on its own (not the suite): every input of
# fuzz/corpus replayed once, under the pure-Python Qt and under PySide6, on the coverage
# build, then gcovr's line and branch figures per file. By hand (`nox -s fuzz_coverage`),
# after the long runs have grown the corpus.
#
#   scripts/proof/fuzz_coverage.sh
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   FUZZ_COVERAGE_BUILD  build directory (default: <repo>/build/fuzz-coverage)
set -euo pipefail
# The build's path is handed to gcovr after the script has moved to the repository's root.
[[ -z ${FUZZ_COVERAGE_BUILD:-} ]] || FUZZ_COVERAGE_BUILD=$(realpath -m -- "$FUZZ_COVERAGE_BUILD")

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/env.sh"
cd "$REPO_ROOT"
# shellcheck source=scripts/lib/variant.sh
source "$REPO_ROOT/scripts/lib/variant.sh"

say() { printf 'fuzz_coverage.sh: %s\n' "$*" >&2; }

for tool in atheris gcovr; do
    if ! "$VENV_PY" -c "import $tool" 2>/dev/null; then
        say "installing $tool into $VENV"
        "$VENV_PY" -m pip install --disable-pip-version-check -q \
            "$([[ $tool == atheris ]] && echo atheris==3.1.0 || echo 'gcovr>=7')"
    fi
done
zenv_ensure_binding pyside6

build=${FUZZ_COVERAGE_BUILD:-$REPO_ROOT/build/fuzz-coverage}
say "building the coverage variant in $build"
# The same build as scripts/proof/coverage.sh, so that the two sets of figures compare.
variant_coverage_build "$build"
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
variant_tree "$work"
variant_check "$work" QT_API=pyside6 QT_QPA_PLATFORM=offscreen

# atheris' own libFuzzer runs each input once; the build carries no edge counters of its own.
for qt in pure pyside6; do
    for target in field subclass; do
        mapfile -t inputs < <(find "fuzz/corpus/$target" -type f | sort)
        say "replaying ${#inputs[@]} inputs of $target under $qt Qt"
        env -u PYTHONPATH PYTHONPATH="$work" TESSU_FUZZ_QT="$qt" QT_API=pyside6 \
            QT_QPA_PLATFORM=offscreen PYTHONHASHSEED=0 \
            "$VENV_PY" "fuzz/$target.py" "${inputs[@]}" >"$work/$target-$qt.log" 2>&1 || {
            tail -n 40 -- "$work/$target-$qt.log" >&2
            say "the replay of $target under $qt Qt failed"
            exit 1
        }
    done
done

variant_gcovr "$build" --txt - --txt-metric line
variant_gcovr "$build" --txt - --txt-metric branch --print-summary
