#include "traceback.h"

#include <frameobject.h>

#include "module_state.h"
#include "ref.h"

namespace tessu {

static constexpr const char source_path[] = "material/hook_form/tessu_autocomplete";

void add_traceback(const char *func, int line) noexcept {
    // The entry is built with the failure still pending; park it so the building calls run
    // on a clean slate, and keep the original failure if building the entry fails too.
    PyObject *exc = PyErr_GetRaisedException();
    // PyCode_NewEmpty gives a line table that covers its instructions: a hand-made empty
    // body would make the traceback module's position lookup fail while printing.
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(source_path, func, line)));
    Ref frame;
    if (code) {
        PyObject *globals = G.globals;
        Ref fallback;
        if (!globals) {
            fallback = Ref::steal(PyDict_New());
            globals = fallback.get();
        }
        if (globals) {
            frame = Ref::steal(reinterpret_cast<PyObject *>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()),
                            globals, nullptr)));
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

} // namespace tessu
