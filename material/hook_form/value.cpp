// The value path (set_value) and the stateSignal property through which the form attaches
// its state signal.
#include "calls.h"
#include "methods.h"
#include "traceback.h"

namespace tessu {

namespace {

namespace at {
constexpr int unwrap = 100, store = 101, normalise = 102, clear = 103, selection = 104, mark = 105,
              on_change = 106, notify = 107, emit = 108, trace_key = 109, print = 110,
              has_complete = 111, write_back = 112, record = 116;
constexpr int get_signal = 123, store_signal = 127, connect = 128;
} // namespace at

PyObject *failed(int line) {
    return fail(trace::set_value, line);
}

// stored == [] as the interpreter decides it; built-in types other than list never equal
// a list, so only the rest pays for the comparison.
int equals_empty_list(PyObject *stored) {
    if (PyList_CheckExact(stored)) return PyList_GET_SIZE(stored) == 0;
    if (stored == Py_None || PyUnicode_CheckExact(stored) || PyLong_CheckExact(stored) ||
        PyTuple_CheckExact(stored) || PyDict_CheckExact(stored) || PyFloat_CheckExact(stored)) {
        return 0;
    }
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty) return -1;
    Ref result = Ref::steal(PyObject_RichCompare(stored, empty.get(), Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

} // namespace

PyObject *set_value_body(Function *, PyObject *const *args, PyObject *) noexcept {
    Strings &s = G.s;
    PyObject *self = args[0];

    // 1. A mapping carries its value under "value".
    Ref value = Ref::borrow(args[1]);
    if (PyDict_Check(value.get())) {
        value = call_get(value.get(), s.value);
        if (!value) return failed(at::unwrap);
    }
    // 2.-3. An emptied selection is stored as no value.
    if (!set_attr(self, s._value, value.get())) return failed(at::store);
    {
        Ref stored = attr(self, s._value);
        int empty = stored ? equals_empty_list(stored.get()) : -1;
        if (empty < 0) return failed(at::normalise);
        if (empty && !set_attr(self, s._value, Py_None)) return failed(at::clear);
    }
    // 4. A State selection flag learns that a value was chosen.
    {
        Ref selected = attr(self, s._selected);
        Ref state_type = selected ? Ref::steal(lookup_global(s.State)) : nullptr;
        int is_state = state_type ? PyObject_IsInstance(selected.get(), state_type.get()) : -1;
        if (is_state < 0) return failed(at::selection);
        if (is_state) {
            selected = attr(self, s._selected);
            if (!selected || !set_attr(selected.get(), s.value, Py_True)) {
                return failed(at::mark);
            }
        }
    }
    // 5.-6. The owner's callback and the signal get the value as it came in.
    {
        Ref on_change = attr(self, s._onChange);
        int wanted = on_change ? PyObject_IsTrue(on_change.get()) : -1;
        if (wanted < 0) return failed(at::on_change);
        if (wanted) {
            on_change = attr(self, s._onChange);
            if (!on_change || !call(on_change.get(), value.get())) {
                return failed(at::notify);
            }
        }
    }
    {
        Ref signal = attr(self, s.valueChanged);
        if (!signal || !call_method(signal.get(), s.emit, value.get())) {
            return failed(at::emit);
        }
    }
    // 7. One field's values are traced on standard output.
    {
        Ref key = attr(self, s._key);
        int traced = key ? equal(key.get(), s.trace_key) : -1;
        if (traced < 0) return failed(at::trace_key);
        if (traced) {
            Ref stored = attr(self, s._value);
            PyObject *call[] = {s.trace_key, stored.get()};
            if (!stored || !Ref::steal(PyObject_Vectorcall(G.builtin_print, call, 2, nullptr))) {
                return failed(at::print);
            }
        }
    }
    // 8. The input shows the stored value, without reporting it back to us. The autocomplete
    // may call in while it is still being built, before _complete exists.
    {
        Ref probe = attr(self, s._complete);
        if (!probe) {
            // A read that could not be made for want of memory says nothing of whether
            // _complete exists: reporting success then would skip the write-back silently.
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return failed(at::has_complete);
            PyErr_Clear();
        } else {
            Ref complete = attr(self, s._complete);
            Ref field = complete ? attr(complete.get(), s._inputField) : nullptr;
            Ref set = field ? attr(field.get(), s._set_value) : nullptr;
            Ref stored = set ? attr(self, s._value) : nullptr;
            if (!stored) return failed(at::write_back);
            PyObject *call[] = {stored.get(), Py_False};
            if (!Ref::steal(PyObject_Vectorcall(set.get(), call, 0, G.kw_set_value))) {
                return failed(at::write_back);
            }
        }
    }
    // 9.
    {
        Ref set_state = attr(self, s._setState);
        Ref stored = set_state ? attr(self, s._value) : nullptr;
        if (!stored || !call(set_state.get(), stored.get())) return failed(at::record);
    }
    return Py_NewRef(Py_None);
}

PyObject *state_signal_get_body(Function *, PyObject *const *args, PyObject *) noexcept {
    Ref signal = attr(args[0], G.s._stateSignal);
    return signal ? signal.release() : fail(trace::state_signal, at::get_signal);
}

// Stores first, then connects: the signal is kept even when it cannot be connected.
PyObject *state_signal_set_body(Function *, PyObject *const *args, PyObject *) noexcept {
    PyObject *self = args[0];
    if (!set_attr(self, G.s._stateSignal, args[1])) {
        return fail(trace::state_signal, at::store_signal);
    }
    Ref signal = attr(self, G.s._stateSignal);
    Ref connect = signal ? attr(signal.get(), G.s.connect) : nullptr;
    Ref slot = connect ? attr(self, G.s.state) : nullptr;
    if (!slot || !call(connect.get(), slot.get())) {
        return fail(trace::state_signal, at::connect);
    }
    return Py_NewRef(Py_None);
}

} // namespace tessu
