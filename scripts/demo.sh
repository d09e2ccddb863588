#!/usr/bin/env bash
# The project's main job: a small form of TessuAutocomplete fields on the binding
# qtpy picks (QT_API chooses one). With a display it opens the form; without one
# (or with --offscreen / --script) it plays a scripted session and writes
# screenshots to out/demo/ (--screenshot DIR). Arguments go to the demo;
# `scripts/demo.sh --help` lists them.
set -euo pipefail

# shellcheck source=scripts/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$REPO_ROOT"

# -P and no PYTHONPATH: the installed package, not the work tree, is what runs.
exec env -u PYTHONPATH "$VENV_PY" -P examples/demo_form.py "$@"
