#!/usr/bin/env bash
# The demo on a real X server: starts Xvfb and, for each Qt binding, plays the
# scripted session there and drives the open window with xdotool, judging both from
# screenshots the X server itself gives (scripts/proof/display_check.py says what is
# checked). Installs Xvfb, xdotool and xwd when run as root on Debian, and missing
# bindings into the venv.
#
#   scripts/proof/display_check.sh [--out DIR]
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   BINDINGS               bindings to run, in order (default: all of matrix.toml)
#   DISPLAY_CHECK_TIMEOUT  seconds allowed for the whole check (default 600)
set -euo pipefail

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/env.sh"
cd "$REPO_ROOT"

say() { printf 'display_check.sh: %s\n' "$*" >&2; }

read -r -a bindings <<<"${BINDINGS:-${MATRIX_BINDINGS[*]}}"
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

for b in "${bindings[@]}"; do
    zenv_ensure_binding "$b"
done

timeout_cmd=(timeout --kill-after=15)
[[ -t 0 ]] && timeout_cmd+=(--foreground)
started=$SECONDS
set +e
"${timeout_cmd[@]}" "$timeout_s" env -u PYTHONPATH -u QT_QPA_PLATFORM \
    "$VENV_PY" -P scripts/proof/display_check.py --bindings "${bindings[*]}" "$@"
rc=$?
set -e
((rc != 124 && rc != 137)) || say "timed out after ${timeout_s}s"
say "took $((SECONDS - started)) s"
exit "$rc"
