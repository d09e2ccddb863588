#!/usr/bin/env bash
# Format and lint: clang-format over the C++ sources (.clang-format) and ruff over the Python
# code (its configuration is in pyproject.toml). Both tools come from PyPI, pinned, so that
# every machine formats alike.
set -euo pipefail

# shellcheck source=scripts/lib/env.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/env.sh"
cd "$REPO_ROOT"

say() { printf 'lint.sh: %s\n' "$*" >&2; }

"$VENV_PY" -m pip install --disable-pip-version-check -q "clang-format==23.1.5" "ruff==0.17.6"

status=0
mapfile -t cxx < <(git ls-files --cached --others --exclude-standard -- 'material/*.cpp' 'material/*.h' 'include/*.h' 'tests/guard/*.cpp')
if "$VENV/bin/clang-format" --dry-run -Werror "${cxx[@]}"; then
    say "clang-format: ${#cxx[@]} files clean"
else
    status=1
fi
if "$VENV/bin/ruff" check host tests bench examples scripts freeze; then
    say "ruff: clean"
else
    status=1
fi
exit "$status"
