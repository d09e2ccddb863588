#!/usr/bin/env bash
# Run by noxfile.py's windows session: proves the Windows x86-64 wheel that
# scripts/release/dist.sh cross-compiled, on the official Windows CPython under wine. For each
# binding, that interpreter gets the field's wheel with the binding's extra, the stand-in's
# wheel and the test tools, all from win_amd64 wheels (binaries only); then the wheel prover
# (scripts/lib/prove_wheel.py), as python.exe, runs the whole suite, the stack guard's tests
# (tests/test_reentry.py, whose Windows bounds come from GetCurrentThreadStackLimits) and the
# demo's scripted session there, offscreen. This script only launches: the wine prefix, the
# registry environment and the install. Each part's wall time and counts are printed.
#
#   scripts/release/check_windows.sh
#
# Knobs (environment):
#   DIST_DIR      directory with the artefacts (default: <repo>/dist)
#   WIN_BINDINGS  bindings to check (default: matrix.toml's [windows])
#   WIN_TIMEOUT   seconds one part may take before it counts as failed (default 1800)
#   WIN_PREFIX    the wine prefix (default: one per checkout under /tmp)
# It installs no Debian package: without wine64 or the fonts it fails, naming the
# scripts/provision.sh group (wine) that provides them.
set -euo pipefail

say() { printf 'check_windows.sh: %s\n' "$*" >&2; }

REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib/winpy.sh
source "$REPO_ROOT/scripts/lib/winpy.sh"
# shellcheck source=scripts/lib/artefacts.sh
source "$REPO_ROOT/scripts/lib/artefacts.sh"
# shellcheck source=scripts/provision.sh
source "$REPO_ROOT/scripts/provision.sh"
cd "$REPO_ROOT"
# winpy.sh brings the matrix: the Windows check runs on its first interpreter.
v=$(matrix_get windows pythons | head -n1)
abi=cp${v/./}

dist=${DIST_DIR:-$REPO_ROOT/dist}
[[ "$dist" == /* ]] || dist="$PWD/$dist"

# The newest releases that wine 8 (Debian's) can load: from Qt 6.10 on, Qt6Core.dll links the
# ICU that Windows 10 ships (icuuc.dll), which wine 8 lacks, and fails to load there.
declare -A binding_pins=(
    [pyside6]="PySide6-Essentials==6.9.3 shiboken6==6.9.3"
    [pyqt6]="PyQt6==6.9.1 PyQt6-Qt6==6.9.2"
    # Qt 5.15's Qt5Core.dll imports no ICU, only Windows' own DLLs and the MSVC runtime.
    [pyqt5]="PyQt5==5.15.11 PyQt5-Qt5==5.15.2 PyQt5-sip==12.20.1"
)
read -r -a bindings <<<"${WIN_BINDINGS:-$(matrix_get windows bindings | xargs)}"
((${#bindings[@]})) || { say "WIN_BINDINGS names nothing"; exit 2; }
for b in "${bindings[@]}"; do
    [[ -n "${binding_pins[$b]:-}" ]] || {
        say "unknown binding '$b' (known here: ${!binding_pins[*]})"
        exit 2
    }
done

field_whl=$(field_wheel "$dist" "$v" win_amd64)
host_whl=$(artefact "$dist" 'zarvel_host_standin-*.whl')

wine=/usr/lib/wine/wine64
# Qt's wheels ship no fonts, and on Windows its offscreen platform reads them from a folder:
# without one every letter of the screenshots is a box.
fonts=/usr/share/fonts/truetype/dejavu
missing=()
[[ -x $wine ]] || missing+=("$wine")
[[ -f $fonts/DejaVuSans.ttf ]] || missing+=("$fonts/DejaVuSans.ttf")
if ((${#missing[@]})); then
    provision_need wine "${missing[@]}"
    exit 1
fi
# pip resolves for Windows from here: its markers must see the target's Python version.
host_py=$(TESSU_PY=$v bash "$REPO_ROOT/scripts/lib/env.sh" --find) || {
    say "CPython $v is needed on this machine to fetch the Windows wheels"
    exit 1
}

t_all=$SECONDS
state=$REPO_ROOT/build/windows
# The prefix stays out of the checkout: its drive z: is a link to /, which a walk of the tree
# (the sdist build's) would follow into the whole file system.
WINEPREFIX=${WIN_PREFIX:-/tmp/tessu-wine-$(printf '%s' "$REPO_ROOT" | sha256sum | cut -c1-12)}
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$state"
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
t0=$SECONDS
"$wine" wineboot --init </dev/null 2>&1 | cat
say "time: wine prefix: $((SECONDS - t0)) s"

# Windows programs under wine here cannot write to a regular file as their standard output
# (the interpreter dies initialising its streams): they always write into a pipe.
win() { "$wine" "$@" </dev/null 2>&1 | sed -u $'s/\r$//'; }
# wine hands a Windows program none of the Unix environment's QT_* variables; the user's
# environment in the registry reaches every program it starts, the tests' children included.
win_env() { win reg add 'HKCU\Environment' /v "$1" /d "$2" /f >/dev/null; }

# The results lie in the checkout, whose path the Windows interpreter reads through drive z:.
results=$REPO_ROOT/out/prove
mkdir -p "$results"
failed=() jsons=()
for b in "${bindings[@]}"; do
    say "=== CPython $v win_amd64 under wine, $b ==="
    t0=$SECONDS
    py=$state/python-$abi-$b
    winpy_fetch runtime "$v" "$py"
    # The embeddable build's ._pth file pins sys.path and turns site off, which no installed
    # interpreter does and which would hide PYTHONPATH from the tests' child processes;
    # without it the build lays out sys.path as a regular install (Lib\site-packages).
    rm -f -- "$py"/python*._pth
    # wine 8 lacks propsys.VariantToString, which the WMI query behind `platform` calls;
    # without _wmi, `platform` reads the registry as it did before 3.12.
    rm -f -- "$py/_wmi.pyd"
    win_env QT_API "$b"
    win_env PYTEST_QT_API "$b"
    win_env QT_QPA_PLATFORM offscreen
    win_env QT_QPA_FONTDIR "Z:${fonts//\//\\}"
    read -r -a pins <<<"${binding_pins[$b]}"
    # Installed for the target by this machine's pip, from win_amd64 wheels alone; colorama is
    # what pytest takes on Windows (pip here evaluates markers for Linux). mypy 2 parses with
    # a DLL (ast-serialize) that imports bcryptprimitives.dll, which wine 8 lacks.
    "$host_py" -m pip install --disable-pip-version-check -q --no-compile \
        --target "$py/Lib/site-packages" --platform win_amd64 --python-version "$v" \
        --implementation cp --abi "$abi" --only-binary :all: \
        "${field_whl}[$b]" "$host_whl" "${pins[@]}" pytest pytest-qt pytest-timeout hypothesis "mypy<2" \
        cibuildwheel colorama
    say "time: interpreter and install: $((SECONDS - t0)) s"
    json=$results/windows-$v-$b.json
    rm -f -- "$json"
    jsons+=("$json")
    # The prover's children inherit the pipe, which is all that wine lets them write to.
    # What wine reports of a Windows program's exit status is not to be relied on; the
    # prover's JSON says how every part went.
    win "$py/python.exe" -P scripts/lib/prove_wheel.py --binding "$b" --part suite,reentry,demo \
        --json "$json" --work "$state/prove-$b" --timeout "${WIN_TIMEOUT:-1800}" \
        --module-suffix .pyd || true
    "$host_py" scripts/lib/prove_wheel.py --summary "$json" >/dev/null || failed+=("$b")
    say "time: $b: $((SECONDS - t0)) s"
done

say "summary:"
"$host_py" scripts/lib/prove_wheel.py --summary "${jsons[@]}" >&2 || true
say "time: whole check $((SECONDS - t_all)) s"
if ((${#failed[@]})); then
    say "failed on: ${failed[*]}"
    exit 1
fi
say "all Windows checks passed with ${bindings[*]}"
