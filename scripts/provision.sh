#!/usr/bin/env bash
# The one script that installs Debian packages. They come in groups, each named for what it
# serves; the other scripts only check for what they need and, when it is missing, say so and
# name the group to provide it (provision_need, below). The README's two commands and .ci/run
# call this first.
#
#   scripts/provision.sh GROUP...   installs what the groups lack (as root, with apt-get)
#   scripts/provision.sh --list     each group and its packages
#
# As root with apt-get: when something is missing, one `apt-get update`, then one
# `apt-get install` per group of the packages dpkg-query does not report installed; apt's
# output is appended to out/provision.log, and each group gets one line here. Otherwise (not
# root, no apt-get, or SKIP_APT=1) it prints what is missing and the apt-get line for it.
# In a list, "a|b" means the first of the names that apt knows (Debian renamed some packages,
# as in the t64 transition of Debian 13), and any of them installed counts.
#
# Exit status: 0 when every package of the groups is installed (or now is), 1 when some are
# still missing, 2 for an unknown group or no group.
#
# Knobs (environment):
#   SKIP_APT  1 = never install: only say what is missing (and exit 1 if anything is)
#
# Sourced (scripts/lib/env.sh, scripts/lib/pyroot.sh and the checks do), it only defines the
# lists and functions below.

_provision_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if ! declare -F matrix_get >/dev/null; then
    # shellcheck source=scripts/lib/matrix.sh
    source "$_provision_root/scripts/lib/matrix.sh"
fi

# Shared libraries the Qt wheels (PySide6, PyQt6, PyQt5) load from the system for the offscreen
# platform, as "soname package[|package...]": the qt group, and what scripts/lib/env.sh looks
# for with ldconfig. Where Debian renamed a package the newer name comes first.
PROVISION_QT_LIBS=(
    "libEGL.so.1 libegl1"
    "libGL.so.1 libgl1"
    "libX11.so.6 libx11-6"
    "libXext.so.6 libxext6"
    "libxkbcommon.so.0 libxkbcommon0"
    "libfontconfig.so.1 libfontconfig1"
    "libfreetype.so.6 libfreetype6"
    "libdbus-1.so.3 libdbus-1-3"
    "libglib-2.0.so.0 libglib2.0-0t64|libglib2.0-0"
    "libgthread-2.0.so.0 libglib2.0-0t64|libglib2.0-0"
    "libz.so.1 zlib1g"
    "libzstd.so.1 libzstd1"
)

# What the xcb platform plugin (a window on an X display) needs on top of those, in the same
# form: the xcb group. scripts/lib/env.sh asks ldd which of them an installed binding's plugin
# lacks, and names the group of each.
PROVISION_XCB_LIBS=(
    "libxcb-icccm.so.4 libxcb-icccm4"
    "libxcb-keysyms.so.1 libxcb-keysyms1"
    "libxcb-image.so.0 libxcb-image0"
    "libxcb-render-util.so.0 libxcb-render-util0"
    "libxcb-xinerama.so.0 libxcb-xinerama0"
    "libxcb-xkb.so.1 libxcb-xkb1"
    "libxkbcommon-x11.so.0 libxkbcommon-x11-0"
    "libxcb-randr.so.0 libxcb-randr0"
    "libxcb-shape.so.0 libxcb-shape0"
    "libxcb-cursor.so.0 libxcb-cursor0"
    "libxcb-shm.so.0 libxcb-shm0"
    "libxcb-sync.so.1 libxcb-sync1"
    "libxcb-xfixes.so.0 libxcb-xfixes0"
    "libxcb-render.so.0 libxcb-render0"
    "libxcb-glx.so.0 libxcb-glx0"
    "libxcb-util.so.1 libxcb-util1"
    "libxcb.so.1 libxcb1"
    "libX11-xcb.so.1 libx11-xcb1"
    "libSM.so.6 libsm6"
    "libICE.so.6 libice6"
    "libOpenGL.so.0 libopengl0"
)

PROVISION_GROUPS=(qt xcb build roots qemu wine cross x11 freeze fuzz)

# What each group serves, for the usage text.
_provision_serves() {
    case $1 in
    qt) echo "the Qt wheels' offscreen platform: every venv, the tests and the demo" ;;
    xcb) echo "Qt's xcb platform, to open windows: the demo on a desktop, the display check" ;;
    build) echo "venvs and the C++ build on CPython ${MATRIX_PYTHONS[0]} (also Nuitka's compiler)" ;;
    roots) echo "the Debian sid roots of scripts/lib/pyroot.sh: the other interpreters, the cross build" ;;
    qemu) echo "aarch64 under emulation: the arm64 root (check_arm64.sh), the guard check" ;;
    wine) echo "Windows programs under wine: check_windows.sh, the guard check" ;;
    cross) echo "the aarch64 glibc loader and libc, for the guard check's dynamic build under qemu" ;;
    x11) echo "a virtual X server, driven and read back: the display check" ;;
    freeze) echo "ccache, so that Nuitka does not compile everything on each run: check_frozen.sh nuitka" ;;
    fuzz) echo "Clang and its sanitizer runtimes, for the fuzzing build: scripts/proof/fuzz.sh" ;;
    esac
}

# The packages of one group, one a line (alternatives as "a|b"); fails for an unknown group.
provision_packages() {
    local entry
    case $1 in
    qt) for entry in "${PROVISION_QT_LIBS[@]}"; do printf '%s\n' "${entry#* }"; done | awk '!seen[$0]++' ;;
    xcb) for entry in "${PROVISION_XCB_LIBS[@]}"; do printf '%s\n' "${entry#* }"; done | awk '!seen[$0]++' ;;
    # What scripts/lib/env.sh checks for before it makes a venv and builds; Debian names the
    # first two after the exact version, with a generic fallback.
    build) printf '%s\n' g++ "python${MATRIX_PYTHONS[0]}-venv|python3-venv" \
        "python${MATRIX_PYTHONS[0]}-dev|python3-dev" ;;
    roots) printf '%s\n' mmdebstrap arch-test ;;
    qemu) printf '%s\n' qemu-user-static binfmt-support ;;
    wine) printf '%s\n' wine64 fonts-dejavu-core ;;
    cross) printf '%s\n' libc6-arm64-cross ;;
    x11) printf '%s\n' xvfb xdotool x11-apps ;;
    freeze) printf '%s\n' ccache ;;
    fuzz) printf '%s\n' clang-19 libclang-rt-19-dev ;;
    *) return 2 ;;
    esac
}

# For the scripts that need what a group provides: one line on standard error, under the
# calling script's name, saying what is missing and the command that provides it.
#   provision_need GROUP WHAT...
provision_need() {
    local group=$1 who=${BASH_SOURCE[1]##*/} run=scripts/provision.sh
    shift
    # Inside a sid root it is the root that lacks it, and pyroot.sh runs this script there.
    if [[ -n ${PYROOT_NAME:-} ]]; then
        run="scripts/lib/pyroot.sh --arch ${PYROOT_NAME#sid-} run scripts/provision.sh"
    fi
    printf '%s: missing %s; run: %s %s (as root)\n' "$who" "$*" "$run" "$group" >&2
}

_provision_say() { printf 'provision.sh: %s\n' "$*" >&2; }

_provision_usage() {
    local g
    printf 'usage: scripts/provision.sh GROUP... | --list\n\ngroups:\n'
    for g in "${PROVISION_GROUPS[@]}"; do printf '  %-7s %s\n' "$g" "$(_provision_serves "$g")"; done
    printf '\nAs root it installs what the groups lack; otherwise it prints the apt-get line.\n'
}

# The chosen name of each "a|b" entry given: the first that apt knows, else the first.
_provision_resolve() {
    local entry alt chosen
    local -a alts
    for entry in "$@"; do
        IFS='|' read -r -a alts <<<"$entry"
        chosen=${alts[0]}
        if ((${#alts[@]} > 1)); then
            for alt in "${alts[@]}"; do
                # A virtual or unknown name has no version to show.
                if apt-cache show --no-all-versions "$alt" >/dev/null 2>&1; then
                    chosen=$alt
                    break
                fi
            done
        fi
        printf '%s\n' "$chosen"
    done
}

_provision_main() {
    local g entry alt t0 rc status=0 n
    local -a groups=() names=() alts=() resolved=() all_missing=()
    local -A installed=() lacking=()
    case ${1:-} in
    "")
        _provision_usage >&2
        return 2
        ;;
    -h | --help)
        _provision_usage
        return 0
        ;;
    --list)
        for g in "${PROVISION_GROUPS[@]}"; do
            printf '%s: %s\n' "$g" "$(provision_packages "$g" | paste -sd' ' -)"
        done
        return 0
        ;;
    esac
    for g in "$@"; do
        if [[ " ${PROVISION_GROUPS[*]} " != *" $g "* ]]; then
            _provision_say "unknown group '$g' (known: ${PROVISION_GROUPS[*]}; --list shows their packages)"
            return 2
        fi
        [[ " ${groups[*]} " == *" $g "* ]] || groups+=("$g")
    done

    if ! command -v dpkg-query >/dev/null 2>&1; then
        _provision_say "no dpkg-query: not a Debian system, so nothing is checked or installed;"
        _provision_say "install what provides these (Debian's names):"
        for g in "${groups[@]}"; do
            _provision_say "  $g: $(provision_packages "$g" | paste -sd' ' -)"
        done
        return 1
    fi
    # One query for every name: Status is "installed" only when the package is unpacked and
    # configured ("not-installed" and "config-files" are known to dpkg but absent).
    for g in "${groups[@]}"; do
        while IFS= read -r entry; do
            IFS='|' read -r -a alts <<<"$entry"
            names+=("${alts[@]}")
        done < <(provision_packages "$g")
    done
    while read -r entry rc; do
        if [[ $rc == installed ]]; then installed[$entry]=1; fi
    done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${names[@]}" 2>/dev/null || true)
    for g in "${groups[@]}"; do
        lacking[$g]=""
        while IFS= read -r entry; do
            IFS='|' read -r -a alts <<<"$entry"
            for alt in "${alts[@]}"; do
                if [[ -n ${installed[$alt]:-} ]]; then continue 2; fi
            done
            lacking[$g]+="$entry "
        done < <(provision_packages "$g")
        lacking[$g]=${lacking[$g]% }
    done

    local why=""
    if [[ ${SKIP_APT:-0} == 1 ]]; then
        why="SKIP_APT=1"
    elif [[ $(id -u) != 0 ]]; then
        why="not root"
    elif ! command -v apt-get >/dev/null 2>&1; then
        why="no apt-get"
    fi
    for g in "${groups[@]}"; do
        [[ -z ${lacking[$g]} ]] || all_missing+=("${lacking[$g]}")
    done
    if ((${#all_missing[@]} == 0)) || [[ -n $why ]]; then
        for g in "${groups[@]}"; do
            if [[ -z ${lacking[$g]} ]]; then
                _provision_say "$g: all present"
            else
                _provision_say "$g: missing ${lacking[$g]//|/ or }"
            fi
        done
        ((${#all_missing[@]})) || return 0
        read -r -a all_missing <<<"${all_missing[*]}"
        mapfile -t resolved < <(_provision_resolve "${all_missing[@]}")
        _provision_say "not installing ($why); as root: apt-get install --no-install-recommends ${resolved[*]}"
        _provision_say "(or, as root: scripts/provision.sh ${groups[*]})"
        return 1
    fi

    local log=$_provision_root/out/provision.log
    mkdir -p -- "$(dirname "$log")"
    # Another apt run (unattended-upgrades on a machine just booted) is waited for, not failed on.
    local -a apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
    t0=$SECONDS
    printf '==== %s apt-get update (for %s)\n' "$(date -u '+%F %T')" "${groups[*]}" >>"$log"
    rc=0
    "${apt[@]}" update >>"$log" 2>&1 || rc=$?
    if ((rc)); then
        _provision_say "apt-get update failed (exit $rc, $((SECONDS - t0)) s); see out/provision.log"
        return 1
    fi
    _provision_say "apt-get update ($((SECONDS - t0)) s)"
    for g in "${groups[@]}"; do
        if [[ -z ${lacking[$g]} ]]; then
            _provision_say "$g: all present"
            continue
        fi
        read -r -a all_missing <<<"${lacking[$g]}"
        mapfile -t resolved < <(_provision_resolve "${all_missing[@]}")
        n=${#resolved[@]}
        t0=$SECONDS
        printf '==== %s group %s: apt-get install %s\n' "$(date -u '+%F %T')" "$g" "${resolved[*]}" >>"$log"
        rc=0
        "${apt[@]}" install -y --no-install-recommends "${resolved[@]}" >>"$log" 2>&1 || rc=$?
        if ((rc)); then
            _provision_say "$g: apt-get install ${resolved[*]} failed (exit $rc, $((SECONDS - t0)) s); see out/provision.log"
            status=1
        else
            _provision_say "$g: $n installed ($((SECONDS - t0)) s): ${resolved[*]}"
        fi
    done
    return "$status"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    set -euo pipefail
    _provision_main "$@"
fi
