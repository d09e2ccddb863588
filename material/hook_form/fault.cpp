// The checked build's fault injection (checked.h): the knob's exported controls, which a test
// reaches through ctypes with the interpreter's lock held, and the failure it makes.
#include <Python.h>

#include "checked.h"

namespace tessu {

bool inject_failure(const char *callee, const char *file, int line, bool raises) noexcept {
    fault_knob.target = 0; // one failure per arming: what follows runs as it would
    fault_knob.callee = callee;
    fault_knob.file = file;
    fault_knob.line = line;
    if (raises) {
        // The interpreter's own failures made with one pending keep it as their context.
        PyObject *pending = PyErr_GetRaisedException();
        PyErr_Format(PyExc_RuntimeError, "injected failure %ld", fault_knob.count);
        if (pending) {
            PyObject *injected = PyErr_GetRaisedException();
            PyException_SetContext(injected, pending);
            PyErr_SetRaisedException(injected);
        }
    }
    return true;
}

} // namespace tessu

// The k-th call that can fail from now on fails (k >= 1); 0 disarms.
extern "C" TESSU_EXPORT void tessu_fault_arm(long k) noexcept {
    tessu::fault_knob = {};
    tessu::fault_knob.target = k;
}

// The calls that can fail made since the arming, up to and including the failed one.
extern "C" TESSU_EXPORT long tessu_fault_count() noexcept {
    return tessu::fault_knob.count;
}

// "callee file:line" of the failure made since the arming, or null when none was.
extern "C" TESSU_EXPORT const char *tessu_fault_site() noexcept {
    static char site[512];
    const auto &knob = tessu::fault_knob;
    if (!knob.callee) return nullptr;
    PyOS_snprintf(site, sizeof site, "%s %s:%d", knob.callee, knob.file, knob.line);
    return site;
}
