#include "binder.h"

#include "traceback.h"

namespace tessu {

static bool same_name(PyObject *param, PyObject *key) noexcept {
    // Parameter names are interned, and so are keywords written in source code; an interned
    // string is the only one of its value, so only other keys need comparing.
    if (param == key) return true;
    if (PyUnicode_CheckExact(key) && PyUnicode_CHECK_INTERNED(key)) return false;
    return PyUnicode_Check(key) && PyUnicode_Compare(param, key) == 0;
}

// The keyword that binds `param`: written-in-source keywords match by identity, others by
// value, and the first match wins.
static Py_ssize_t find_keyword(PyObject *param, PyObject *kwnames, Py_ssize_t nkw) noexcept {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == param) return k;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (same_name(param, PyTuple_GET_ITEM(kwnames, k))) return k;
    }
    return -1;
}

static bool argcount_error(const Signature &sig, Py_ssize_t given) noexcept {
    Py_ssize_t expected;
    const char *quantifier;
    if (given < sig.nrequired) {
        expected = sig.nrequired;
        quantifier = "at least";
    } else {
        expected = sig.npositional;
        quantifier = "at most";
    }
    if (sig.nrequired == sig.npositional) quantifier = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, quantifier, expected, expected == 1 ? "" : "s", given);
    return false;
}

// Keywords that no parameter took: collect them or report the first offender.
static bool leftover_keywords(const Signature &sig, PyObject *const *kwvalues, PyObject *kwnames,
                              Py_ssize_t nargs, PyObject *collected) noexcept {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        int owner = -1;
        for (int i = 0; i < sig.npositional; ++i) {
            if (same_name(G.s.*sig.params[i], key)) {
                owner = i;
                break;
            }
        }
        if (owner >= nargs && find_keyword(G.s.*sig.params[owner], kwnames, nkw) == k) {
            continue; // the one its parameter took
        }
        int seen = owner < 0 && collected ? PyDict_Contains(collected, key) : 0;
        if (seen < 0) return false;
        if (owner >= 0 || seen) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
            return false;
        }
        if (!collected) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                         key);
            return false;
        }
        if (PyDict_SetItem(collected, key, kwvalues[k]) < 0) return false;
    }
    return true;
}

static bool check_types(const Signature &sig, PyObject *const *values) noexcept {
    for (int i = 0; i < sig.npositional; ++i) {
        if (!(sig.str_or_none_mask & (1u << i))) continue;
        PyObject *v = values[i];
        if (v == Py_None || PyUnicode_CheckExact(v)) continue;
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     PyUnicode_AsUTF8(G.s.*sig.params[i]), "str", Py_TYPE(v)->tp_name);
        return false;
    }
    return true;
}

static bool bind_values(const Signature &sig, PyObject *defaults, PyObject *const *args,
                        Py_ssize_t nargs, PyObject *kwnames, PyObject **values,
                        Ref *varkw) noexcept {
    if (nargs > sig.npositional) return argcount_error(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        values[i] = args[i];

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *const *kwvalues = args + nargs;
    Py_ssize_t matched = 0;
    Py_ssize_t first_default = sig.npositional - (defaults ? PyTuple_GET_SIZE(defaults) : 0);
    // Parameters in order, so that the first missing required one is the one reported.
    for (int i = static_cast<int>(nargs); i < sig.npositional; ++i) {
        Py_ssize_t k = find_keyword(G.s.*sig.params[i], kwnames, nkw);
        if (k >= 0) {
            values[i] = kwvalues[k];
            ++matched;
        } else if (i < sig.nrequired) {
            return argcount_error(sig, i);
        } else {
            values[i] = PyTuple_GET_ITEM(defaults, i - first_default);
        }
    }

    if (varkw) {
        *varkw = Ref::steal(PyDict_New());
        if (!*varkw) return false;
    }
    if (matched < nkw &&
        !leftover_keywords(sig, kwvalues, kwnames, nargs, varkw ? varkw->get() : nullptr)) {
        return false;
    }
    return check_types(sig, values);
}

bool bind(const Signature &sig, PyObject *defaults, PyObject *const *args, size_t nargsf,
          PyObject *kwnames, PyObject **values, Ref *varkw) noexcept {
    if (bind_values(sig, defaults, args, PyVectorcall_NARGS(nargsf), kwnames, values, varkw)) {
        return true;
    }
    add_traceback(sig.trace, sig.line);
    return false;
}

} // namespace tessu
