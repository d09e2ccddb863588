# shellcheck shell=bash
# Sourced by the scripts (scripts/test.sh, scripts/demo.sh and most others), or run alone for
# the setup only: prepares a CPython virtual environment (matrix.toml's first interpreter
# unless TESSU_PY says otherwise)
# with this package installed from the work tree.
#
# Knobs (environment):
#   TESSU_PY       interpreter version, one of matrix.toml's (default: its first)
#   PYTHON         interpreter to use instead of searching for CPython $TESSU_PY
#   VENV           virtual environment directory (default: <repo>/.venv for the first,
#                  <repo>/.venv-3.N for another version)
#   FORCE_INSTALL  1 = reinstall the package even if the sources look unchanged
#   SKIP_APT       1 = only report missing Qt system libraries, never install them
#
# After sourcing: REPO_ROOT, VENV and VENV_PY are exported, and the venv's bin/ is
# first on PATH.
#
# Every step reports failure through its return status instead of `exit`, so that
# sourcing this from an interactive shell can never close that shell.

_zenv_say() { printf 'env.sh: %s\n' "$*" >&2; }

# Prints the interpreter's real path if it is a usable CPython $TESSU_PY (not the
# free-threaded build, whose ABI the Qt wheels do not ship for), else fails.
# Running it is the only honest test: a pyenv shim exists on PATH even when it
# cannot run anything.
_zenv_probe_python() {
    "$@" - "$TESSU_PY" <<'EOF' 2>/dev/null
import sys, sysconfig
ok = (
    sys.implementation.name == "cpython"
    and "%d.%d" % sys.version_info[:2] == sys.argv[1]
    and not sysconfig.get_config_var("Py_GIL_DISABLED")
)
if ok:
    print(sys.executable)
sys.exit(0 if ok else 1)
EOF
}

_zenv_find_python() {
    local found candidate root
    if [[ -n "${PYTHON:-}" ]]; then
        if found=$(_zenv_probe_python "$PYTHON"); then
            printf '%s\n' "$found"
            return 0
        fi
        _zenv_say "PYTHON=$PYTHON is not a runnable CPython $TESSU_PY (non-free-threaded)"
        return 1
    fi

    for candidate in "python$TESSU_PY" python3; do
        if command -v "$candidate" >/dev/null 2>&1 &&
            found=$(_zenv_probe_python "$candidate"); then
            printf '%s\n' "$found"
            return 0
        fi
    done

    # pyenv installs versions without putting them on PATH unless they are selected.
    root=""
    if command -v pyenv >/dev/null 2>&1; then
        root=$(pyenv root 2>/dev/null || true)
    fi
    [[ -n "$root" ]] || root="${PYENV_ROOT:-$HOME/.pyenv}"
    if [[ -d "$root/versions" ]]; then
        # Newest patch release first.
        while IFS= read -r candidate; do
            if found=$(_zenv_probe_python "$candidate"); then
                printf '%s\n' "$found"
                return 0
            fi
        done < <(compgen -G "$root/versions/$TESSU_PY*/bin/python$TESSU_PY" | sort -rV)
    fi

    for candidate in "/usr/local/bin/python$TESSU_PY" "/usr/bin/python$TESSU_PY"; do
        if [[ -x "$candidate" ]] && found=$(_zenv_probe_python "$candidate"); then
            printf '%s\n' "$found"
            return 0
        fi
    done

    _zenv_say "no CPython $TESSU_PY found."
    _zenv_say "looked for: python$TESSU_PY and python3 on PATH, pyenv versions $TESSU_PY.* under ${root:-~/.pyenv},"
    _zenv_say "/usr/local/bin/python$TESSU_PY, /usr/bin/python$TESSU_PY."
    _zenv_say "install one (e.g. 'pyenv install $TESSU_PY'), set PYTHON=/path/to/python$TESSU_PY, or run"
    _zenv_say "inside the Debian sid root that scripts/lib/pyroot.sh builds (scripts/test.sh does so itself)"
    return 1
}

# Shared libraries the Qt wheels (PySide6, PyQt6, PyQt5) load from the system for
# the offscreen platform, as "soname package [package...]". Where Debian renamed a
# package (the t64 transition of Debian 13) the newer name comes first.
_ZENV_QT_LIBS=(
    "libEGL.so.1 libegl1"
    "libGL.so.1 libgl1"
    "libX11.so.6 libx11-6"
    "libXext.so.6 libxext6"
    "libxkbcommon.so.0 libxkbcommon0"
    "libfontconfig.so.1 libfontconfig1"
    "libfreetype.so.6 libfreetype6"
    "libdbus-1.so.3 libdbus-1-3"
    "libglib-2.0.so.0 libglib2.0-0t64 libglib2.0-0"
    "libgthread-2.0.so.0 libglib2.0-0t64 libglib2.0-0"
    "libz.so.1 zlib1g"
    "libzstd.so.1 libzstd1"
)

# What the xcb platform plugin (a window on an X display) needs on top of those, in the
# same form. Only what ldd reports missing for an installed binding is installed; an
# unknown soname is printed as it is.
_ZENV_XCB_LIBS=(
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

_zenv_ldconfig() {
    local lc
    for lc in ldconfig /sbin/ldconfig /usr/sbin/ldconfig; do
        if command -v "$lc" >/dev/null 2>&1; then
            "$lc" -p
            return 0
        fi
    done
    return 1
}

# The first of the given Debian package names that apt knows (renamed packages are listed
# newest name first); nothing when none is known.
_zenv_debian_package() {
    local pkg
    for pkg in "$@"; do
        # A purely virtual or unknown name has no version to show.
        if apt-cache show --no-all-versions "$pkg" >/dev/null 2>&1; then
            printf '%s\n' "$pkg"
            return 0
        fi
    done
}

_zenv_qt_system_libs() {
    local cache entry soname pkgs_line pkg chosen missing_so=() missing_pkg=() pkgs=()
    if ! cache=$(_zenv_ldconfig); then
        _zenv_say "warning: no ldconfig, cannot check Qt's system libraries"
        return 0
    fi
    for entry in "${_ZENV_QT_LIBS[@]}"; do
        read -r soname _ <<<"$entry"
        if ! grep -qF -- "$soname " <<<"$cache"; then
            missing_so+=("$soname")
        fi
    done
    if ((${#missing_so[@]} == 0)); then
        _zenv_say "Qt system libraries: all present"
        return 0
    fi
    _zenv_say "Qt system libraries missing: ${missing_so[*]}"

    if [[ "$(id -u)" != 0 || "${SKIP_APT:-0}" == 1 ]] || ! command -v apt-get >/dev/null 2>&1; then
        for entry in "${_ZENV_QT_LIBS[@]}"; do
            read -r soname pkg _ <<<"$entry"
            [[ " ${missing_so[*]} " == *" $soname "* ]] && missing_pkg+=("$pkg")
        done
        _zenv_say "not installing them (needs root and apt-get; SKIP_APT=${SKIP_APT:-0})."
        _zenv_say "on Debian: apt-get install $(printf '%s\n' "${missing_pkg[@]}" | sort -u | tr '\n' ' ')"
        if [[ " ${missing_pkg[*]} " == *" libglib2.0-0t64 "* ]]; then
            _zenv_say "(Debian 12 and older: libglib2.0-0 instead of libglib2.0-0t64)"
        fi
        return 0
    fi

    _zenv_say "apt-get update"
    if ! DEBIAN_FRONTEND=noninteractive apt-get update -qq; then
        _zenv_say "apt-get update failed"
        return 1
    fi
    for entry in "${_ZENV_QT_LIBS[@]}"; do
        read -r soname pkgs_line <<<"$entry"
        [[ " ${missing_so[*]} " == *" $soname "* ]] || continue
        read -r -a pkgs <<<"$pkgs_line"
        chosen=$(_zenv_debian_package "${pkgs[@]}")
        if [[ -z "$chosen" ]]; then
            _zenv_say "no Debian package found for $soname (tried: ${pkgs[*]})"
            return 1
        fi
        [[ " ${missing_pkg[*]} " == *" $chosen "* ]] || missing_pkg+=("$chosen")
    done
    _zenv_say "apt-get install ${missing_pkg[*]}"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing_pkg[@]}"; then
        _zenv_say "apt-get install failed"
        return 1
    fi
}

# The sonames that ldd cannot resolve for any of the given plugins, one a line, each once.
_zenv_unresolved() {
    local plugin
    for plugin in "$@"; do ldd "$plugin" 2>/dev/null; done |
        awk '$2 == "=>" && $3 == "not" && $4 == "found" && !seen[$1]++ { print $1 }'
}

# The xcb platform plugin of each binding in the venv, asked directly: ldd lists what
# the dynamic loader would not find when a window is opened, whatever Qt release the
# wheel carries. Runs on every setup, since a binding may have come in since.
_zenv_xcb_platform_libs() {
    local plugin entry soname pkgs_line chosen sp
    local -a plugins=() missing_so=() missing_pkg=() unknown_so=() pkgs=()
    if ! command -v ldd >/dev/null 2>&1; then
        _zenv_say "warning: no ldd, cannot check the xcb platform's system libraries"
        return 0
    fi
    sp=$("$VENV_PY" -c 'import sysconfig; print(sysconfig.get_path("platlib"))') || return 1
    for plugin in "$sp"/PySide6/Qt/plugins/platforms/libqxcb.so \
        "$sp"/PyQt6/Qt6/plugins/platforms/libqxcb.so \
        "$sp"/PyQt5/Qt5/plugins/platforms/libqxcb.so; do
        [[ -f "$plugin" ]] && plugins+=("$plugin")
    done
    if ((${#plugins[@]} == 0)); then
        _zenv_say "warning: no binding's libqxcb.so found under $sp"
        return 0
    fi
    mapfile -t missing_so < <(_zenv_unresolved "${plugins[@]}")
    if ((${#missing_so[@]} == 0)); then
        _zenv_say "xcb platform libraries: all present (${#plugins[@]} binding(s) checked)"
        return 0
    fi
    _zenv_say "xcb platform libraries missing: ${missing_so[*]}"

    local can_apt=1
    if [[ "$(id -u)" != 0 || "${SKIP_APT:-0}" == 1 ]] || ! command -v apt-get >/dev/null 2>&1; then
        can_apt=0
    else
        _zenv_say "apt-get update"
        # Offscreen work does not need these: a failure here is reported, not fatal.
        DEBIAN_FRONTEND=noninteractive apt-get update -qq || {
            _zenv_say "warning: apt-get update failed; windows will not open until these are installed"
            return 0
        }
    fi
    for soname in "${missing_so[@]}"; do
        pkgs_line=""
        for entry in "${_ZENV_XCB_LIBS[@]}" "${_ZENV_QT_LIBS[@]}"; do
            if [[ "${entry%% *}" == "$soname" ]]; then
                pkgs_line=${entry#* }
                break
            fi
        done
        if [[ -z "$pkgs_line" ]]; then
            unknown_so+=("$soname")
            continue
        fi
        read -r -a pkgs <<<"$pkgs_line"
        chosen=${pkgs[0]}
        if ((can_apt)); then
            chosen=$(_zenv_debian_package "${pkgs[@]}")
            [[ -n "$chosen" ]] || {
                unknown_so+=("$soname")
                continue
            }
        fi
        [[ " ${missing_pkg[*]} " == *" $chosen "* ]] || missing_pkg+=("$chosen")
    done
    if ((${#unknown_so[@]})); then
        _zenv_say "no Debian package known for: ${unknown_so[*]} (install what provides them)"
    fi
    ((${#missing_pkg[@]})) || return 0
    if ((!can_apt)); then
        _zenv_say "not installing them (needs root and apt-get; SKIP_APT=${SKIP_APT:-0})."
        _zenv_say "on Debian: apt-get install ${missing_pkg[*]}"
        return 0
    fi
    _zenv_say "apt-get install ${missing_pkg[*]}"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing_pkg[@]}"; then
        _zenv_say "warning: apt-get install failed; windows will not open until these are installed"
        return 0
    fi
    # A package can be installed and still not provide the file (a removed or
    # diverted library): only ldd can say that the plugin is now complete.
    mapfile -t missing_so < <(_zenv_unresolved "${plugins[@]}")
    if ((${#missing_so[@]})); then
        _zenv_say "warning: still missing after the install: ${missing_so[*]}"
    fi
}

# Everything that goes into the two distributions (the field and, under host/, the
# stand-in); when none of it changed since the last successful install into this venv,
# rebuilding would only cost a minute.
_zenv_source_hash() {
    (
        cd "$REPO_ROOT" || exit 1
        inputs=()
        for p in pyproject.toml CMakeLists.txt README.md LICENSE include material freeze host; do
            if [[ -e "$p" ]]; then inputs+=("$p"); fi
        done
        {
            printf '%s\n' "$1"
            find "${inputs[@]}" -name __pycache__ -prune -o -type f -print0 |
                LC_ALL=C sort -z | xargs -0 -r sha256sum
        } | sha256sum | cut -d' ' -f1
    )
}

# A distribution's own Python may come without venv support or C headers, and a bare
# machine without a C++ compiler; all three are needed to build the extension.
_zenv_build_tools() {
    local py=$1 missing=() minor pkg
    minor=$("$py" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
    "$py" -c 'import ensurepip' >/dev/null 2>&1 || missing+=("python$minor-venv")
    "$py" -c 'import os, sysconfig; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' \
        >/dev/null 2>&1 || missing+=("python$minor-dev")
    command -v g++ >/dev/null 2>&1 || missing+=("g++")
    ((${#missing[@]} == 0)) && return 0
    _zenv_say "build prerequisites missing: ${missing[*]}"
    if [[ "$(id -u)" != 0 || "${SKIP_APT:-0}" == 1 ]] || ! command -v apt-get >/dev/null 2>&1; then
        _zenv_say "on Debian: apt-get install ${missing[*]}"
        return 0
    fi
    DEBIAN_FRONTEND=noninteractive apt-get update -qq || return 1
    for pkg in "${missing[@]}"; do
        # Debian names these after the exact version, with a generic fallback.
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$pkg" ||
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                "${pkg/python$minor/python3}" || return 1
    done
}

_zenv_make_venv() {
    local py=$1
    if [[ -x "$VENV/bin/python" ]] && _zenv_probe_python "$VENV/bin/python" >/dev/null; then
        _zenv_say "reusing venv $VENV"
        return 0
    fi
    if [[ -e "$VENV" ]] && ! [[ -d "$VENV" && -z "$(ls -A -- "$VENV")" ]]; then
        if [[ ! -f "$VENV/pyvenv.cfg" ]]; then
            _zenv_say "$VENV exists and is not a virtual environment; set VENV to another path"
            return 1
        fi
        _zenv_say "venv $VENV is broken or not CPython $TESSU_PY; recreating it"
        rm -rf -- "$VENV" || return 1
    fi
    _zenv_say "creating venv $VENV with $py"
    if ! "$py" -m venv "$VENV"; then
        _zenv_say "'$py -m venv' failed (on Debian's own python$TESSU_PY the venv module needs the python$TESSU_PY-venv package)"
        return 1
    fi
}

_zenv_install_package() {
    local stamp="$VENV/.zarvel-install-stamp" want
    want=$(_zenv_source_hash "$VENV_PY") || return 1
    if [[ "${FORCE_INSTALL:-0}" != 1 && -f "$stamp" && "$(<"$stamp")" == "$want" ]]; then
        _zenv_say "package already installed from these sources (FORCE_INSTALL=1 rebuilds)"
        return 0
    fi
    rm -f -- "$stamp"
    _zenv_say "upgrading pip"
    "$VENV_PY" -m pip install --disable-pip-version-check -q --upgrade pip || return 1
    local extras="test,${MATRIX_BINDINGS[0]}"
    _zenv_say "installing .[$extras] (compiles the C++ extension; takes a minute)"
    export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}"
    if ! (cd "$REPO_ROOT" && "$VENV_PY" -m pip install --disable-pip-version-check ".[$extras]"); then
        _zenv_say "pip install .[$extras] failed"
        return 1
    fi
    # After the field: replacing an older field wheel that still carried the whole zarvel
    # package removes every file of it, and the stand-in must come back after that.
    _zenv_say "installing the host stand-in from ./host"
    if ! (cd "$REPO_ROOT" && "$VENV_PY" -m pip install --disable-pip-version-check ./host); then
        _zenv_say "pip install ./host failed"
        return 1
    fi
    printf '%s\n' "$want" >"$stamp"
}

# For the scripts that source this file: makes a Qt binding importable in the venv,
# installing it on first use (the setup installs PySide6 alone). A binding that comes in
# brings its own xcb plugin, whose system libraries are checked then. Returns 2 for an
# unknown name, 1 when the install fails.
zenv_ensure_binding() {
    local module dist
    matrix_known bindings "$1" || return 2
    module=$(matrix_get binding_modules "$1") dist=$(matrix_get binding_requirements "$1")
    env -u PYTHONPATH "$VENV_PY" -P -c "import $module.QtCore" >/dev/null 2>&1 && return 0
    _zenv_say "installing $dist into $VENV"
    "$VENV_PY" -m pip install --disable-pip-version-check -q "$dist" || return 1
    _zenv_xcb_platform_libs || true
    env -u PYTHONPATH "$VENV_PY" -P -c "import $module.QtCore"
}

_zenv_main() {
    local py
    REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd) || return 1
    TESSU_PY=${TESSU_PY:-${MATRIX_PYTHONS[0]}}
    matrix_known python "$TESSU_PY" || return 1
    # The checkout is shared with the roots of scripts/lib/pyroot.sh, whose interpreters live
    # at other paths: each gets venvs of its own.
    if [[ -n "${PYROOT_NAME:-}" ]]; then
        VENV=${VENV:-$REPO_ROOT/.venv-$PYROOT_NAME-$TESSU_PY}
    elif [[ $TESSU_PY == "${MATRIX_PYTHONS[0]}" ]]; then
        VENV=${VENV:-$REPO_ROOT/.venv}
    else
        VENV=${VENV:-$REPO_ROOT/.venv-$TESSU_PY}
    fi
    # A relative VENV must not depend on the directory the caller later moves to.
    [[ "$VENV" == /* ]] || VENV="$PWD/$VENV"
    export REPO_ROOT VENV TESSU_PY

    py=$(_zenv_find_python) || return 1
    _zenv_say "using $py ($("$py" -c 'import platform; print(platform.python_version())'))"
    _zenv_qt_system_libs || return 1
    _zenv_build_tools "$py" || return 1
    _zenv_make_venv "$py" || return 1
    VENV_PY="$VENV/bin/python"
    export VENV_PY
    _zenv_install_package || return 1
    _zenv_xcb_platform_libs || return 1

    export VIRTUAL_ENV="$VENV"
    case ":$PATH:" in
    *":$VENV/bin:"*) ;;
    *) export PATH="$VENV/bin:$PATH" ;;
    esac
    _zenv_say "ready: $VENV_PY"
}

# shellcheck source=scripts/lib/matrix.sh
source "$(dirname "${BASH_SOURCE[0]}")/matrix.sh"
if [[ "${BASH_SOURCE[0]}" == "$0" && "${1:-}" == --find ]]; then
    # Only says whether this machine has the interpreter: its path, or a failure.
    TESSU_PY=${TESSU_PY:-${MATRIX_PYTHONS[0]}}
    _zenv_find_python 2>/dev/null
elif [[ "${BASH_SOURCE[0]}" == "$0" && "${1:-}" == --system-libs ]]; then
    # For a venv made elsewhere (the demo's, by nox): the system libraries that its Qt
    # binding loads, installed when missing as for the venvs made here.
    set -euo pipefail
    : "${VENV_PY:?--system-libs needs VENV_PY, the interpreter of the venv}"
    VENV=$(dirname "$(dirname "$VENV_PY")")
    _zenv_qt_system_libs
    _zenv_xcb_platform_libs
elif [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    set -euo pipefail
    _zenv_main
else
    _zenv_main || return 1
fi
