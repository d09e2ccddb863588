# shellcheck shell=bash
# Sourced by the scripts that run over interpreters, bindings or platforms: the project's
# matrix (matrix.toml at the repo root) as bash arrays, so that no script writes it out.
#
#   matrix_get SECTION KEY    the key's value, or each element of its list, one a line
#   matrix_known WHAT V...    fails, naming it and the known ones, on a V not in the list
#                             WHAT (python or bindings)
#
# After sourcing: MATRIX_PYTHONS and MATRIX_BINDINGS hold every interpreter and binding,
# in matrix.toml's order.

_matrix_file="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/matrix.toml"

# matrix.toml keeps to one-line strings and lists of strings, which is all this reads.
matrix_get() {
    awk -v want_section="$1" -v want_key="$2" '
        /^[[:space:]]*(#|$)/ { next }
        /^[[:space:]]*\[/ { section = $0; gsub(/[][[:space:]]/, "", section); next }
        section != want_section { next }
        {
            key = $0
            sub(/[[:space:]]*=.*/, "", key)
            gsub(/[[:space:]]/, "", key)
            if (key != want_key) next
            value = $0
            sub(/^[^=]*=[[:space:]]*/, "", value)
            sub(/[[:space:]]*#[^"]*$/, "", value)
            sub(/^\[/, "", value)
            sub(/\]$/, "", value)
            n = split(value, items, ",")
            for (i = 1; i <= n; i++) {
                item = items[i]
                gsub(/^[[:space:]]*"|"[[:space:]]*$/, "", item)
                if (item != "") print item
            }
            found = 1
        }
        END { exit found ? 0 : 1 }
    ' "$_matrix_file"
}

matrix_known() {
    local what=$1 v
    local -a known
    shift
    case $what in
    python) known=("${MATRIX_PYTHONS[@]}") ;;
    bindings) known=("${MATRIX_BINDINGS[@]}") ;;
    *) return 2 ;;
    esac
    for v in "$@"; do
        if [[ " ${known[*]} " != *" $v "* ]]; then
            printf '%s: unknown %s %s (known: %s)\n' "$(basename "$0")" \
                "$([[ $what == python ]] && echo interpreter || echo binding)" "'$v'" "${known[*]}" >&2
            return 2
        fi
    done
}

mapfile -t MATRIX_PYTHONS < <(matrix_get python versions)
mapfile -t MATRIX_BINDINGS < <(matrix_get bindings names)
