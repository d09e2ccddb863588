// Text building shared by the style sheets: values turned into text as an f-string field
// does, and pieces joined without separators.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "module_state.h"
#include "ref.h"

namespace tessu {

// format(value, ""): exact str as it is, everything else through its __format__.
inline Ref format_simple(PyObject *value) noexcept {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Format(value, G.empty_str));
}

inline Ref join(std::initializer_list<PyObject *> pieces) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject *piece : pieces)
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(piece));
    return Ref::steal(PyUnicode_Join(G.empty_str, tuple.get()));
}

} // namespace tessu
