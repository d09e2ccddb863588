#!/usr/bin/env bash
# The demo on a real X server: starts Xvfb and, for each Qt binding, plays the
# scripted session there and drives the open window with xdotool, judging both from
# screenshots the X server itself gives (scripts/proof/display_check.py says what is
# checked). Installs missing bindings into the venv; Xvfb, xdotool and xwd it needs, and
# without them it fails, naming the scripts/provision.sh group (x11) that provides them.
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

# provision_need comes with env.sh.
tools=()
for tool in Xvfb xdotool xwd; do
    command -v "$tool" >/dev/null 2>&1 || tools+=("$tool")
done
if ((${#tools[@]})); then
    provision_need x11 "${tools[@]}"
    exit 1
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
