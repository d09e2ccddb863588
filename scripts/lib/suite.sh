#!/usr/bin/env bash
# Run by noxfile.py's tests session, wherever the interpreter is (here or in the sid root):
# the suite once, on one Qt binding, offscreen, against the package as installed in that
# interpreter's venv (scripts/lib/env.sh makes it).
#
#   scripts/lib/suite.sh BINDING [pytest args...]
#
# Knobs (environment), besides those of scripts/lib/env.sh:
#   TEST_TIMEOUT  seconds the whole run may take (default 1500; 0 = no limit): a backstop
#                 for a hang that pytest-timeout's per-test limit cannot reach
set -euo pipefail

say() { printf 'suite.sh: %s\n' "$*" >&2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

binding=${1:?usage: suite.sh BINDING [pytest args...]}
shift
# shellcheck source=scripts/lib/matrix.sh
source "$here/matrix.sh"
matrix_known bindings "$binding"

timeout_s=${TEST_TIMEOUT:-1500}
if ! [[ "$timeout_s" =~ ^[0-9]+$ ]]; then
    say "TEST_TIMEOUT must be a whole number of seconds, not '$timeout_s'"
    exit 2
fi

# shellcheck source=scripts/lib/env.sh
source "$here/env.sh"
cd "$REPO_ROOT"
zenv_ensure_binding "$binding"

# -P keeps the working directory off sys.path, and PYTHONPATH is dropped, so that nothing
# from the work tree can shadow the installed package; a run that imported zarvel from
# anywhere but the venv would prove nothing about the wheel that was built.
env -u PYTHONPATH "$VENV_PY" -P "$here/installed_from.py" zarvel

timeout_cmd=()
if ((timeout_s > 0)); then
    timeout_cmd=(timeout --kill-after=30)
    # Keeps Ctrl-C working when run from a terminal.
    [[ -t 0 ]] && timeout_cmd+=(--foreground)
    timeout_cmd+=("$timeout_s")
fi

say "CPython $TESSU_PY, binding $binding"
exec env -u PYTHONPATH QT_QPA_PLATFORM=offscreen QT_API="$binding" PYTEST_QT_API="$binding" \
    "${timeout_cmd[@]}" "$VENV_PY" -P -m pytest -q "$@"
