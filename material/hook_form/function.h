// The function type of the class's methods and of the constructor's inner functions: a
// vectorcall callable that binds as a method and exposes what introspection and the Qt
// bindings' decorators read from a Python function.
#pragma once

#include <Python.h>

#include "binder.h"

namespace tessu {

struct Function;

// A body receives the bound parameters (borrowed) and, for **kwargs, the new dict.
using Body = PyObject *(*)(Function *fn, PyObject *const *values, PyObject *varkw) noexcept;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature *sig;
    Body body;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;    // tuple or null
    PyObject *annotations; // dict or null
    PyObject *code;        // code object or null
    PyObject *globals;
    PyObject *dict;
    PyObject *classobj; // the class argument-less super() refers to; null until it exists
    PyObject *scope;    // capture record of an inner function, or null
    PyObject *weakreflist;
};

struct FunctionParts {
    const Signature *sig;
    Body body;
    PyObject *name;
    PyObject *qualname;
    PyObject *defaults;
    PyObject *annotations;
    PyObject *code;
    PyObject *scope;
};

// PyType_FromSpec. CPython 3.13.0 can fail inside it for want of memory without setting an
// exception; that failure is reported as the MemoryError it was, never as a SystemError.
PyTypeObject *type_from_spec(PyType_Spec *spec) noexcept;
bool ready_function_type() noexcept;
PyObject *new_function(const FunctionParts &parts) noexcept;

} // namespace tessu
