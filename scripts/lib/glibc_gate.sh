# shellcheck shell=bash
# Sourced by scripts/release/wheel.sh and scripts/release/dist_cross.sh:
#
#   glibc_gate LABEL WHEEL   fails unless auditwheel tagged WHEEL manylinux with glibc no newer
#                            than 2.$DIST_MAX_GLIBC_MINOR (default 17)
#
# The module needs nothing of glibc newer than 2.17 (manylinux2014, what PyQt5's wheels ask
# for too), wherever and for whichever machine it was built; a newer tag means a new symbol
# version crept in and would shut out users.
_glibc_say() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; }

glibc_gate() {
    local label=$1 wheel=$2 tag glibc
    tag=$(basename "$wheel" .whl)
    tag=${tag##*-}
    glibc=$(grep -oE 'manylinux_2_[0-9]+' <<<"$tag" | sed 's/manylinux_2_//' | sort -n | head -n1 || true)
    if [[ -z "$glibc" ]]; then
        _glibc_say "auditwheel gave no manylinux tag: $(basename "$wheel")"
        return 1
    fi
    if ((glibc > ${DIST_MAX_GLIBC_MINOR:-17})); then
        _glibc_say "the $label wheel needs glibc 2.$glibc ($tag); more than 2.${DIST_MAX_GLIBC_MINOR:-17} shuts out users"
        return 1
    fi
    _glibc_say "$label platform tag $tag (glibc 2.$glibc or newer)"
}
