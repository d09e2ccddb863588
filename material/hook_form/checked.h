// The checked build (TESSU_CHECKED): every call that leaves the module, into the host, the
// binding or the interpreter, first asserts that no exception is pending. A call made with a
// failure still set either loses that failure or hands it to code that cannot know about it,
// and the symptom surfaces far away (a SystemError from an unrelated call, a message printed
// by the binding much later). Here it stops the process at the call that was wrong.
#pragma once

#include <Python.h>

#include "compiler.h"

#ifdef TESSU_CHECKED

#include <cstdio>
#include <cstdlib>

namespace tessu {

TESSU_COLD_NORETURN inline void pending_exception_at(const char *call, const char *file,
                                                     int line) noexcept {
    std::fprintf(stderr, "tessu_autocomplete: %s called at %s:%d with an exception pending:\n",
                 call, file, line);
    PyErr_Print();
    std::fflush(stderr);
    std::abort();
}

inline void expect_no_exception(const char *call, const char *file, int line) noexcept {
    if (PyErr_Occurred()) [[unlikely]]
        pending_exception_at(call, file, line);
}

} // namespace tessu

// Inside its own expansion a macro's name is not expanded again, so `fn(...)` below is the
// real function.
#define TESSU_CHECKED_CALL(fn, ...)                                                                \
    (::tessu::expect_no_exception(#fn, __FILE__, __LINE__), fn(__VA_ARGS__))

#define PyObject_Call(...) TESSU_CHECKED_CALL(PyObject_Call, __VA_ARGS__)
#define PyObject_CallNoArgs(...) TESSU_CHECKED_CALL(PyObject_CallNoArgs, __VA_ARGS__)
#define PyObject_CallOneArg(...) TESSU_CHECKED_CALL(PyObject_CallOneArg, __VA_ARGS__)
#define PyObject_Vectorcall(...) TESSU_CHECKED_CALL(PyObject_Vectorcall, __VA_ARGS__)
#define PyObject_VectorcallDict(...) TESSU_CHECKED_CALL(PyObject_VectorcallDict, __VA_ARGS__)
#define PyObject_VectorcallMethod(...) TESSU_CHECKED_CALL(PyObject_VectorcallMethod, __VA_ARGS__)
#define PyObject_GetAttr(...) TESSU_CHECKED_CALL(PyObject_GetAttr, __VA_ARGS__)
#define PyObject_GetAttrString(...) TESSU_CHECKED_CALL(PyObject_GetAttrString, __VA_ARGS__)
#define PyObject_GetOptionalAttr(...) TESSU_CHECKED_CALL(PyObject_GetOptionalAttr, __VA_ARGS__)
#define PyObject_SetAttr(...) TESSU_CHECKED_CALL(PyObject_SetAttr, __VA_ARGS__)
#define PyObject_SetAttrString(...) TESSU_CHECKED_CALL(PyObject_SetAttrString, __VA_ARGS__)
#define PyObject_GenericGetDict(...) TESSU_CHECKED_CALL(PyObject_GenericGetDict, __VA_ARGS__)
#define PyObject_GetItem(...) TESSU_CHECKED_CALL(PyObject_GetItem, __VA_ARGS__)
#define PyObject_SetItem(...) TESSU_CHECKED_CALL(PyObject_SetItem, __VA_ARGS__)
#define PyObject_Str(...) TESSU_CHECKED_CALL(PyObject_Str, __VA_ARGS__)
#define PyObject_Format(...) TESSU_CHECKED_CALL(PyObject_Format, __VA_ARGS__)
// PyObject_Length is the interpreter's own macro for PyObject_Size.
#define PyObject_Size(...) TESSU_CHECKED_CALL(PyObject_Size, __VA_ARGS__)
#define PyObject_IsTrue(...) TESSU_CHECKED_CALL(PyObject_IsTrue, __VA_ARGS__)
#define PyObject_IsInstance(...) TESSU_CHECKED_CALL(PyObject_IsInstance, __VA_ARGS__)
#define PyObject_RichCompare(...) TESSU_CHECKED_CALL(PyObject_RichCompare, __VA_ARGS__)
#define PyObject_Hash(...) TESSU_CHECKED_CALL(PyObject_Hash, __VA_ARGS__)
#define PyObject_GetIter(...) TESSU_CHECKED_CALL(PyObject_GetIter, __VA_ARGS__)
#define PyIter_Next(...) TESSU_CHECKED_CALL(PyIter_Next, __VA_ARGS__)
#define PySequence_Tuple(...) TESSU_CHECKED_CALL(PySequence_Tuple, __VA_ARGS__)
#define PySequence_List(...) TESSU_CHECKED_CALL(PySequence_List, __VA_ARGS__)
#define PyMapping_Check(...) TESSU_CHECKED_CALL(PyMapping_Check, __VA_ARGS__)
#define PyDict_SetItem(...) TESSU_CHECKED_CALL(PyDict_SetItem, __VA_ARGS__)
#define PyDict_GetItemRef(...) TESSU_CHECKED_CALL(PyDict_GetItemRef, __VA_ARGS__)
#define PyDict_Contains(...) TESSU_CHECKED_CALL(PyDict_Contains, __VA_ARGS__)
#define PyUnicode_Compare(...) TESSU_CHECKED_CALL(PyUnicode_Compare, __VA_ARGS__)
#define PyImport_ImportModuleLevelObject(...)                                                      \
    TESSU_CHECKED_CALL(PyImport_ImportModuleLevelObject, __VA_ARGS__)

#endif // TESSU_CHECKED
