// What the attribute reads of calls.h learn about types.
#include "calls.h"

namespace tessu::detail {

bool learn_type_lacks(PyTypeObject *type, PyObject *name) noexcept {
    // The table keys on string identity, which only long-lived interned names make safe.
    if (!PyUnicode_CheckExact(name) || !PyUnicode_CHECK_INTERNED(name)) return false;
    if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) return false;
    unsigned int version = type->tp_version_tag;
    bool absent = _PyType_Lookup(type, name) == nullptr;
    // The walk compares keys, which may run code that changes the type; such an answer
    // describes a type that no longer exists and is not kept.
    if (type->tp_version_tag != version) return false;
    fact_slot(version, name) = {version, absent, name};
    return absent;
}

} // namespace tessu::detail
