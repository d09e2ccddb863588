// The state slot: shows the form's verdict on this field, as the input's look and as the
// caption under it.
#include "calls.h"
#include "methods.h"
#include "text.h"
#include "traceback.h"

namespace tessu {

namespace {

namespace at {
constexpr int theme = 132, field = 133, error = 135, error_slot = 136, caption_text = 140,
              caption_style = 141, visible = 147, show = 148, valid_slot = 150, hide = 151;
} // namespace at

PyObject *failed(int line) {
    return fail(trace::state, line);
}

Ref attr_path(PyObject *obj, PyObject *first, PyObject *second, PyObject *third) {
    Ref a = attr(obj, first);
    Ref b = a ? attr(a.get(), second) : nullptr;
    return b ? attr(b.get(), third) : nullptr;
}

// self._complete._inputField._set_slot, read anew each time.
Ref set_slot_method(PyObject *self) {
    return attr_path(self, G.s._complete, G.s._inputField, G.s._set_slot);
}

// The caption text: the first message. A form that reports an error without any message
// (None, or messages of length 0) gets an empty caption rather than an exception escaping
// from a slot mid-update.
Ref caption_text(PyObject *messages) {
    if (messages == Py_None) return Ref::borrow(G.empty_str);
    Ref first;
    // A list or tuple of exactly the built-in type has no other length or indexing.
    if (PyList_CheckExact(messages)) {
        if (PyList_GET_SIZE(messages) == 0) return Ref::borrow(G.empty_str);
        first = Ref::borrow(PyList_GET_ITEM(messages, 0));
    } else if (PyTuple_CheckExact(messages)) {
        if (PyTuple_GET_SIZE(messages) == 0) return Ref::borrow(G.empty_str);
        first = Ref::borrow(PyTuple_GET_ITEM(messages, 0));
    } else {
        Py_ssize_t length = PyObject_Length(messages);
        if (length == 0) return Ref::borrow(G.empty_str);
        // The length only tells the empty case apart: messages that have none are indexed
        // as they always were, and only that indexing can fail.
        if (length < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
        }
        first = Ref::steal(PyObject_GetItem(messages, G.int_0));
    }
    return first ? Ref::steal(PyObject_Str(first.get())) : nullptr;
}

bool show_error(PyObject *self, PyObject *state, PyObject *theme, int &line) {
    Strings &s = G.s;
    line = at::error_slot;
    {
        Ref set_slot = set_slot_method(self);
        Ref request = set_slot ? Ref::steal(PyDict_New()) : nullptr;
        if (!request || PyDict_SetItem(request.get(), s.slot, s.error) < 0) return false;
        Ref message = call_get(state, s.error_message);
        if (!message || PyDict_SetItem(request.get(), s.message, message.get()) < 0 ||
            !call(set_slot.get(), request.get())) {
            return false;
        }
    }
    line = at::caption_text;
    {
        Ref caption = attr(self, s.lbl_helper_text);
        Ref set_text = caption ? attr(caption.get(), s.setText) : nullptr;
        Ref messages = set_text ? call_get(state, s.error_message) : nullptr;
        Ref text = messages ? caption_text(messages.get()) : nullptr;
        if (!text || !call(set_text.get(), text.get())) return false;
    }
    line = at::caption_style;
    {
        Ref caption = attr(self, s.lbl_helper_text);
        Ref set_style = caption ? attr(caption.get(), s.setStyleSheet) : nullptr;
        Ref size = set_style ? attr_path(theme, s.typography, s.caption, s.fontSize) : nullptr;
        Ref size_text = size ? format_simple(size.get()) : nullptr;
        Ref weight = size_text ? attr_path(theme, s.typography, s.caption, s.fontWeight) : nullptr;
        Ref weight_text = weight ? format_simple(weight.get()) : nullptr;
        Ref color = weight_text ? attr_path(theme, s.palette, s.error, s.main) : nullptr;
        Ref color_text = color ? format_simple(color.get()) : nullptr;
        Ref sheet =
            color_text
                ? join({s.error_css_size, size_text.get(), s.error_css_weight, weight_text.get(),
                        s.error_css_color, color_text.get(), s.error_css_end})
                : nullptr;
        if (!sheet || !call(set_style.get(), sheet.get())) {
            return false;
        }
    }
    line = at::visible;
    Ref caption = attr(self, s.lbl_helper_text);
    Ref visible = caption ? call_method(caption.get(), s.isVisible) : nullptr;
    int shown = visible ? PyObject_IsTrue(visible.get()) : -1;
    if (shown < 0) return false;
    if (!shown) {
        line = at::show;
        caption = attr(self, s.lbl_helper_text);
        if (!caption || !call_method(caption.get(), s.show)) return false;
    }
    return true;
}

bool show_valid(PyObject *self, int &line) {
    Strings &s = G.s;
    line = at::valid_slot;
    Ref set_slot = set_slot_method(self);
    Ref request = set_slot ? Ref::steal(PyDict_New()) : nullptr;
    if (!request || PyDict_SetItem(request.get(), s.slot, s.valid) < 0 ||
        !call(set_slot.get(), request.get())) {
        return false;
    }
    line = at::hide;
    Ref caption = attr(self, s.lbl_helper_text);
    return caption && call_method(caption.get(), s.hide);
}

} // namespace

PyObject *state_body(Function *, PyObject *const *args, PyObject *) noexcept {
    Strings &s = G.s;
    PyObject *self = args[0], *state = args[1];

    // 1. The theme current at this moment styles the caption.
    Ref use_theme = Ref::steal(lookup_global(s.useTheme));
    Ref theme = use_theme ? call(use_theme.get()) : nullptr;
    if (!theme) return failed(at::theme);
    // 2. States about other fields are not ours to show.
    {
        Ref name = attr(self, s._name);
        Ref field = name ? call_get(state, s.field) : nullptr;
        int ours = field ? equal(name.get(), field.get()) : -1;
        if (ours < 0) return failed(at::field);
        if (!ours) return Py_NewRef(Py_None);
    }
    // 3.-5.
    Ref error = call_get(state, s.error);
    int has_error = error ? PyObject_IsTrue(error.get()) : -1;
    if (has_error < 0) return failed(at::error);
    int line = 0;
    bool shown = has_error ? show_error(self, state, theme.get(), line) : show_valid(self, line);
    return shown ? Py_NewRef(Py_None) : failed(line);
}

} // namespace tessu
