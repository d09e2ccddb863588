// The argument binder shared by every method and inner function: it maps a vectorcall
// (positional array plus keyword names) onto the declared parameters, with the messages the
// interpreter's own binders use.
#pragma once

#include <Python.h>

#include "module_state.h"
#include "ref.h"

namespace tessu {

inline constexpr int max_params = 8;

struct Signature {
    const char *name;  // as it appears in argument messages: "__init__", "lambda1"
    const char *trace; // name of the traceback entry for binding failures
    int line;          // the definition's first line, where binding failures are reported
    PyObject *Strings::*params[max_params];
    int npositional;
    int nrequired;
    bool varkw;                // collects unknown keywords into a new dict
    unsigned str_or_none_mask; // parameters that must be exactly str or None, by index bit
};

// Fills values[0..npositional) with borrowed references (arguments, or the trailing
// `defaults`, which is null when there are none) and, for a signature with varkw, `*varkw`
// with a new dict.
// On failure sets TypeError, adds the traceback entry and returns false.
bool bind(const Signature &sig, PyObject *defaults, PyObject *const *args, size_t nargsf,
          PyObject *kwnames, PyObject **values, Ref *varkw) noexcept;

// True when the call passes every parameter by position to a signature with nothing to
// collect or check: the arguments are then the bound values as they stand, and bind() would
// only copy them. Most calls from Python code are of that kind.
inline bool binds_as_given(const Signature &sig, size_t nargsf, PyObject *kwnames) noexcept {
    return (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) &&
           PyVectorcall_NARGS(nargsf) == sig.npositional && !sig.varkw && sig.str_or_none_mask == 0;
}

} // namespace tessu
