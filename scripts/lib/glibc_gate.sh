# shellcheck shell=bash
# Sourced by scripts/release/dist.sh and scripts/release/dist_cross.sh, after each defines `say`:
#
#   glibc_gate LABEL WHEEL   fails unless auditwheel tagged WHEEL manylinux with glibc no newer
#                            than 2.$DIST_MAX_GLIBC_MINOR (default 17)
#
# The module needs nothing of glibc newer than 2.17 (manylinux2014, what PyQt5's wheels ask
# for too), wherever and for whichever machine it was built; a newer tag means a new symbol
# version crept in and would shut out users.
glibc_gate() {
    local label=$1 wheel=$2 tag glibc
    tag=$(basename "$wheel" .whl)
    tag=${tag##*-}
    glibc=$(grep -oE 'manylinux_2_[0-9]+' <<<"$tag" | sed 's/manylinux_2_//' | sort -n | head -n1 || true)
    if [[ -z "$glibc" ]]; then
        say "auditwheel gave no manylinux tag: $(basename "$wheel")"
        return 1
    fi
    if ((glibc > ${DIST_MAX_GLIBC_MINOR:-17})); then
        say "the $label wheel needs glibc 2.$glibc ($tag); more than 2.${DIST_MAX_GLIBC_MINOR:-17} shuts out users"
        return 1
    fi
    say "$label platform tag $tag (glibc 2.$glibc or newer)"
}
