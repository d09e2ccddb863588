// The table of names: created once at import, each string hashed on creation so that no
// lookup made later by the methods has to hash or create a string.
#include "module_state.h"

namespace tessu {

namespace {

struct Entry {
    PyObject *Strings::*field;
    const char *text;
    bool interned;
};

constexpr Entry entries[] = {
#define TESSU_IDENTIFIER(field, text) {&Strings::field, text, true},
#define TESSU_TEXT(field, text) {&Strings::field, text, false},
    TESSU_IDENTIFIERS(TESSU_IDENTIFIER) TESSU_TEXTS(TESSU_TEXT)
#undef TESSU_IDENTIFIER
#undef TESSU_TEXT
};

} // namespace

bool create_strings() noexcept {
    for (const Entry &e : entries) {
        PyObject *s =
            e.interned ? PyUnicode_InternFromString(e.text) : PyUnicode_FromString(e.text);
        if (!s) return false;
        Py_XSETREF(G.s.*e.field, s); // a retried import replaces what a failed one made
        if (PyObject_Hash(s) == -1) return false;
    }
    return true;
}

} // namespace tessu
