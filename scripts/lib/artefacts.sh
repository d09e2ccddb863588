# shellcheck shell=bash
# Sourced by the scripts that build from or check what scripts/release/dist.sh wrote:
# wheel.sh, dist_cross.sh, dist_windows.sh, check_dist.sh, check_frozen.sh, check_windows.sh
# and check_arm64.sh:
#
#   artefact DIR PATTERN          the one file in DIR matching PATTERN, or a failure that says
#                                 how to make it
#   field_wheel DIR V PLATFORM    the field's wheel in DIR for CPython V and the platform tag
#                                 PLATFORM, a pattern ("manylinux*_x86_64", "win_amd64"): DIR
#                                 holds every interpreter's and machine's wheels

artefact() {
    local found; mapfile -t found < <(compgen -G "$1/$2")
    if ((${#found[@]} != 1)) || [[ ! -f "${found[0]}" ]]; then
        printf '%s: expected one %s in %s (run scripts/release/dist.sh first)\n' \
            "$(basename "$0")" "$2" "$1" >&2
        return 1
    fi
    printf '%s\n' "${found[0]}"
}

field_wheel() {
    local abi=cp${2/./}
    artefact "$1" "zarvel_tessu_autocomplete-*-$abi-$abi-$3.whl"
}
