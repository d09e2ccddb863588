#!/usr/bin/env bash
# Called by the scripts that need an interpreter this machine lacks or the cross compiler (and
# by hand, to run a command there).
# A Debian sid root filesystem carrying the interpreters this machine lacks (CPython of
# matrix.toml, release and debug builds), the compilers (g++, and Clang for the fuzzing
# build) and the Qt system libraries, built once with mmdebstrap and cached under .pyroot/
# (git ignores it).
# The arm64 root (run under qemu-user) carries only what tests of the aarch64 wheels need.
#
#   scripts/lib/pyroot.sh [--arch amd64|arm64] build
#   scripts/lib/pyroot.sh [--arch amd64|arm64] run COMMAND [ARGS...]
#   scripts/lib/pyroot.sh [--arch amd64|arm64] path
#
# `run` executes COMMAND inside the root, as root, in the same working directory: the
# checkout is bound at its own path, so paths printed inside mean the same outside.
# /proc, /dev and /sys are bound in a private mount namespace, so nothing stays mounted
# after the command ends, whatever way it ends.
#
# Knobs (environment):
#   PYROOT_DIR     where the roots are cached (default: <repo>/.pyroot)
#   PYROOT_MIRROR  Debian mirror (default: the host's own deb.debian.org)
#   PYROOT_ARM_PYTHONS  interpreters the arm64 root carries (default: matrix.toml's [linux_aarch64]); one asked for
#                  later is added to a root built without it
set -euo pipefail

say() { printf 'pyroot.sh: %s\n' "$*" >&2; }

REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib/matrix.sh
source "$REPO_ROOT/scripts/lib/matrix.sh"
# The Qt runtime's package list and provision_need.
# shellcheck source=scripts/provision.sh
source "$REPO_ROOT/scripts/provision.sh"
arch=amd64
if [[ "${1:-}" == --arch ]]; then
    arch=${2:?--arch needs amd64 or arm64}
    shift 2
fi
case $arch in
amd64 | arm64) ;;
*)
    say "unknown architecture '$arch' (known: amd64 arm64)"
    exit 2
    ;;
esac

cache=${PYROOT_DIR:-$REPO_ROOT/.pyroot}
root=$cache/sid-$arch
mirror=${PYROOT_MIRROR:-http://deb.debian.org/debian}

# The Qt runtime libraries every root carries: provision.sh's qt group, by sid's (the newest)
# names.
qt_libs=()
while IFS= read -r p; do qt_libs+=("${p%%|*}"); done < <(provision_packages qt)
if [[ $arch == amd64 ]]; then
    packages=(ca-certificates "${qt_libs[@]}" g++ make binutils patchelf g++-aarch64-linux-gnu)
    # The fuzzing build on these interpreters (scripts/proof/fuzz.sh --python).
    while IFS= read -r p; do packages+=("$p"); done < <(provision_packages fuzz)
    for v in "${MATRIX_PYTHONS[@]}"; do
        packages+=("python$v" "python$v-venv" "python$v-dev" "python$v-dbg"
            "libpython$v-testsuite" "libpython$v-dev:arm64")
    done
    extra=()
else
    # The arm64 root only runs wheels that were built elsewhere: the amd64 root
    # cross-compiles them, with Debian's cross compiler and the arm64 interpreters' own
    # headers (Multi-Arch packages, so no emulation is involved in building). Every package
    # installs under emulation, so it carries no more than a test run needs: the
    # interpreters asked for, which a root built earlier gains without a rebuild.
    packages=(ca-certificates "${qt_libs[@]}")
    extra=()
    for v in ${PYROOT_ARM_PYTHONS:-$(matrix_get linux_aarch64 pythons | xargs)}; do
        matrix_known python "$v" || exit 2
        extra+=("python$v" "python$v-venv")
    done
fi

# The sid Release file of a frozen mirror may be past its Valid-Until date.
apt_opts=('Acquire::Check-Valid-Until "false"' 'APT::Install-Recommends "false"')

binfmt_ready() {
    [[ $arch == amd64 ]] && return 0
    [[ -e /proc/sys/fs/binfmt_misc/status ]] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
    if [[ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]]; then
        update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
    fi
    [[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]]
}

# What building a root takes on this machine; provisioned, not installed here.
host_tools() {
    local roots=() qemu=()
    command -v mmdebstrap >/dev/null 2>&1 || roots+=(mmdebstrap)
    # The amd64 root carries arm64 headers too.
    command -v arch-test >/dev/null 2>&1 || roots+=(arch-test)
    if [[ $arch == arm64 ]]; then
        [[ -x /usr/bin/qemu-aarch64-static ]] || qemu+=(/usr/bin/qemu-aarch64-static)
        command -v update-binfmts >/dev/null 2>&1 || qemu+=(update-binfmts)
    fi
    ((${#roots[@]} == 0)) || provision_need roots "${roots[@]}"
    ((${#qemu[@]} == 0)) || provision_need qemu "${qemu[@]}"
    ((${#roots[@]} + ${#qemu[@]} == 0))
}

stamp_want() { printf '%s\n' "$mirror" "${packages[@]}" | sha256sum | cut -d' ' -f1; }

# The machine reaches its package index through its own CA bundle, name entries and pip
# configuration; a root without them cannot install a wheel.
carry_network_config() {
    local f
    for f in /etc/hosts /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt \
        /etc/pip.conf /etc/xdg/pip/pip.conf /etc/xdg/pip/constraints.txt \
        /root/.config/pip/pip.conf; do
        [[ -f $f ]] || continue
        mkdir -p "$root$(dirname "$f")"
        cp -L -- "$f" "$root$f"
    done
}

build() {
    local want t0
    want=$(stamp_want)
    if [[ -f $root/.pyroot-stamp && "$(<"$root/.pyroot-stamp")" == "$want" ]]; then
        carry_network_config
        add_extra
        return 0
    fi
    host_tools || return 1
    binfmt_ready || {
        say "cannot register qemu-aarch64 with binfmt_misc"
        return 1
    }
    if [[ -e $root ]]; then
        say "package list changed; rebuilding $root"
        # Never follow a bind mount left over from an interrupted run into the checkout.
        rm -rf --one-file-system -- "$root"
    fi
    mkdir -p "$cache"
    t0=$SECONDS
    say "building sid-$arch with mmdebstrap (a few minutes)"
    local archs=$arch
    [[ $arch == amd64 ]] && archs=amd64,arm64
    local -a opts=(--variant=apt --architectures="$archs" --include="$(
        IFS=,
        echo "${packages[*]}"
    )")
    ((${#extra[@]} == 0)) || opts[-1]+=",$(
        IFS=,
        echo "${extra[*]}"
    )"
    local o
    for o in "${apt_opts[@]}"; do opts+=(--aptopt="$o"); done
    # Under emulation every file unpacked and every maintainer script costs: leave out what
    # no test reads.
    if [[ $arch != amd64 ]]; then
        for o in force-unsafe-io path-exclude=/usr/share/man/* path-exclude=/usr/share/doc/* \
            path-exclude=/usr/share/locale/* path-exclude=/usr/share/info/*; do
            opts+=(--dpkgopt="$o")
        done
    fi
    mmdebstrap "${opts[@]}" --skip=cleanup/apt/lists sid "$root" "$mirror" >&2
    carry_network_config
    stamp_want >"$root/.pyroot-stamp"
    # shellcheck disable=SC2016 # the loop is the root's sh's, which expands its own $p
    say "sid-$arch ready in $((SECONDS - t0)) s: $(chroot "$root" sh -c \
        'for v; do p=python$v; command -v $p >/dev/null && printf "%s " "$($p -c "import platform; print(platform.python_version())")"; done' \
        sh "${MATRIX_PYTHONS[@]}")"
}

# Packages asked for beyond the stamped list, installed into a root built without them.
add_extra() {
    local p missing=()
    for p in "${extra[@]}"; do
        chroot "$root" dpkg-query -W -f="\${Status}" "$p" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    binfmt_ready || {
        say "cannot register qemu-aarch64 with binfmt_misc"
        return 1
    }
    say "adding ${missing[*]} to sid-$arch"
    local t0=$SECONDS
    unshare --mount --propagation private -- chroot "$root" sh -c '
        mount -t proc proc /proc
        export DEBIAN_FRONTEND=noninteractive
        apt-get -o Acquire::Check-Valid-Until=false update -qq &&
            apt-get install -y -qq --no-install-recommends "$@" >/dev/null' sh "${missing[@]}"
    say "added in $((SECONDS - t0)) s"
}

run() {
    (($#)) || {
        say "run needs a command"
        exit 2
    }
    build
    binfmt_ready
    mkdir -p "$root$REPO_ROOT"
    local cwd=$PWD
    [[ $cwd == "$REPO_ROOT"* ]] || cwd=$REPO_ROOT
    # The command's words travel as arguments, never re-parsed by a shell.
    # shellcheck disable=SC2016 # the script is the inner bash's, which expands its own $1...
    exec unshare --mount --propagation private -- bash -c '
        set -e
        root=$1 repo=$2 cwd=$3 name=$4
        shift 4
        mount --rbind /dev "$root/dev"
        mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --bind "$repo" "$root$repo"
        # Local wheel folders that the pip configuration names.
        if [[ -d /opt ]]; then mount --bind -o ro /opt "$root/opt"; fi
        mkdir -p "$root/tmp" && chmod 1777 "$root/tmp"
        exec chroot "$root" /usr/bin/env -C "$cwd" PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
            PYROOT_NAME="$name" "$@"
    ' pyroot "$root" "$REPO_ROOT" "$cwd" "sid-$arch" "$@"
}

case ${1:-} in
build) build ;;
run)
    shift
    run "$@"
    ;;
path) printf '%s\n' "$root" ;;
*)
    say "usage: pyroot.sh [--arch amd64|arm64] build | run COMMAND... | path"
    exit 2
    ;;
esac
