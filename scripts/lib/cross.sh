# shellcheck shell=bash
# Sourced by the two cross builds, scripts/release/dist_cross.sh (aarch64 Linux) and
# scripts/release/dist_windows.sh (Windows x86-64):
#
#   cross_pip_wheel PLATFORM SUFFIX TOOLCHAIN VENV WORK ABI SDIST [PIP ARGS...]
#       builds the field's wheel for PLATFORM (the interpreter's name for it, linux-aarch64
#       or win-amd64) from SDIST into WORK/field-ABI, with the build tools of VENV and the
#       CMake toolchain file scripts/release/toolchains/TOOLCHAIN.cmake; the module's file
#       ends in SUFFIX. The caller's PATH must reach the compiler.

_cross_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

cross_pip_wheel() {
    local platform=$1 suffix=$2 toolchain=$3 venv=$4 work=$5 abi=$6 sdist=$7
    shift 7
    # _PYTHON_HOST_PLATFORM names the wheel's platform and SETUPTOOLS_EXT_SUFFIX the module's
    # (FindPython cannot ask the target interpreter while cross-compiling, so CMakeLists.txt
    # takes scikit-build-core's SOABI); the toolchain file does the rest. The build tools run
    # on this machine, so there is no build isolation: an isolated build would fetch them for
    # the target.
    env PATH="$venv/bin:$PATH" _PYTHON_HOST_PLATFORM="$platform" SETUPTOOLS_EXT_SUFFIX="$suffix" \
        CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
        "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps \
        --no-build-isolation --wheel-dir "$work/field-$abi" \
        --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$_cross_root/scripts/release/toolchains/$toolchain.cmake" \
        --config-settings=build-dir="$work/build-$abi" "$@" "$sdist"
}
