// The module-state table: filled once by the exec step, read by every function of the module.
// The module can live in one interpreter per process only, so the table is process-wide.
#pragma once

#include <Python.h>

#include "checked.h"
#include "names.h"

namespace tessu {

struct Strings {
#define TESSU_FIELD(field, text) PyObject *field;
    TESSU_IDENTIFIERS(TESSU_FIELD)
    TESSU_TEXTS(TESSU_FIELD)
#undef TESSU_FIELD
};

// Whether a type, by its version tag, defines a name anywhere on its MRO (see calls.h).
struct TypeNameFact {
    unsigned int version; // 0: empty
    bool absent;
    PyObject *name; // interned, and one of G.s, so alive as long as the table
};
inline constexpr unsigned int type_name_fact_slots = 512;

// A name found in the module namespace, with the value it had; every change to the namespace
// empties the table (see lookup_global), so the value is still the namespace's own.
struct GlobalHit {
    PyObject *name;  // interned, one of G.s
    PyObject *value; // borrowed from G.globals
};
inline constexpr unsigned int global_hit_slots = 32;
enum class GlobalsKeys : unsigned char { unknown, str_only, mixed };

struct ModuleState {
    PyObject *globals;  // the module's namespace dict (owned)
    PyObject *builtins; // the builtins module
    PyObject *empty_tuple;
    PyObject *empty_bytes;
    PyObject *empty_str;
    PyTypeObject *function_type; // type of the class's methods and of the inner functions
    PyTypeObject *scope_type;    // capture record shared by the inner functions of __init__
    Strings s;
    PyObject *int_0;
    PyObject *tuple_0000; // (0, 0, 0, 0): the layout margins
    // Argument names, defaults and code objects of the methods.
    PyObject *init_varnames;
    PyObject *init_defaults;
    PyObject *self_value_varnames; // shared by set_value and the stateSignal setter
    PyObject *set_value_defaults;
    PyObject *self_varnames;
    PyObject *state_varnames;
    PyObject *code_init;
    PyObject *code_set_value;
    PyObject *code_state_signal_get;
    PyObject *code_state_signal_set;
    PyObject *code_state;
    PyObject *code_lambda;
    PyObject *code_lambda1;
    // Keyword names of the calls made with fixed keywords.
    PyObject *kw_autocomplete; // key, name, selected, onChange, renderInput
    PyObject *kw_controller;   // name, control, render
    PyObject *kw_set_value;    // value, valueChanged
    // Built-ins looked up once.
    PyObject *builtin_object;
    PyObject *builtin_super;
    PyObject *builtin_print;
    TypeNameFact type_name_facts[type_name_fact_slots];
    int globals_watcher; // dict watcher id + 1; 0 while none is registered
    GlobalHit global_hits[global_hit_slots];
    GlobalsKeys globals_keys; // whether every key of G.globals is exactly a str, once known
};

extern ModuleState G;

// Source lines of the definitions; failures inside a body report lines of their own.
namespace line {
inline constexpr int class_stmt = 13;
inline constexpr int value_changed = 14;
inline constexpr int init = 16;
inline constexpr int lambda = 44;  // the change function, inside __init__
inline constexpr int lambda1 = 45; // the render-input function
inline constexpr int set_value = 98;
inline constexpr int state_signal_get = 121;
inline constexpr int state_signal_set = 125;
inline constexpr int state = 131;
} // namespace line

// Creates the strings of G.s; false with an exception set on failure.
bool create_strings() noexcept;

// A name as module-level Python code sees it: the module namespace, then the built-ins.
// New reference, or null with NameError (or the lookup's own failure) set.
PyObject *lookup_global(PyObject *name) noexcept;

// Lets lookup_global remember what it finds in G.globals; without it (no watcher to spare),
// every lookup reads the namespace.
void watch_globals() noexcept;

} // namespace tessu
