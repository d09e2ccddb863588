// The attribute reads and calls the method bodies are made of, as owning references.
#pragma once

#include <Python.h>

#include "ref.h"

namespace tessu {

inline Ref attr(PyObject *obj, PyObject *name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

inline bool set_attr(PyObject *obj, PyObject *name, PyObject *value) noexcept {
    return PyObject_SetAttr(obj, name, value) == 0;
}

inline Ref call(PyObject *callable) noexcept {
    return Ref::steal(PyObject_CallNoArgs(callable));
}

inline Ref call(PyObject *callable, PyObject *arg) noexcept {
    return Ref::steal(PyObject_CallOneArg(callable, arg));
}

// obj.name() and obj.name(arg), without creating a bound method.
inline Ref call_method(PyObject *obj, PyObject *name) noexcept {
    return Ref::steal(
        PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref call_method(PyObject *obj, PyObject *name, PyObject *arg) noexcept {
    PyObject *args[] = {obj, arg};
    return Ref::steal(
        PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

} // namespace tessu
