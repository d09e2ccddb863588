// Traceback entries for failures inside the module's C++ code, so that a Python traceback
// names the method and line that failed as if the module were Python source.
#pragma once

#include <Python.h>

namespace tessu {

// Prepends one entry for `func` at `line` to the pending exception's traceback.
void add_traceback(const char *func, int line) noexcept;

// The common tail of a failing step: record where, then report failure to the caller.
[[nodiscard]] inline PyObject *fail(const char *func, int line) noexcept {
    add_traceback(func, line);
    return nullptr;
}

} // namespace tessu
