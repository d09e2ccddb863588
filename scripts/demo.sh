#!/usr/bin/env bash
# The README's main job: a small form of TessuAutocomplete fields, through noxfile.py's demo
# session, in a venv of the field, the stand-in, qtpy and one Qt binding alone. It runs on
# PySide6 unless QT_API or --binding names another. With a display it opens the form; without
# one (or with --offscreen / --script) it plays a scripted session and writes screenshots to
# out/demo/ (--screenshot DIR). Arguments go to the demo; `scripts/demo.sh --help` lists them.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/lib/nox.sh
source "$here/lib/nox.sh"

# The demo's own default when run from here, which its help then shows.
export QT_API=${QT_API:-${MATRIX_BINDINGS[0]}}

# The options are read before Qt is imported: help needs no venv.
for arg in "$@"; do
    case $arg in
    -h | --help)
        py=$(bash "$here/lib/env.sh" --find) || py=python3
        exec "$py" "$here/../examples/demo_form.py" --help
        ;;
    --) break ;;
    esac
done

# What a fresh machine lacks (as root; otherwise it says what to install): a compiler and
# headers for the module, and the libraries Qt loads, offscreen and in a window.
"$here/provision.sh" build qt xcb || true
nox_ready
nox_run -s demo -- "$@"
