// The module's import-time life: the entry point, the create and exec steps, the filling of
// the module-state table and the module-level statements.
#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "methods.h"
#include "module_state.h"
#include "ref.h"
#include "traceback.h"

namespace tessu {

ModuleState G;

namespace {

PyObject *the_module = nullptr;    // owned once an exec step has started with it
int64_t first_interpreter_id = -1; // the interpreter that first created the module

int fail_exec(int line) {
    add_traceback(trace::init_module, line);
    Py_CLEAR(the_module);
    return -1;
}

// ---- Create step ----------------------------------------------------------------------

int copy_spec_attr(PyObject *spec, PyObject *moddict, const char *from, const char *to,
                   bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(moddict, to, value.get());
}

PyObject *create_module(PyObject *spec, PyModuleDef *) noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (first_interpreter_id == -1) {
        first_interpreter_id = current;
        if (current == -1) return nullptr;
    } else if (current != first_interpreter_id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *moddict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, moddict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, moddict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, moddict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, moddict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---- Exec step: the module-state table ------------------------------------------------

// The table outlives a failed exec; a later attempt replaces what the failed one left. False
// when the value could not be made: its failure is pending, and nothing may be called after.
bool set_entry(PyObject *&slot, PyObject *value) {
    Py_XSETREF(slot, value);
    return value != nullptr;
}

bool check_version() {
    unsigned long runtime_major = Py_Version >> 24;
    unsigned long runtime_minor = (Py_Version >> 16) & 0xff;
    if (runtime_major == TESSU_BUILT_FOR_MAJOR && runtime_minor == TESSU_BUILT_FOR_MINOR) {
        return true;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  TESSU_BUILT_FOR_MAJOR, TESSU_BUILT_FOR_MINOR,
                  "zarvel.material.hook_form.tessu_autocomplete", "does not match",
                  static_cast<int>(runtime_major), static_cast<int>(runtime_minor));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

bool register_in_sys_modules(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();
    Ref present;
    int found = PyDict_GetItemRef(modules, G.s.module_name, present.out());
    if (found < 0) return false;
    return found == 1 || PyDict_SetItem(modules, G.s.module_name, module) == 0;
}

bool lookup_builtin(PyObject *&slot, PyObject *name) {
    PyObject *value = PyObject_GetAttr(G.builtins, name);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
        return false;
    }
    set_entry(slot, value);
    return true;
}

PyObject *names_tuple(std::initializer_list<PyObject *> names) {
    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject *name : names)
        PyTuple_SET_ITEM(tuple, i++, Py_NewRef(name));
    return tuple;
}

// Introspection-only code objects: they carry the signature and the definition's first
// line; tracebacks use code objects of their own (see traceback.cpp).
PyObject *code_object(int argcount, int flags, PyObject *varnames, PyObject *name,
                      PyObject *qualname, int firstlineno) {
    return reinterpret_cast<PyObject *>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames)), 0,
        CO_OPTIMIZED | CO_NEWLOCALS | flags, G.empty_bytes, G.empty_tuple, G.empty_tuple, varnames,
        G.empty_tuple, G.empty_tuple, G.s.source_path, name, qualname, firstlineno, G.empty_bytes,
        G.empty_bytes));
}

bool build_signatures() {
    Strings &s = G.s;
    if (!set_entry(G.init_varnames, names_tuple({s.self, s.name, s.key, s.label, s.selected,
                                                 s.onChange, s.helperText, s.kwargs, s.control})) ||
        !set_entry(G.init_defaults,
                   PyTuple_Pack(5, Py_None, Py_None, Py_False, Py_None, Py_None)) ||
        !set_entry(G.self_value_varnames, names_tuple({s.self, s.value})) ||
        !set_entry(G.set_value_defaults, PyTuple_Pack(1, Py_None)) ||
        !set_entry(G.self_varnames, names_tuple({s.self})) ||
        !set_entry(G.state_varnames, names_tuple({s.self, s.state, s.theme}))) {
        return false;
    }
    if (!set_entry(G.code_init, code_object(7, CO_VARKEYWORDS, G.init_varnames, s.dunder_init,
                                            s.qual_init, line::init)) ||
        !set_entry(G.code_set_value, code_object(2, 0, G.self_value_varnames, s.set_value,
                                                 s.qual_set_value, line::set_value)) ||
        !set_entry(G.code_state_signal_get,
                   code_object(1, 0, G.self_varnames, s.stateSignal, s.qual_stateSignal,
                               line::state_signal_get)) ||
        !set_entry(G.code_state_signal_set,
                   code_object(2, 0, G.self_value_varnames, s.stateSignal, s.qual_stateSignal,
                               line::state_signal_set)) ||
        !set_entry(G.code_state,
                   code_object(2, 0, G.state_varnames, s.state, s.qual_state, line::state))) {
        return false;
    }
    Ref lambda_vars = Ref::steal(names_tuple({s.newValue}));
    Ref lambda1_vars = lambda_vars ? Ref::steal(names_tuple({s.params})) : nullptr;
    return lambda1_vars &&
           set_entry(G.code_lambda,
                     code_object(1, 0, lambda_vars.get(), s.lambda, s.qual_lambda, line::lambda)) &&
           set_entry(G.code_lambda1, code_object(1, 0, lambda1_vars.get(), s.lambda1, s.qual_lambda,
                                                 line::lambda1)) &&
           set_entry(G.kw_autocomplete,
                     names_tuple({s.key, s.name, s.selected, s.onChange, s.renderInput})) &&
           set_entry(G.kw_controller, names_tuple({s.name, s.control, s.render})) &&
           set_entry(G.kw_set_value, names_tuple({s.value, s.valueChanged}));
}

// ---- Exec step: module-level statements -----------------------------------------------

// `from <module> import <names>` at the given package level.
bool import_from(PyObject *module_name, std::initializer_list<PyObject *> names, int level) {
    Ref fromlist = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return false;
    Py_ssize_t i = 0;
    for (PyObject *name : names)
        PyList_SET_ITEM(fromlist.get(), i++, Py_NewRef(name));
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return false;
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, G.globals, locals.get(),
                                                             fromlist.get(), level));
    if (!module) return false;

    for (PyObject *name : names) {
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            // A submodule that its package has not bound as an attribute (yet). Here too only
            // an AttributeError means "not there": any other failure passes through.
            Ref package = Ref::steal(PyObject_GetAttr(module.get(), G.s.dunder_name));
            if (!package && !PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            if (package) {
                Ref full = Ref::steal(PyUnicode_FromFormat("%S.%U", package.get(), name));
                if (!full) return false;
                value = Ref::steal(PyImport_GetModule(full.get()));
                if (!value && PyErr_Occurred()) return false;
            }
            if (!value) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
                return false;
            }
        }
        if (PyDict_SetItem(G.globals, name, value.get()) < 0) return false;
    }
    return true;
}

int exec_module(PyObject *module) noexcept {
    // 1. A module object is initialised once; a second one would split the class in two.
    if (the_module) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, "Module 'tessu_autocomplete' has already been "
                                            "imported. Re-initialisation is not supported.");
        return -1;
    }
    // 2.
    the_module = Py_NewRef(module);
    set_entry(G.globals, Py_NewRef(PyModule_GetDict(module)));
    watch_globals();
    set_entry(G.builtins, PyImport_AddModuleRef("builtins"));
    if (!G.builtins || PyObject_SetAttrString(module, "__builtins__", G.builtins) < 0) {
        Py_CLEAR(the_module);
        return -1;
    }
    // 3.-4.
    if (!check_version()) {
        Py_CLEAR(the_module);
        return -1;
    }
    if (!set_entry(G.empty_tuple, PyTuple_New(0)) ||
        !set_entry(G.empty_bytes, PyBytes_FromStringAndSize("", 0)) ||
        !set_entry(G.empty_str, PyUnicode_FromStringAndSize("", 0)) ||
        (!G.function_type && !ready_function_type())) {
        Py_CLEAR(the_module);
        return -1;
    }
    // 5. From here on a failure names this step in the traceback.
    if (!create_strings()) return fail_exec(1);
    if (!set_entry(G.int_0, PyLong_FromLong(0)) ||
        !set_entry(G.tuple_0000, PyTuple_Pack(4, G.int_0, G.int_0, G.int_0, G.int_0))) {
        return fail_exec(1);
    }
    // 6.-9.
    if (!register_in_sys_modules(module)) return fail_exec(1);
    if (!lookup_builtin(G.builtin_object, G.s.object) ||
        !lookup_builtin(G.builtin_super, G.s.super) ||
        !lookup_builtin(G.builtin_print, G.s.print)) {
        return fail_exec(1);
    }
    if (!build_signatures()) return fail_exec(1);
    if (!G.scope_type && !ready_scope_type()) return fail_exec(1);

    // 10. The module's own statements.
    Strings &s = G.s;
    if (!import_from(s.typing, {s.Callable, s.Optional, s.Sequence}, 0)) return fail_exec(1);
    if (!import_from(s.qtpy_QtCore, {s.Qt, s.Property, s.Slot, s.Signal}, 0)) return fail_exec(2);
    if (!import_from(s.qtpy_QtWidgets, {s.QWidget, s.QVBoxLayout, s.QFrame, s.QLabel}, 0)) {
        return fail_exec(3);
    }
    if (!import_from(s.zarvel_material_styles, {s.useTheme}, 0)) return fail_exec(5);
    if (!import_from(s.zarvel_hooks, {s.useState}, 0)) return fail_exec(7);
    if (!import_from(s.zarvel_hooks_use_state, {s.State}, 0)) return fail_exec(8);
    if (!import_from(s.material_controller, {s.Controller}, 3)) return fail_exec(9);
    if (!import_from(s.textfield_textfield, {s.TextField}, 2)) return fail_exec(10);
    if (!import_from(s.material_auto_complete_complete, {s.Autocomplete}, 3)) {
        return fail_exec(11);
    }
    if (!create_class()) { // adds the entry for the member that failed
        Py_CLEAR(the_module);
        return -1;
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(G.globals, s.dunder_test, test.get()) < 0) return fail_exec(1);
    return 0;
}

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessu_autocomplete",
    nullptr,
    0,
    no_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

namespace {

GlobalHit &global_slot(PyObject *name) noexcept {
    auto hash = static_cast<unsigned int>(reinterpret_cast<PyASCIIObject *>(name)->hash);
    return G.global_hits[hash % global_hit_slots];
}

// Runs before the namespace changes, so no remembered value is ever one the namespace has
// already let go of.
int globals_changed(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
    for (GlobalHit &hit : G.global_hits)
        hit = {nullptr, nullptr};
    G.globals_keys = GlobalsKeys::unknown;
    return 0;
}

// A key that is not exactly a str can compare equal to a name by its own __eq__, differently
// each time; the interpreter's own caches of module names stand aside then, and so do we.
bool globals_keys_all_str() noexcept {
    if (G.globals_keys == GlobalsKeys::unknown) {
        G.globals_keys = GlobalsKeys::str_only;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(G.globals, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                G.globals_keys = GlobalsKeys::mixed;
                break;
            }
        }
    }
    return G.globals_keys == GlobalsKeys::str_only;
}

} // namespace

void watch_globals() noexcept {
    globals_changed(PyDict_EVENT_CLEARED, nullptr, nullptr, nullptr);
    if (G.globals_watcher == 0) {
        int id = PyDict_AddWatcher(globals_changed);
        if (id < 0) {
            PyErr_Clear();
            return;
        }
        G.globals_watcher = id + 1;
    }
    if (PyDict_Watch(G.globals_watcher - 1, G.globals) < 0) {
        PyErr_Clear();
        PyDict_ClearWatcher(G.globals_watcher - 1);
        G.globals_watcher = 0;
    }
}

PyObject *lookup_global(PyObject *name) noexcept {
    GlobalHit &hit = global_slot(name);
    if (hit.name == name) return Py_NewRef(hit.value);
    PyObject *value;
    int found = PyDict_GetItemRef(G.globals, name, &value);
    if (found > 0 && G.globals_watcher && PyUnicode_CHECK_INTERNED(name) &&
        globals_keys_all_str()) {
        hit = {name, value};
    }
    if (found != 0) return value; // found, or failed
    value = PyObject_GetAttr(G.builtins, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

} // namespace tessu

PyMODINIT_FUNC PyInit_tessu_autocomplete(void) {
    return PyModuleDef_Init(&tessu::module_def);
}
