// The attribute reads and calls the method bodies are made of, as owning references.
//
// Most of what the bodies read are instance attributes of objects that keep the default
// attribute protocol (plain classes, the binding's wrappers, namespaces). For those, once the
// object's type is known not to define the name anywhere on its MRO, the default protocol's
// answer is the instance dict's entry: the reads below go there directly and skip the walk
// over the type. The knowledge is keyed by the type's version tag, which the interpreter
// renews on every change to the type or its bases, so it never outlives what it describes.
// Any other object, any name the type defines and every miss take the full protocol, so
// hooks, descriptors and error messages stay the interpreter's own.
#pragma once

#include <Python.h>

#include "module_state.h"
#include "ref.h"

namespace tessu {

namespace detail {

// Spread like the interpreter's own type cache: the version mixed with the string's hash,
// which every name of G.s has computed already.
inline TypeNameFact &fact_slot(unsigned int version, PyObject *name) noexcept {
    auto hash = static_cast<unsigned int>(reinterpret_cast<PyASCIIObject *>(name)->hash);
    return G.type_name_facts[(version ^ hash) % type_name_fact_slots];
}

// Finds out and remembers, for a name of G.s.
bool learn_type_lacks(PyTypeObject *type, PyObject *name) noexcept;

} // namespace detail

// The type defines `name` nowhere on its MRO; false also when that cannot be known cheaply.
inline bool type_lacks(PyTypeObject *type, PyObject *name) noexcept {
    if (unsigned int version = type->tp_version_tag) { // 0: none assigned, or invalidated
        const TypeNameFact &fact = detail::fact_slot(version, name);
        if (fact.version == version && fact.name == name) return fact.absent;
    }
    return detail::learn_type_lacks(type, name);
}

namespace detail {

inline bool has_instance_dict(PyTypeObject *type) noexcept {
    return (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || type->tp_dictoffset != 0;
}

// Reads obj.__dict__[name] when the default protocol would answer exactly that. False when
// the full protocol has to decide (nothing set); true when `value` holds the answer, which is
// null with the exception set if the instance dict's lookup itself failed.
inline bool direct_get(PyObject *obj, PyObject *name, Ref &value) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr || !has_instance_dict(type) ||
        !type_lacks(type, name)) {
        return false;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) {
        PyErr_Clear(); // the full protocol makes the dict, or reports why it cannot
        return false;
    }
    // A miss is left to the full protocol, for its own AttributeError.
    return PyDict_GetItemRef(dict.get(), name, value.out()) != 0;
}

// Reads cls.name for a class whose metatype is exactly `type`, when the default protocol
// would answer with the entry found on the class's MRO as it is: `type` itself defines no
// such name, and the entry is no descriptor. The interpreter caches that lookup by the
// class's version, as it does for its own class-attribute reads. False leaves it to the full
// protocol (misses and descriptors included).
inline bool class_get(PyObject *obj, PyObject *name, Ref &value) noexcept {
    if (!PyType_CheckExact(obj) || !type_lacks(&PyType_Type, name)) return false;
    PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(obj), name);
    if (!found || Py_TYPE(found)->tp_descr_get) return false;
    value = Ref::borrow(found);
    return true;
}

} // namespace detail

inline Ref attr(PyObject *obj, PyObject *name) noexcept {
    Ref value;
    if (detail::direct_get(obj, name, value) || detail::class_get(obj, name, value)) return value;
    return Ref::steal(PyObject_GetAttr(obj, name));
}

inline bool set_attr(PyObject *obj, PyObject *name, PyObject *value) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_setattro == PyObject_GenericSetAttr && detail::has_instance_dict(type) &&
        type_lacks(type, name)) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        if (dict) return PyDict_SetItem(dict.get(), name, value) == 0;
        PyErr_Clear();
    }
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
    Ref method;
    if (detail::direct_get(obj, name, method)) return method ? call(method.get()) : nullptr;
    return Ref::steal(
        PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref call_method(PyObject *obj, PyObject *name, PyObject *arg) noexcept {
    Ref method;
    if (detail::direct_get(obj, name, method)) return method ? call(method.get(), arg) : nullptr;
    PyObject *args[] = {obj, arg};
    return Ref::steal(
        PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.get(key). A dict of exactly the built-in type has no other get than the built-in one,
// so its entry is read without looking the method up.
inline Ref call_get(PyObject *obj, PyObject *key) noexcept {
    if (!PyDict_CheckExact(obj)) return call_method(obj, G.s.get, key);
    Ref value;
    int found = PyDict_GetItemRef(obj, key, value.out());
    if (found == 0) return Ref::borrow(Py_None);
    return value;
}

// a == b, taken as a truth value: -1 with an exception set on failure.
inline int equal(PyObject *a, PyObject *b) noexcept {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        if (a == b) return 1;
        if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return 0;
        int order = PyUnicode_Compare(a, b);
        if (order == -1 && PyErr_Occurred()) return -1;
        return order == 0;
    }
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

} // namespace tessu
