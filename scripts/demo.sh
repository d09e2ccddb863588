#!/usr/bin/env bash
# The project's main job: shows the field working on the binding qtpy picks
# (QT_API chooses one). For now it only proves the installed extension loads.
set -euo pipefail

# shellcheck source=scripts/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$REPO_ROOT"

# -P and no PYTHONPATH: the installed package, not the work tree, is what runs.
exec env -u PYTHONPATH QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" "$VENV_PY" -P -c \
    "import zarvel.material.hook_form.tessu_autocomplete as m; print(m.TessuAutocomplete)"
