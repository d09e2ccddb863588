# shellcheck shell=bash
# Sourced by the scripts (scripts/lib/suite.sh, the proof runs and most others), or run alone
# for the setup only: prepares a CPython virtual environment (matrix.toml's first interpreter
# unless TESSU_PY says otherwise) with this package installed from the work tree.
# It installs no Debian package: what it finds missing (the Qt system libraries, the build
# prerequisites, the xcb platform's libraries) it names, with the scripts/provision.sh group
# that provides it.
#
# Knobs (environment):
#   TESSU_PY       interpreter version, one of matrix.toml's (default: its first)
#   PYTHON         interpreter to use instead of searching for CPython $TESSU_PY
#   VENV           virtual environment directory (default: <repo>/.venv for the first,
#                  <repo>/.venv-3.N for another version)
#   FORCE_INSTALL  1 = reinstall the package even if the sources look unchanged
#
# After sourcing: REPO_ROOT, VENV and VENV_PY are exported, and the venv's bin/ is
# first on PATH.
#
# Every step reports failure through its return status instead of `exit`, so that
# sourcing this from an interactive shell can never close that shell.

_zenv_say() { printf 'env.sh: %s\n' "$*" >&2; }

# The probe, beside this file, resolved while sourcing, when a relative path to it still
# holds.
_ZENV_PROBE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/probe_python.py

# Prints the interpreter's real path if it is a usable CPython $TESSU_PY (not the
# free-threaded build, whose ABI the Qt wheels do not ship for), else fails.
# Running it is the only honest test: a pyenv shim exists on PATH even when it
# cannot run anything.
_zenv_probe_python() {
    "$@" "$_ZENV_PROBE" "$TESSU_PY" 2>/dev/null
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

# The sonames Qt loads from the system, and the package of each, are scripts/provision.sh's
# (PROVISION_QT_LIBS for the offscreen platform, PROVISION_XCB_LIBS for the xcb one).

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

# Offscreen Qt cannot start without these; a missing one is named, with its group, and the
# setup goes on (the binding's import then fails, saying which library it lacks).
_zenv_qt_system_libs() {
    local cache entry soname missing_so=()
    if ! cache=$(_zenv_ldconfig); then
        _zenv_say "warning: no ldconfig, cannot check Qt's system libraries"
        return 0
    fi
    for entry in "${PROVISION_QT_LIBS[@]}"; do
        read -r soname _ <<<"$entry"
        if ! grep -qF -- "$soname " <<<"$cache"; then
            missing_so+=("$soname")
        fi
    done
    if ((${#missing_so[@]} == 0)); then
        _zenv_say "Qt system libraries: all present"
        return 0
    fi
    provision_need qt "Qt system libraries ${missing_so[*]}"
}

# The sonames that ldd cannot resolve for any of the given plugins, one a line, each once.
_zenv_unresolved() {
    local plugin
    for plugin in "$@"; do ldd "$plugin" 2>/dev/null; done |
        awk '$2 == "=>" && $3 == "not" && $4 == "found" && !seen[$1]++ { print $1 }'
}

# The xcb platform plugin of each binding in the venv, asked directly: ldd lists what
# the dynamic loader would not find when a window is opened, whatever Qt release the
# wheel carries. Runs on every setup, since a binding may have come in since. Offscreen work
# does not need these: what is missing is named with its group, and the setup goes on.
_zenv_xcb_platform_libs() {
    local plugin entry soname sp
    local -a plugins=() missing_so=() xcb_so=() qt_so=() unknown_so=()
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
    for soname in "${missing_so[@]}"; do
        for entry in "${PROVISION_XCB_LIBS[@]}" "${PROVISION_QT_LIBS[@]}" ""; do
            [[ "${entry%% *}" == "$soname" ]] && break
        done
        if [[ -z $entry ]]; then
            unknown_so+=("$soname")
        elif [[ " ${PROVISION_XCB_LIBS[*]} " == *" $entry "* ]]; then
            xcb_so+=("$soname")
        else
            qt_so+=("$soname")
        fi
    done
    _zenv_say "warning: windows will not open (offscreen works) until the xcb platform's libraries are there"
    ((${#xcb_so[@]} == 0)) || provision_need xcb "xcb platform libraries ${xcb_so[*]}"
    ((${#qt_so[@]} == 0)) || provision_need qt "xcb platform libraries ${qt_so[*]}"
    if ((${#unknown_so[@]})); then
        _zenv_say "missing xcb platform libraries that no provisioning group knows: ${unknown_so[*]} (install what provides them)"
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
# machine without a C++ compiler; all three are needed to build the extension. What is
# missing is named, and the setup goes on to fail at the step that needs it.
_zenv_build_tools() {
    local py=$1 missing=() minor
    minor=$("$py" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
    "$py" -c 'import ensurepip' >/dev/null 2>&1 || missing+=("python$minor-venv")
    "$py" -c 'import os, sysconfig; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' \
        >/dev/null 2>&1 || missing+=("python$minor-dev")
    command -v g++ >/dev/null 2>&1 || missing+=("g++")
    ((${#missing[@]} == 0)) && return 0
    if [[ $minor == "${MATRIX_PYTHONS[0]}" ]] || [[ ${missing[*]} == g++ ]]; then
        provision_need build "build prerequisites ${missing[*]} (for $py)"
    else
        # The build group carries the first interpreter's packages only.
        _zenv_say "build prerequisites missing for $py: ${missing[*]} (on Debian: apt-get install ${missing[*]})"
    fi
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
# The package tables and provision_need.
# shellcheck source=scripts/provision.sh
source "$(dirname "${BASH_SOURCE[0]}")/../provision.sh"
if [[ "${BASH_SOURCE[0]}" == "$0" && "${1:-}" == --find ]]; then
    # Only says whether this machine has the interpreter: its path, or a failure.
    TESSU_PY=${TESSU_PY:-${MATRIX_PYTHONS[0]}}
    _zenv_find_python 2>/dev/null
elif [[ "${BASH_SOURCE[0]}" == "$0" && "${1:-}" == --system-libs ]]; then
    # For a venv made elsewhere (the demo's, by nox): the system libraries that its Qt
    # binding loads, checked as for the venvs made here.
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
