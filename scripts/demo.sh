#!/usr/bin/env bash
# The project's main job: a small form of TessuAutocomplete fields. It runs on
# PySide6 unless QT_API or --binding names another binding (installed into the venv
# if missing). With a display it opens the form; without one (or with --offscreen /
# --script) it plays a scripted session and writes screenshots to out/demo/
# (--screenshot DIR). Arguments go to the demo; `scripts/demo.sh --help` lists them.
set -euo pipefail

# shellcheck source=scripts/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
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
case $binding in
pyside6) module=PySide6 dist="PySide6-Essentials>=6.5" ;;
pyqt6) module=PyQt6 dist="PyQt6>=6.5" ;;
pyqt5) module=PyQt5 dist="PyQt5>=5.15" ;;
*)
    say "unknown binding '$binding' from $source_of (known: pyside6 pyqt6 pyqt5)"
    exit 2
    ;;
esac

if ! env -u PYTHONPATH "$VENV_PY" -P -c "import $module.QtCore" >/dev/null 2>&1; then
    say "installing $dist into $VENV"
    "$VENV_PY" -m pip install --disable-pip-version-check -q "$dist"
    _zenv_xcb_platform_libs || true
fi
say "binding $binding ($source_of)"

# -P and no PYTHONPATH: the installed package, not the work tree, is what runs.
exec env -u PYTHONPATH QT_API="$binding" "$VENV_PY" -P examples/demo_form.py "$@"
