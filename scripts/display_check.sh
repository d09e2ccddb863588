#!/usr/bin/env bash
# The demo on a real X server: starts Xvfb and, for each Qt binding, plays the
# scripted session there and drives the open window with xdotool, judging both from
# screenshots the X server itself gives (scripts/display_check.py says what is
# checked). Installs Xvfb, xdotool and xwd when run as root on Debian, and missing
# bindings into the venv.
#
#   scripts/display_check.sh [--out DIR]
#
# Knobs (environment), besides those of scripts/env.sh:
#   BINDINGS               bindings to run, in order (default: "pyside6 pyqt6 pyqt5")
#   DISPLAY_CHECK_TIMEOUT  seconds allowed for the whole check (default 600)
set -euo pipefail

# shellcheck source=scripts/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$REPO_ROOT"

say() { printf 'display_check.sh: %s\n' "$*" >&2; }

read -r -a bindings <<<"${BINDINGS:-pyside6 pyqt6 pyqt5}"
timeout_s=${DISPLAY_CHECK_TIMEOUT:-600}
if ! [[ "$timeout_s" =~ ^[1-9][0-9]*$ ]]; then
    say "DISPLAY_CHECK_TIMEOUT must be a positive whole number of seconds, not '$timeout_s'"
    exit 2
fi

tools=() packages=()
command -v Xvfb >/dev/null 2>&1 || { tools+=(Xvfb) && packages+=(xvfb); }
command -v xdotool >/dev/null 2>&1 || { tools+=(xdotool) && packages+=(xdotool); }
command -v xwd >/dev/null 2>&1 || { tools+=(xwd) && packages+=(x11-apps); }
if ((${#packages[@]})); then
    if [[ "$(id -u)" != 0 || "${SKIP_APT:-0}" == 1 ]] || ! command -v apt-get >/dev/null 2>&1; then
        say "missing ${tools[*]}; on Debian: apt-get install ${packages[*]}"
        exit 1
    fi
    say "apt-get install ${packages[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

installed=0
for b in "${bindings[@]}"; do
    case $b in
    pyside6) module=PySide6 dist="PySide6-Essentials>=6.5" ;;
    pyqt6) module=PyQt6 dist="PyQt6>=6.5" ;;
    pyqt5) module=PyQt5 dist="PyQt5>=5.15" ;;
    *)
        say "unknown binding '$b' (known: pyside6 pyqt6 pyqt5)"
        exit 2
        ;;
    esac
    if ! env -u PYTHONPATH "$VENV_PY" -P -c "import $module.QtCore" >/dev/null 2>&1; then
        say "installing $dist"
        "$VENV_PY" -m pip install --disable-pip-version-check -q "$dist"
        installed=1
    fi
done
# A binding installed just now brings its own xcb plugin, with its own needs.
((installed == 0)) || _zenv_xcb_platform_libs

timeout_cmd=(timeout --kill-after=15)
[[ -t 0 ]] && timeout_cmd+=(--foreground)
started=$SECONDS
set +e
"${timeout_cmd[@]}" "$timeout_s" env -u PYTHONPATH -u QT_QPA_PLATFORM \
    "$VENV_PY" -P scripts/display_check.py --bindings "${bindings[*]}" "$@"
rc=$?
set -e
((rc != 124 && rc != 137)) || say "timed out after ${timeout_s}s"
say "took $((SECONDS - started)) s"
exit "$rc"
