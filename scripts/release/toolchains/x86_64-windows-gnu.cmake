# Cross-compiles for Windows x86-64 with zig's clang (the `ziglang` package from PyPI, whose
# directory scripts/release/dist_windows.sh puts first on PATH); scripts/release/dist_windows.sh passes it to
# CMake together with the Windows interpreter's headers and import library. zig's
# windows-gnu target links libc++ statically and the C runtime from the Universal CRT, so the
# module needs no DLL beyond the interpreter's and Windows' own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

find_program(TESSU_ZIG zig REQUIRED)
set(CMAKE_C_COMPILER "${TESSU_ZIG}" cc -target x86_64-windows-gnu)
set(CMAKE_CXX_COMPILER "${TESSU_ZIG}" c++ -target x86_64-windows-gnu)
set(CMAKE_AR "${TESSU_ZIG}" CACHE FILEPATH "")
set(CMAKE_CXX_ARCHIVE_CREATE "<CMAKE_AR> ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")

# The build's own tools (the interpreter scikit-build-core names, ninja) run here; nothing
# of this machine's is linked in.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
