// The checked build (TESSU_CHECKED): every call that leaves the module, into the host, the
// binding or the interpreter, first asserts that no exception is pending. A call made with a
// failure still set either loses that failure or hands it to code that cannot know about it,
// and the symptom surfaces far away (a SystemError from an unrelated call, a message printed
// by the binding much later). Here it stops the process at the call that was wrong.
//
// The same build can make any one of those calls fail on purpose (fault.cpp): armed with k,
// the k-th call that can fail, counted from the arming, returns what the real function
// returns on failure, with RuntimeError("injected failure k") set, and runs nothing. Failure
// paths that only a failing allocation at that very call would reach, which the interpreter's
// free lists and caches hide from an allocation-failure sweep, are then tried one by one.
#pragma once

#include <Python.h>

#include "compiler.h"

#ifdef TESSU_CHECKED

#include <cstdio>
#include <cstdlib>
#include <type_traits>

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

// The injection's knob, armed and read through fault.cpp's exported functions.
struct FaultKnob {
    long target = 0; // the call to fail, counting from 1; 0 when disarmed
    long count = 0;  // calls that can fail, made since the arming
    // Where the injected failure was made, for the report.
    const char *callee = nullptr;
    const char *file = nullptr;
    int line = 0;
};
inline FaultKnob fault_knob;

// True when this call is the one to fail: the knob then disarms, and `raises` says whether
// the real function sets an exception when it fails (RuntimeError is set if so).
bool inject_failure(const char *callee, const char *file, int line, bool raises) noexcept;

inline bool inject_here(const char *callee, const char *file, int line, bool raises) noexcept {
    return fault_knob.target != 0 && ++fault_knob.count == fault_knob.target &&
           inject_failure(callee, file, line, raises);
}

// How a wrapped function fails: with an exception set and its error value, by returning 0
// alone, or never.
enum class Fails { raising, quietly, never };

// The wrapper. Its branches live here, not at the call sites, so that the coverage build,
// which is checked too, counts the module's own branches only.
template <auto fn, Fails fails, class... Args>
auto checked_call(const char *name, const char *file, int line, Args... args) noexcept
    -> decltype(fn(args...)) {
    using R = decltype(fn(args...));
    expect_no_exception(name, file, line);
    if constexpr (fails != Fails::never) {
        if (inject_here(name, file, line, fails == Fails::raising)) {
            if constexpr (fails == Fails::quietly) {
                return R(0);
            } else if constexpr (std::is_pointer_v<R>) {
                return nullptr; // an object
            } else {
                return R(-1); // a status, a size or a hash
            }
        }
    }
    return fn(args...);
}

// One whose last argument receives a new reference, and is nulled when it fails.
template <auto fn>
int checked_out(const char *name, const char *file, int line, PyObject *obj, PyObject *key,
                PyObject **out) noexcept {
    expect_no_exception(name, file, line);
    if (inject_here(name, file, line, true)) {
        *out = nullptr;
        return -1;
    }
    return fn(obj, key, out);
}

// Runs with the failure it records pending; its own failure replaces that one, which becomes
// the new one's context, as the interpreter does.
inline int checked_traceback_here(const char *file, int line, PyFrameObject *frame) noexcept {
    return inject_here("PyTraceBack_Here", file, line, true) ? -1 : PyTraceBack_Here(frame);
}

} // namespace tessu

// Inside its own expansion a macro's name is not expanded again, so `fn` below is the real
// function.
#define TESSU_CHECKED_AS(fails, fn, ...)                                                           \
    ::tessu::checked_call<&fn, ::tessu::Fails::fails>(#fn, __FILE__,                               \
                                                      __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define TESSU_CHECKED_CALL(fn, ...) TESSU_CHECKED_AS(raising, fn, __VA_ARGS__)
#define TESSU_CHECKED_OUT(fn, obj, key, out)                                                       \
    ::tessu::checked_out<&fn>(#fn, __FILE__, __LINE__, obj, key, out)
#define TESSU_CHECKED_QUERY(fn, ...) TESSU_CHECKED_AS(never, fn, __VA_ARGS__)

// Into the host, the binding and Python code.
#define PyObject_Call(...) TESSU_CHECKED_CALL(PyObject_Call, __VA_ARGS__)
#define PyObject_CallNoArgs(...) TESSU_CHECKED_CALL(PyObject_CallNoArgs, __VA_ARGS__)
#define PyObject_CallOneArg(...) TESSU_CHECKED_CALL(PyObject_CallOneArg, __VA_ARGS__)
#define PyObject_Vectorcall(...) TESSU_CHECKED_CALL(PyObject_Vectorcall, __VA_ARGS__)
#define PyObject_VectorcallDict(...) TESSU_CHECKED_CALL(PyObject_VectorcallDict, __VA_ARGS__)
#define PyObject_VectorcallMethod(...) TESSU_CHECKED_CALL(PyObject_VectorcallMethod, __VA_ARGS__)
#define PyObject_GetAttr(...) TESSU_CHECKED_CALL(PyObject_GetAttr, __VA_ARGS__)
#define PyObject_GetAttrString(...) TESSU_CHECKED_CALL(PyObject_GetAttrString, __VA_ARGS__)
#define PyObject_GetOptionalAttr(a, b, out) TESSU_CHECKED_OUT(PyObject_GetOptionalAttr, a, b, out)
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
#define PyMapping_Check(...) TESSU_CHECKED_QUERY(PyMapping_Check, __VA_ARGS__)
#define PyDict_SetItem(...) TESSU_CHECKED_CALL(PyDict_SetItem, __VA_ARGS__)
#define PyDict_SetItemString(...) TESSU_CHECKED_CALL(PyDict_SetItemString, __VA_ARGS__)
#define PyDict_GetItemRef(a, b, out) TESSU_CHECKED_OUT(PyDict_GetItemRef, a, b, out)
#define PyDict_Contains(...) TESSU_CHECKED_CALL(PyDict_Contains, __VA_ARGS__)
#define PyUnicode_Compare(...) TESSU_CHECKED_CALL(PyUnicode_Compare, __VA_ARGS__)
#define PyList_SetSlice(...) TESSU_CHECKED_CALL(PyList_SetSlice, __VA_ARGS__)
#define PyList_Append(...) TESSU_CHECKED_CALL(PyList_Append, __VA_ARGS__)
#define PyImport_ImportModuleLevelObject(...)                                                      \
    TESSU_CHECKED_CALL(PyImport_ImportModuleLevelObject, __VA_ARGS__)
#define PyImport_GetModule(...) TESSU_CHECKED_CALL(PyImport_GetModule, __VA_ARGS__)
#define PyImport_AddModuleRef(...) TESSU_CHECKED_CALL(PyImport_AddModuleRef, __VA_ARGS__)
#define PyErr_WarnEx(...) TESSU_CHECKED_CALL(PyErr_WarnEx, __VA_ARGS__)
#define Py_EnterRecursiveCall(...) TESSU_CHECKED_CALL(Py_EnterRecursiveCall, __VA_ARGS__)

// Into the interpreter, to make objects: their failures are those of allocations, which the
// interpreter's free lists often satisfy however the allocator is made to fail.
#define PyDict_New(...) TESSU_CHECKED_CALL(PyDict_New, __VA_ARGS__)
#define PyList_New(...) TESSU_CHECKED_CALL(PyList_New, __VA_ARGS__)
#define PyList_AsTuple(...) TESSU_CHECKED_CALL(PyList_AsTuple, __VA_ARGS__)
#define PyTuple_New(...) TESSU_CHECKED_CALL(PyTuple_New, __VA_ARGS__)
#define PyTuple_Pack(...) TESSU_CHECKED_CALL(PyTuple_Pack, __VA_ARGS__)
#define PyTuple_GetSlice(...) TESSU_CHECKED_CALL(PyTuple_GetSlice, __VA_ARGS__)
#define PyUnicode_New(...) TESSU_CHECKED_CALL(PyUnicode_New, __VA_ARGS__)
#define PyUnicode_CopyCharacters(...) TESSU_CHECKED_CALL(PyUnicode_CopyCharacters, __VA_ARGS__)
#define PyUnicode_FromFormat(...) TESSU_CHECKED_CALL(PyUnicode_FromFormat, __VA_ARGS__)
#define PyUnicode_FromString(...) TESSU_CHECKED_CALL(PyUnicode_FromString, __VA_ARGS__)
#define PyUnicode_FromStringAndSize(...)                                                           \
    TESSU_CHECKED_CALL(PyUnicode_FromStringAndSize, __VA_ARGS__)
#define PyUnicode_InternFromString(...) TESSU_CHECKED_CALL(PyUnicode_InternFromString, __VA_ARGS__)
#define PyBytes_FromStringAndSize(...) TESSU_CHECKED_CALL(PyBytes_FromStringAndSize, __VA_ARGS__)
#define PyLong_FromLong(...) TESSU_CHECKED_CALL(PyLong_FromLong, __VA_ARGS__)
#define PyMethod_New(...) TESSU_CHECKED_CALL(PyMethod_New, __VA_ARGS__)
// PyObject_GC_New is the interpreter's macro around this one.
#define _PyObject_GC_New(...) TESSU_CHECKED_CALL(_PyObject_GC_New, __VA_ARGS__)
#define PyType_FromSpec(...) TESSU_CHECKED_CALL(PyType_FromSpec, __VA_ARGS__)
#define PyModule_NewObject(...) TESSU_CHECKED_CALL(PyModule_NewObject, __VA_ARGS__)
#define PyUnstable_Code_NewWithPosOnlyArgs(...)                                                    \
    TESSU_CHECKED_CALL(PyUnstable_Code_NewWithPosOnlyArgs, __VA_ARGS__)
#define PyCode_NewEmpty(...) TESSU_CHECKED_CALL(PyCode_NewEmpty, __VA_ARGS__)
#define PyFrame_New(...) TESSU_CHECKED_CALL(PyFrame_New, __VA_ARGS__)
#define PyDict_AddWatcher(...) TESSU_CHECKED_CALL(PyDict_AddWatcher, __VA_ARGS__)
#define PyDict_Watch(...) TESSU_CHECKED_CALL(PyDict_Watch, __VA_ARGS__)
// Fails by returning 0, without an exception.
#define PyUnstable_Type_AssignVersionTag(...)                                                      \
    TESSU_CHECKED_AS(quietly, PyUnstable_Type_AssignVersionTag, __VA_ARGS__)
#define PyTraceBack_Here(frame) ::tessu::checked_traceback_here(__FILE__, __LINE__, frame)

#endif // TESSU_CHECKED
