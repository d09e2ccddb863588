# Cross-compiles for Linux aarch64 with Debian's cross compiler (g++-aarch64-linux-gnu) in the
# amd64 sid root of scripts/lib/pyroot.sh; scripts/release/dist_cross.sh passes it to CMake. No sysroot:
# Debian's multiarch layout puts the arm64 interpreter's headers under
# /usr/include/aarch64-linux-gnu, which the generic /usr/include/python3.X/pyconfig.h picks
# for an __aarch64__ compiler, so the build interpreter's include directory serves both.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)

# The build's own tools (the interpreter scikit-build-core names, ninja) run here; libraries
# and headers are looked up for the target only.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
