#!/usr/bin/env bash
# The README's test command, also run by .ci/run: the suite on every interpreter and Qt
# binding of matrix.toml, offscreen, against the package as installed in each interpreter's
# venv, through noxfile.py's tests sessions; then one line of counts each, and the totals.
#
#   scripts/test.sh [--python 3.N]... [--binding NAME]... [pytest args...]
#
# --python and --binding narrow the matrix (each may be given more than once). An interpreter
# this machine lacks (all but the first on most) is taken from the Debian sid root of
# scripts/lib/pyroot.sh, which the first such run builds. The whole matrix takes about 40 min
# on two cores and about 5.5 GB of disk; `--python 3.13 --binding pyside6` is a quick subset.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_ROOT=$(cd "$here/.." && pwd)
# shellcheck source=scripts/lib/nox.sh
source "$here/lib/nox.sh"

pythons=() bindings=()
while (($#)); do
    case $1 in
    --python) pythons+=("${2:?--python needs a version such as 3.14}") ;;
    --binding) bindings+=("${2:?--binding needs a name such as pyqt6}") ;;
    *) break ;;
    esac
    shift 2
done
((${#pythons[@]})) || pythons=("${MATRIX_PYTHONS[@]}")
((${#bindings[@]})) || bindings=("${MATRIX_BINDINGS[@]}")
matrix_known python "${pythons[@]}"
matrix_known bindings "${bindings[@]}"
# The packages a fresh machine lacks (as root; otherwise it says what to install): a compiler
# and headers for the module, Qt's offscreen libraries, and mmdebstrap for the sid root.
"$here/provision.sh" build qt roots || true

sessions=() reports=()
for v in "${pythons[@]}"; do
    for b in "${bindings[@]}"; do
        sessions+=("tests(python='$v', binding='$b')")
        reports+=("$REPO_ROOT/out/junit/tests-$v-$b.xml")
    done
done

nox_ready
rm -f -- "${reports[@]}"
rc=0
nox_run -s "${sessions[@]}" -- "$@" || rc=$?
echo
"$NOX_PY" "$here/lib/junit_summary.py" "${reports[@]}" || rc=1
exit "$rc"
