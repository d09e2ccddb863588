#!/usr/bin/env bash
# The project's main job: a small form of TessuAutocomplete fields. It runs on
# PySide6 unless QT_API or --binding names another binding (installed into the venv
# if missing). With a display it opens the form; without one (or with --offscreen /
# --script) it plays a scripted session and writes screenshots to out/demo/
# (--screenshot DIR). Arguments go to the demo; `scripts/demo.sh --help` lists them.
set -euo pipefail

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/env.sh"
cd "$REPO_ROOT"

say() { printf 'demo.sh: %s\n' "$*" >&2; }

# Without a choice qtpy takes the first binding it finds installed, which changes as
# soon as the test command adds PyQt5 to the venv; the demo should not drift with it.
binding=${QT_API:-pyside6} source_of="QT_API"
[[ -n "${QT_API:-}" ]] || source_of="default"
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
    --binding=*) binding=${args[i]#--binding=} source_of="--binding" ;;
    --binding) ((i + 1 < ${#args[@]})) && binding=${args[i + 1]} source_of="--binding" ;;
    --) break ;;
    esac
done
binding=${binding,,}
if ! zenv_ensure_binding "$binding"; then
    say "cannot run on binding '$binding' (from $source_of)"
    exit 2
fi
say "binding $binding ($source_of)"

# -P and no PYTHONPATH: the installed package, not the work tree, is what runs.
exec env -u PYTHONPATH QT_API="$binding" "$VENV_PY" -P examples/demo_form.py "$@"
