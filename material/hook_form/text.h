// Text building shared by the style sheets: values turned into text as an f-string field
// does, and pieces joined without separators.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "module_state.h"
#include "ref.h"

namespace tessu {

// format(value, ""): exact str as it is, exact int and float as their str (which is what
// their __format__ gives for an empty spec), everything else through its __format__.
inline Ref format_simple(PyObject *value) noexcept {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
        return Ref::steal(PyObject_Str(value));
    }
    return Ref::steal(PyObject_Format(value, G.empty_str));
}

// "".join(pieces) for pieces that are all str: sized once and copied, with no tuple between.
inline Ref join(std::initializer_list<PyObject *> pieces) noexcept {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (PyObject *piece : pieces) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (n > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            return nullptr;
        }
        length += n;
        if (PyUnicode_MAX_CHAR_VALUE(piece) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(piece);
    }
    Ref result = Ref::steal(PyUnicode_New(length, maxchar));
    if (!result) return nullptr;
    Py_ssize_t at = 0;
    for (PyObject *piece : pieces) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (n && PyUnicode_CopyCharacters(result.get(), at, piece, 0, n) < 0) return nullptr;
        at += n;
    }
    return result;
}

} // namespace tessu
