// The class statement of TessuAutocomplete: bases, metaclass, namespace and members, built
// the way the interpreter builds a class from source.
#include "methods.h"
#include "traceback.h"

namespace tessu {

namespace {

constexpr unsigned bit(int i) {
    return 1u << i;
}

constexpr Signature init_signature = {
    "__init__",
    trace::init,
    line::init,
    {&Strings::self, &Strings::name, &Strings::key, &Strings::label, &Strings::selected,
     &Strings::onChange, &Strings::helperText},
    7,
    2,
    true,
    bit(2) | bit(3) | bit(6), // key, label, helperText
};
constexpr Signature set_value_signature = {
    "set_value", trace::set_value, line::set_value, {&Strings::self, &Strings::value}, 2, 1, false,
    0,
};
constexpr Signature state_signal_get_signature = {
    "stateSignal", trace::state_signal, line::state_signal_get, {&Strings::self}, 1, 1, false, 0,
};
constexpr Signature state_signal_set_signature = {
    "stateSignal",
    trace::state_signal,
    line::state_signal_set,
    {&Strings::self, &Strings::value},
    2,
    2,
    false,
    0,
};
constexpr Signature state_signature = {
    "state", trace::state, line::state, {&Strings::self, &Strings::state}, 2, 2, false, 0,
};

bool fail_at(int line) {
    add_traceback(trace::init_module, line);
    return false;
}

// Writes into the class namespace, which __prepare__ may have made any mapping.
bool ns_set(PyObject *ns, PyObject *key, PyObject *value) {
    if (PyDict_CheckExact(ns)) return PyDict_SetItem(ns, key, value) == 0;
    return PyObject_SetItem(ns, key, value) == 0;
}

// A name read inside the class body: the namespace being built, then the module's.
PyObject *ns_lookup(PyObject *ns, PyObject *key) {
    PyObject *value = nullptr;
    if (PyDict_CheckExact(ns)) {
        if (PyDict_GetItemRef(ns, key, &value) != 0) return value;
    } else {
        value = PyObject_GetItem(ns, key);
        if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
        PyErr_Clear();
    }
    return lookup_global(key);
}

// Bases that are not classes may stand in for others through __mro_entries__.
Ref resolve_bases(PyObject *bases) {
    Ref resolved; // a list, created at the first replacement
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *base = PyTuple_GET_ITEM(bases, i);
        Ref entries;
        if (!PyType_Check(base)) {
            Ref method;
            if (PyObject_GetOptionalAttr(base, G.s.dunder_mro_entries, method.out()) < 0) {
                return nullptr;
            }
            if (method) {
                entries = Ref::steal(PyObject_CallOneArg(method.get(), bases));
                if (!entries) return nullptr;
                if (!PyTuple_Check(entries.get())) {
                    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    return nullptr;
                }
            }
        }
        if (!entries && !resolved) continue;
        if (!resolved) {
            resolved = Ref::steal(PyTuple_GetSlice(bases, 0, i));
            if (resolved) resolved = Ref::steal(PySequence_List(resolved.get()));
            if (!resolved) return nullptr;
        }
        int status =
            entries ? PyList_SetSlice(resolved.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, entries.get())
                    : PyList_Append(resolved.get(), base);
        if (status < 0) return nullptr;
    }
    if (!resolved) return Ref::borrow(bases);
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass among the bases.
PyObject *calculate_metaclass(PyObject *bases) {
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    PyTypeObject *winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject *candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject *>(winner));
}

Ref prepare_namespace(PyObject *meta, PyObject *bases) {
    Ref prepare;
    if (PyObject_GetOptionalAttr(meta, G.s.dunder_prepare, prepare.out()) < 0) return nullptr;
    if (!prepare) return Ref::steal(PyDict_New());
    PyObject *args[] = {G.s.TessuAutocomplete, bases};
    Ref ns = Ref::steal(PyObject_Vectorcall(prepare.get(), args, 2, nullptr));
    if (ns && !PyMapping_Check(ns.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                     reinterpret_cast<PyTypeObject *>(meta)->tp_name, Py_TYPE(ns.get())->tp_name);
        return nullptr;
    }
    return ns;
}

Ref method(const Signature &sig, Body body, PyObject *name, PyObject *qualname, PyObject *defaults,
           PyObject *annotations, PyObject *code) {
    return Ref::steal(
        new_function({&sig, body, name, qualname, defaults, annotations, code, nullptr}));
}

// `decorator_factory(arg)(function)`, with the factory looked up like a module global.
Ref decorate(PyObject *factory_name, PyObject *arg, PyObject *function) {
    Ref factory = Ref::steal(lookup_global(factory_name));
    if (!factory) return nullptr;
    Ref decorator = Ref::steal(PyObject_CallOneArg(factory.get(), arg));
    if (!decorator) return nullptr;
    return Ref::steal(PyObject_CallOneArg(decorator.get(), function));
}

Ref init_annotations() {
    Ref ann = Ref::steal(PyDict_New());
    if (!ann) return nullptr;
    Strings &s = G.s;
    if (PyDict_SetItem(ann.get(), s.key, s.ann_optional_str) < 0 ||
        PyDict_SetItem(ann.get(), s.label, s.ann_optional_str) < 0 ||
        PyDict_SetItem(ann.get(), s.selected, s.bool_) < 0 ||
        PyDict_SetItem(ann.get(), s.onChange, s.ann_optional_callable) < 0 ||
        PyDict_SetItem(ann.get(), s.helperText, s.ann_str) < 0) {
        return nullptr;
    }
    return ann;
}

// The class body, member by member in source order. `init` receives __init__, which needs
// the class cell once the class exists.
bool fill_namespace(PyObject *ns, Ref &init) {
    Strings &s = G.s;
    PyObject *bool_type = reinterpret_cast<PyObject *>(&PyBool_Type);

    Ref signal = Ref::steal(lookup_global(s.Signal));
    Ref value_changed;
    if (signal) value_changed = Ref::steal(PyObject_CallOneArg(signal.get(), G.builtin_object));
    if (!value_changed || !ns_set(ns, s.valueChanged, value_changed.get())) {
        return fail_at(line::value_changed);
    }

    Ref annotations = init_annotations();
    if (annotations) {
        init = method(init_signature, init_body, s.dunder_init, s.qual_init, G.init_defaults,
                      annotations.get(), G.code_init);
    }
    if (!init || !ns_set(ns, s.dunder_init, init.get())) return fail_at(line::init);

    Ref set_value = method(set_value_signature, set_value_body, s.set_value, s.qual_set_value,
                           G.set_value_defaults, nullptr, G.code_set_value);
    if (!set_value || !ns_set(ns, s.set_value, set_value.get())) return fail_at(line::set_value);

    Ref getter = method(state_signal_get_signature, state_signal_get_body, s.stateSignal,
                        s.qual_stateSignal, nullptr, nullptr, G.code_state_signal_get);
    Ref property;
    if (getter) property = decorate(s.Property, bool_type, getter.get());
    if (!property || !ns_set(ns, s.stateSignal, property.get())) {
        return fail_at(line::state_signal_get);
    }

    Ref current = Ref::steal(ns_lookup(ns, s.stateSignal));
    Ref setter_decorator;
    if (current) setter_decorator = Ref::steal(PyObject_GetAttr(current.get(), s.setter));
    Ref setter;
    if (setter_decorator) {
        setter = method(state_signal_set_signature, state_signal_set_body, s.stateSignal,
                        s.qual_stateSignal, nullptr, nullptr, G.code_state_signal_set);
    }
    Ref with_setter;
    if (setter) with_setter = Ref::steal(PyObject_CallOneArg(setter_decorator.get(), setter.get()));
    if (!with_setter || !ns_set(ns, s.stateSignal, with_setter.get())) {
        return fail_at(line::state_signal_set);
    }

    Ref state =
        method(state_signature, state_body, s.state, s.qual_state, nullptr, nullptr, G.code_state);
    Ref slot;
    if (state) slot = decorate(s.Slot, G.builtin_object, state.get());
    if (!slot || !ns_set(ns, s.state, slot.get())) return fail_at(line::state);
    return true;
}

} // namespace

bool create_class() noexcept {
    Strings &s = G.s;
    Ref qframe = Ref::steal(lookup_global(s.QFrame));
    if (!qframe) return fail_at(line::class_stmt);
    Ref written = Ref::steal(PyTuple_Pack(1, qframe.get()));
    if (!written) return fail_at(line::class_stmt);
    Ref bases = resolve_bases(written.get());
    if (!bases) return fail_at(line::class_stmt);
    Ref meta = Ref::steal(calculate_metaclass(bases.get()));
    if (!meta) return fail_at(line::class_stmt);
    Ref ns = prepare_namespace(meta.get(), bases.get());
    if (!ns || !ns_set(ns.get(), s.dunder_module, s.module_name) ||
        !ns_set(ns.get(), s.dunder_qualname, s.TessuAutocomplete)) {
        return fail_at(line::class_stmt);
    }
    if (bases.get() != written.get() && !ns_set(ns.get(), s.dunder_orig_bases, written.get())) {
        return fail_at(line::class_stmt);
    }

    Ref init;
    if (!fill_namespace(ns.get(), init)) return false;

    PyObject *args[] = {s.TessuAutocomplete, bases.get(), ns.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(meta.get(), args, 3, nullptr));
    if (!cls) return fail_at(line::class_stmt);
    // The class cell of the argument-less super() in __init__.
    auto *init_fn = reinterpret_cast<Function *>(init.get());
    Py_XSETREF(init_fn->classobj, Py_NewRef(cls.get()));
    if (PyDict_SetItem(G.globals, s.TessuAutocomplete, cls.get()) < 0) {
        return fail_at(line::class_stmt);
    }
    return true;
}

} // namespace tessu
