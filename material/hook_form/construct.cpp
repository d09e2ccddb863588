// TessuAutocomplete.__init__: builds the field, its layout, the autocomplete inside its
// controller and the caption, and hands the autocomplete two inner functions.
#include "calls.h"
#include "methods.h"
#include "text.h"
#include "traceback.h"

namespace tessu {

namespace {

// Source lines of the constructor's statements.
namespace at {
constexpr int super_init = 24, key = 25, use_state = 26;
constexpr int set_layout = 28, margins = 29, spacing = 30;
constexpr int name = 32, label = 33, value = 34, selected = 35, helper_text = 36, on_change = 37,
              state_signal = 38;
constexpr int autocomplete = 40, read_key = 41, read_name = 42, read_selected = 43,
              merge_kwargs = 46;
constexpr int controller = 48, caption = 50, style = 51, set_text = 57, add_caption = 58,
              connect = 60;
} // namespace at

// ---- The capture record shared by the inner functions --------------------------------

struct Scope {
    PyObject_HEAD
    PyObject *self; // the widget; None once the cycle collector has cleared the record
};

constexpr int scope_freelist_max = 8;
Scope *scope_freelist[scope_freelist_max];
int scope_freelist_len = 0;

PyObject *new_scope(PyObject *self) {
    Scope *scope;
    if (scope_freelist_len > 0) {
        scope = scope_freelist[--scope_freelist_len];
        PyObject_Init(reinterpret_cast<PyObject *>(scope), G.scope_type);
        scope->self = Py_NewRef(self);
        PyObject_GC_Track(scope);
    } else {
        scope = reinterpret_cast<Scope *>(G.scope_type->tp_alloc(G.scope_type, 0));
        if (!scope) return nullptr;
        scope->self = Py_NewRef(self);
    }
    return reinterpret_cast<PyObject *>(scope);
}

int scope_traverse(PyObject *op, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(reinterpret_cast<Scope *>(op)->self);
    return 0;
}

int scope_clear(PyObject *op) {
    Py_XSETREF(reinterpret_cast<Scope *>(op)->self, Py_NewRef(Py_None));
    return 0;
}

void scope_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    Py_CLEAR(reinterpret_cast<Scope *>(op)->self);
    if (scope_freelist_len < scope_freelist_max) {
        scope_freelist[scope_freelist_len++] = reinterpret_cast<Scope *>(op);
    } else {
        type->tp_free(op);
    }
    Py_DECREF(type);
}

PyType_Slot scope_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(scope_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(scope_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(scope_clear)},
    {0, nullptr},
};

PyType_Spec scope_spec = {
    "zarvel.material.hook_form.tessu_autocomplete.__init___scope",
    sizeof(Scope),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    scope_slots,
};

// The widget as an inner function finds it, or NameError. A function that the collector has
// cleared has no record left, yet a weak reference or a finalizer can still call it.
PyObject *captured_self(Function *fn) {
    auto *scope = reinterpret_cast<Scope *>(fn->scope);
    PyObject *self = scope ? scope->self : nullptr;
    if (!self || self == Py_None) {
        PyErr_Format(PyExc_NameError,
                     "free variable '%s' referenced before assignment in enclosing scope", "self");
        return nullptr;
    }
    return self;
}

// ---- The inner functions ---------------------------------------------------------------

// lambda newValue: self.set_value(newValue)
PyObject *change_body(Function *fn, PyObject *const *args, PyObject *) noexcept {
    PyObject *self = captured_self(fn);
    if (!self) return fail(trace::lambda, line::lambda);
    Ref result = call_method(self, G.s.set_value, args[0]);
    return result ? result.release() : fail(trace::lambda, line::lambda);
}

// The interpreter's words for a ** operand that is no mapping, which 3.15 changed.
#if PY_VERSION_HEX >= 0x030F0000
#define NOT_A_MAPPING "Value after ** must be a mapping, not "
#else
#define NOT_A_MAPPING "argument after ** must be a mapping, not "
#endif

// `**mapping` into `into`, as a call site merges keyword arguments: a dict that iterates as
// a dict is read directly, anything else through its keys() and its items one by one.
bool merge_keywords(PyObject *into, PyObject *mapping) {
    auto absent = [into](PyObject *key) {
        int present = PyDict_Contains(into, key);
        if (present > 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%S'",
                         "function", key);
        }
        return present == 0;
    };
    auto put = [into, &absent](PyObject *key, PyObject *value) {
        return absent(key) && PyDict_SetItem(into, key, value) == 0;
    };
    if (PyDict_Check(mapping) && Py_TYPE(mapping)->tp_iter == PyDict_Type.tp_iter) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value); // put() may run Python code
            if (!put(k.get(), v.get())) return false;
        }
        return true;
    }
    Ref keys_method;
    if (PyObject_GetOptionalAttr(mapping, G.s.keys, keys_method.out()) < 0) return false;
    if (!keys_method) {
        PyErr_Format(PyExc_TypeError, NOT_A_MAPPING "%.200s", Py_TYPE(mapping)->tp_name);
        return false;
    }
    Ref keys = Ref::steal(PyMapping_Keys(mapping));
    if (!keys) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        if (!absent(key.get())) return false; // before the item is read
        Ref value = Ref::steal(PyObject_GetItem(mapping, key.get()));
        if (!value || PyDict_SetItem(into, key.get(), value.get()) < 0) return false;
    }
    return true;
}

// Before 3.15 the call site reworded whatever the merge raised: any AttributeError as an
// operand that is no mapping, and a KeyError of one argument as a repeated keyword.
bool merge_call_keywords(PyObject *into, PyObject *mapping) {
    if (merge_keywords(into, mapping)) return true;
#if PY_VERSION_HEX < 0x030F0000
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, NOT_A_MAPPING "%.200s", Py_TYPE(mapping)->tp_name);
    } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyObject *raised = PyErr_GetRaisedException();
        PyObject *args = PyException_GetArgs(raised);
        if (args && PyTuple_GET_SIZE(args) == 1) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%S'",
                         "function", PyTuple_GET_ITEM(args, 0));
            Py_DECREF(raised);
        } else {
            PyErr_SetRaisedException(raised);
        }
        Py_XDECREF(args);
    }
#endif
    return false;
}

// lambda params: TextField(label=self._label, **params)
PyObject *render_input_body(Function *fn, PyObject *const *args, PyObject *) noexcept {
    auto failed = [] { return fail(trace::lambda1, line::lambda1); };
    PyObject *params = args[0];
    Ref text_field = Ref::steal(lookup_global(G.s.TextField));
    if (!text_field) return failed();
    PyObject *self = captured_self(fn);
    if (!self) return failed();
    Ref label = attr(self, G.s._label);
    Ref kwargs = label ? Ref::steal(PyDict_New()) : nullptr;
    if (!kwargs || PyDict_SetItem(kwargs.get(), G.s.label, label.get()) < 0) return failed();
    if (params == Py_None) {
        PyErr_SetString(PyExc_TypeError, NOT_A_MAPPING "NoneType");
        return failed();
    }
    if (!merge_call_keywords(kwargs.get(), params)) return failed();
    PyObject *result = PyObject_VectorcallDict(text_field.get(), nullptr, 0, kwargs.get());
    return result ? result : failed();
}

constexpr Signature change_signature = {
    "lambda", trace::lambda, line::lambda, {&Strings::newValue}, 1, 1, false, 0,
};
constexpr Signature render_input_signature = {
    "lambda1", trace::lambda1, line::lambda1, {&Strings::params}, 1, 1, false, 0,
};

Ref inner_function(const Signature &sig, Body body, PyObject *name, PyObject *code,
                   PyObject *scope) {
    return Ref::steal(
        new_function({&sig, body, name, G.s.qual_lambda, nullptr, nullptr, code, scope}));
}

// ---- Constructor steps -----------------------------------------------------------------

// a, b = value, with the unpacking errors of an assignment statement.
bool unpack_pair(PyObject *value, Ref &first, Ref &second) {
    auto too_many = [value] {
#if PY_VERSION_HEX >= 0x030E0000
        // From 3.14 the statement also names the size of the built-in containers whose size
        // it can read.
        if (PyTuple_CheckExact(value) || PyList_CheckExact(value) || PyDict_CheckExact(value)) {
            Py_ssize_t got = PyDict_CheckExact(value) ? PyDict_GET_SIZE(value) : Py_SIZE(value);
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd, got %zd)",
                         static_cast<Py_ssize_t>(2), got);
            return false;
        }
#else
        (void)value;
#endif
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
        return false;
    };
    auto need_more = [](Py_ssize_t got) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                     got == 1 ? "" : "s");
        return false;
    };
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        if (n > 2) return too_many();
        if (n < 2) return need_more(n);
        first = Ref::borrow(PySequence_Fast_GET_ITEM(value, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(value, 1));
        return true;
    }
    Ref iter = Ref::steal(PyObject_GetIter(value));
    if (!iter) return false;
    first = Ref::steal(PyIter_Next(iter.get()));
    if (!first) return PyErr_Occurred() ? false : need_more(0);
    second = Ref::steal(PyIter_Next(iter.get()));
    if (!second) return PyErr_Occurred() ? false : need_more(1);
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) return too_many();
    return !PyErr_Occurred();
}

// self.layout(), fetched afresh for each layout operation.
Ref current_layout(PyObject *self) {
    return call_method(self, G.s.layout);
}

// super().__init__() through the class cell of __init__.
bool init_base(Function *fn, PyObject *self) {
    if (!fn->classobj) {
        PyErr_SetString(PyExc_SystemError, "super(): empty __class__ cell");
        return false;
    }
    PyObject *super_args[] = {fn->classobj, self};
    Ref sup = Ref::steal(PyObject_Vectorcall(G.builtin_super, super_args, 2, nullptr));
    if (!sup) return false;
    return call_method(sup.get(), G.s.dunder_init).get();
}

// self._complete = Autocomplete(key=..., name=..., selected=..., onChange=lambda,
//                               renderInput=lambda1, **kwargs)
bool build_autocomplete(PyObject *self, PyObject *scope, PyObject *kwargs, int &line) {
    Strings &s = G.s;
    line = at::autocomplete;
    Ref autocomplete = Ref::steal(lookup_global(s.Autocomplete));
    if (!autocomplete) return false;
    line = at::read_key;
    Ref key = attr(self, s._key);
    if (!key) return false;
    line = at::read_name;
    Ref name = attr(self, s._name);
    if (!name) return false;
    line = at::read_selected;
    Ref selected = attr(self, s._selected);
    if (!selected) return false;
    line = at::autocomplete;
    Ref on_change = inner_function(change_signature, change_body, s.lambda, G.code_lambda, scope);
    if (!on_change) return false;
    Ref render_input =
        inner_function(render_input_signature, render_input_body, s.lambda1, G.code_lambda1, scope);
    if (!render_input) return false;

    Ref complete;
    if (PyDict_GET_SIZE(kwargs) == 0) {
        PyObject *args[] = {key.get(), name.get(), selected.get(), on_change.get(),
                            render_input.get()};
        complete = Ref::steal(PyObject_Vectorcall(autocomplete.get(), args, 0, G.kw_autocomplete));
    } else {
        Ref keywords = Ref::steal(PyDict_New());
        if (!keywords) return false;
        PyObject *values[] = {key.get(), name.get(), selected.get(), on_change.get(),
                              render_input.get()};
        for (Py_ssize_t i = 0; i < 5; ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(G.kw_autocomplete, i), values[i]) <
                0) {
                return false;
            }
        }
        line = at::merge_kwargs;
        if (!merge_call_keywords(keywords.get(), kwargs)) return false;
        line = at::autocomplete;
        complete =
            Ref::steal(PyObject_VectorcallDict(autocomplete.get(), nullptr, 0, keywords.get()));
    }
    return complete && set_attr(self, s._complete, complete.get());
}

// self.layout().addWidget(Controller(name=name, control=False, render=self._complete))
bool add_controller(PyObject *self, PyObject *name) {
    Ref layout = current_layout(self);
    Ref add_widget = layout ? attr(layout.get(), G.s.addWidget) : nullptr;
    Ref controller_type = add_widget ? Ref::steal(lookup_global(G.s.Controller)) : nullptr;
    Ref complete = controller_type ? attr(self, G.s._complete) : nullptr;
    if (!complete) return false;
    PyObject *args[] = {name, Py_False, complete.get()};
    Ref controller =
        Ref::steal(PyObject_Vectorcall(controller_type.get(), args, 0, G.kw_controller));
    return controller && call(add_widget.get(), controller.get());
}

// The caption's base style: the theme's caption props between a padding and a size.
bool style_caption(PyObject *self) {
    Ref caption = attr(self, G.s.lbl_helper_text);
    Ref set_style = caption ? attr(caption.get(), G.s.setStyleSheet) : nullptr;
    Ref use_theme = set_style ? Ref::steal(lookup_global(G.s.useTheme)) : nullptr;
    Ref theme = use_theme ? call(use_theme.get()) : nullptr;
    Ref typography = theme ? attr(theme.get(), G.s.typography) : nullptr;
    Ref caption_style = typography ? attr(typography.get(), G.s.caption) : nullptr;
    if (!caption_style) return false;
    Ref props = call_method(caption_style.get(), G.s.to_qss_props);
    Ref props_text = props ? format_simple(props.get()) : nullptr;
    Ref sheet =
        props_text ? join({G.s.caption_css_head, props_text.get(), G.s.caption_css_tail}) : nullptr;
    return sheet && call(set_style.get(), sheet.get());
}

} // namespace

bool ready_scope_type() noexcept {
    G.scope_type = type_from_spec(&scope_spec);
    return G.scope_type != nullptr;
}

PyObject *init_body(Function *fn, PyObject *const *args, PyObject *kwargs) noexcept {
    Strings &s = G.s;
    PyObject *self = args[0], *name = args[1], *key = args[2], *label = args[3],
             *selected = args[4], *on_change = args[5], *helper_text = args[6];
    auto failed = [](int line) { return fail(trace::init, line); };

    // 1. The record the inner functions reach the widget through.
    Ref scope = Ref::steal(new_scope(self));
    if (!scope) return failed(line::init);
    // 2.-4.
    if (!init_base(fn, self)) return failed(at::super_init);
    if (!set_attr(self, s._key, key)) return failed(at::key);
    {
        Ref use_state = Ref::steal(lookup_global(s.useState));
        Ref pair = use_state ? call(use_state.get(), s.none_text) : nullptr;
        Ref state, set_state;
        if (!pair || !unpack_pair(pair.get(), state, set_state) ||
            !set_attr(self, s._state, state.get()) ||
            !set_attr(self, s._setState, set_state.get())) {
            return failed(at::use_state);
        }
    }
    // 5.-7. A vertical layout without margins or spacing.
    {
        Ref set_layout = attr(self, s.setLayout);
        Ref layout_type = set_layout ? Ref::steal(lookup_global(s.QVBoxLayout)) : nullptr;
        Ref layout = layout_type ? call(layout_type.get()) : nullptr;
        if (!layout || !call(set_layout.get(), layout.get())) {
            return failed(at::set_layout);
        }
    }
    {
        Ref layout = current_layout(self);
        Ref margins = layout ? attr(layout.get(), s.setContentsMargins) : nullptr;
        if (!margins || !Ref::steal(PyObject_Call(margins.get(), G.tuple_0000, nullptr))) {
            return failed(at::margins);
        }
    }
    {
        Ref layout = current_layout(self);
        if (!layout || !call_method(layout.get(), s.setSpacing, G.int_0)) {
            return failed(at::spacing);
        }
    }
    // 8.
    if (!set_attr(self, s._name, name)) return failed(at::name);
    if (!set_attr(self, s._label, label)) return failed(at::label);
    if (!set_attr(self, s._value, Py_None)) return failed(at::value);
    if (!set_attr(self, s._selected, selected)) return failed(at::selected);
    if (!set_attr(self, s._helperText, helper_text)) return failed(at::helper_text);
    if (!set_attr(self, s._onChange, on_change)) return failed(at::on_change);
    if (!set_attr(self, s._stateSignal, Py_None)) return failed(at::state_signal);
    // 9.-10.
    int line = 0;
    if (!build_autocomplete(self, scope.get(), kwargs, line)) return failed(line);
    if (!add_controller(self, name)) return failed(at::controller);
    // 11.-13. The caption under the input: empty until the form reports an error.
    {
        Ref label_type = Ref::steal(lookup_global(s.QLabel));
        Ref caption = label_type ? call(label_type.get(), self) : nullptr;
        if (!caption || !set_attr(self, s.lbl_helper_text, caption.get())) {
            return failed(at::caption);
        }
    }
    if (!style_caption(self)) return failed(at::style);
    {
        Ref caption = attr(self, s.lbl_helper_text);
        if (!caption || !call_method(caption.get(), s.setText, G.empty_str)) {
            return failed(at::set_text);
        }
    }
    {
        Ref layout = current_layout(self);
        Ref add_widget = layout ? attr(layout.get(), s.addWidget) : nullptr;
        Ref caption = add_widget ? attr(self, s.lbl_helper_text) : nullptr;
        if (!caption || !call(add_widget.get(), caption.get())) {
            return failed(at::add_caption);
        }
    }
    // 14. Values the autocomplete signals reach set_value too.
    {
        Ref complete = attr(self, s._complete);
        Ref signal = complete ? attr(complete.get(), s.valueChanged) : nullptr;
        Ref connect = signal ? attr(signal.get(), s.connect) : nullptr;
        Ref slot = connect ? attr(self, s.set_value) : nullptr;
        if (!slot || !call(connect.get(), slot.get())) {
            return failed(at::connect);
        }
    }
    return Py_NewRef(Py_None);
}

} // namespace tessu
