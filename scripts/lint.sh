#!/usr/bin/env bash
# Run by hand before a commit (.ci/run runs the same session): noxfile.py's lint session,
# clang-format over the C++, ruff over every Python file, shellcheck over every shell script,
# and the hosted-runner workflow against its schema and zizmor's audits, each tool pinned.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/lib/nox.sh
source "$here/lib/nox.sh"
nox_ready
nox_run -s lint -- "$@"
