// Every identifier and text the module uses, listed once. module_state.h turns the lists into
// fields of the module-state table; interned.cpp creates the strings at import.
#pragma once

// Identifiers: interned, so attribute and keyword lookups hit the pointer fast paths.
#define TESSU_IDENTIFIERS(X)                                                                       \
    /* import statements and the module namespace */                                               \
    X(typing, "typing")                                                                            \
    X(Callable, "Callable")                                                                        \
    X(Optional, "Optional")                                                                        \
    X(Sequence, "Sequence")                                                                        \
    X(qtpy_QtCore, "qtpy.QtCore")                                                                  \
    X(Qt, "Qt")                                                                                    \
    X(Property, "Property")                                                                        \
    X(Slot, "Slot")                                                                                \
    X(Signal, "Signal")                                                                            \
    X(qtpy_QtWidgets, "qtpy.QtWidgets")                                                            \
    X(QWidget, "QWidget")                                                                          \
    X(QVBoxLayout, "QVBoxLayout")                                                                  \
    X(QFrame, "QFrame")                                                                            \
    X(QLabel, "QLabel")                                                                            \
    X(zarvel_material_styles, "zarvel.material.styles")                                            \
    X(useTheme, "useTheme")                                                                        \
    X(zarvel_hooks, "zarvel.hooks")                                                                \
    X(useState, "useState")                                                                        \
    X(zarvel_hooks_use_state, "zarvel.hooks.use_state")                                            \
    X(State, "State")                                                                              \
    X(material_controller, "material.controller")                                                  \
    X(Controller, "Controller")                                                                    \
    X(textfield_textfield, "textfield.textfield")                                                  \
    X(TextField, "TextField")                                                                      \
    X(material_auto_complete_complete, "material.auto_complete.complete")                          \
    X(Autocomplete, "Autocomplete")                                                                \
    X(TessuAutocomplete, "TessuAutocomplete")                                                      \
    X(module_name, "zarvel.material.hook_form.tessu_autocomplete")                                 \
    X(dunder_test, "__test__")                                                                     \
    X(dunder_builtins, "__builtins__")                                                             \
    X(dunder_name, "__name__")                                                                     \
    X(dunder_module, "__module__")                                                                 \
    X(dunder_qualname, "__qualname__")                                                             \
    X(dunder_orig_bases, "__orig_bases__")                                                         \
    X(dunder_mro_entries, "__mro_entries__")                                                       \
    X(dunder_prepare, "__prepare__")                                                               \
    X(dunder_init, "__init__")                                                                     \
    X(dunder_loader, "__loader__")                                                                 \
    X(dunder_file, "__file__")                                                                     \
    X(dunder_package, "__package__")                                                               \
    X(dunder_path, "__path__")                                                                     \
    X(loader, "loader")                                                                            \
    X(origin, "origin")                                                                            \
    X(parent, "parent")                                                                            \
    X(submodule_search_locations, "submodule_search_locations")                                    \
    X(object, "object")                                                                            \
    X(super, "super")                                                                              \
    X(print, "print")                                                                              \
    X(bool_, "bool")                                                                               \
    X(setter, "setter")                                                                            \
    /* the class, its methods and their parameters */                                              \
    X(valueChanged, "valueChanged")                                                                \
    X(set_value, "set_value")                                                                      \
    X(stateSignal, "stateSignal")                                                                  \
    X(state, "state")                                                                              \
    X(self, "self")                                                                                \
    X(name, "name")                                                                                \
    X(key, "key")                                                                                  \
    X(label, "label")                                                                              \
    X(selected, "selected")                                                                        \
    X(onChange, "onChange")                                                                        \
    X(helperText, "helperText")                                                                    \
    X(kwargs, "kwargs")                                                                            \
    X(control, "control")                                                                          \
    X(value, "value")                                                                              \
    X(theme, "theme")                                                                              \
    X(newValue, "newValue")                                                                        \
    X(params, "params")                                                                            \
    X(renderInput, "renderInput")                                                                  \
    X(render, "render")                                                                            \
    X(lambda, "lambda")                                                                            \
    X(lambda1, "lambda1")                                                                          \
    X(qual_init, "TessuAutocomplete.__init__")                                                     \
    X(qual_set_value, "TessuAutocomplete.set_value")                                               \
    X(qual_stateSignal, "TessuAutocomplete.stateSignal")                                           \
    X(qual_state, "TessuAutocomplete.state")                                                       \
    X(qual_lambda, "TessuAutocomplete.__init__.<locals>.<lambda>")                                 \
    /* instance attributes */                                                                      \
    X(_key, "_key")                                                                                \
    X(_state, "_state")                                                                            \
    X(_setState, "_setState")                                                                      \
    X(_name, "_name")                                                                              \
    X(_label, "_label")                                                                            \
    X(_value, "_value")                                                                            \
    X(_selected, "_selected")                                                                      \
    X(_helperText, "_helperText")                                                                  \
    X(_onChange, "_onChange")                                                                      \
    X(_stateSignal, "_stateSignal")                                                                \
    X(_complete, "_complete")                                                                      \
    X(lbl_helper_text, "lbl_helper_text")                                                          \
    /* what the widget reads and calls on host objects */                                          \
    X(setLayout, "setLayout")                                                                      \
    X(layout, "layout")                                                                            \
    X(setContentsMargins, "setContentsMargins")                                                    \
    X(setSpacing, "setSpacing")                                                                    \
    X(addWidget, "addWidget")                                                                      \
    X(setStyleSheet, "setStyleSheet")                                                              \
    X(setText, "setText")                                                                          \
    X(typography, "typography")                                                                    \
    X(caption, "caption")                                                                          \
    X(to_qss_props, "to_qss_props")                                                                \
    X(fontSize, "fontSize")                                                                        \
    X(fontWeight, "fontWeight")                                                                    \
    X(palette, "palette")                                                                          \
    X(main, "main")                                                                                \
    X(connect, "connect")                                                                          \
    X(emit, "emit")                                                                                \
    X(get, "get")                                                                                  \
    X(keys, "keys")                                                                                \
    X(_inputField, "_inputField")                                                                  \
    X(_set_value, "_set_value")                                                                    \
    X(_set_slot, "_set_slot")                                                                      \
    X(isVisible, "isVisible")                                                                      \
    X(show, "show")                                                                                \
    X(hide, "hide")                                                                                \
    /* keys of form-state objects and look requests */                                             \
    X(field, "field")                                                                              \
    X(error, "error")                                                                              \
    X(error_message, "error_message")                                                              \
    X(slot, "slot")                                                                                \
    X(message, "message")                                                                          \
    X(valid, "valid")

// Texts: plain (not interned) strings, still hashed once when created.
#define TESSU_TEXTS(X)                                                                             \
    X(source_path, "material/hook_form/tessu_autocomplete")                                        \
    X(none_text, "None")                                                                           \
    X(ann_optional_str, "Optional[str]")                                                           \
    X(ann_optional_callable, "Optional[Callable]")                                                 \
    X(ann_str, "str")                                                                              \
    X(trace_key, "Resolution_keyyyyyyyyyyyyy")                                                     \
    X(caption_css_head, "\n            padding-left: 8px;\n            ")                          \
    X(caption_css_tail, "\n            font-size: 11px;\n        ")                                \
    X(error_css_size, "\n                    padding-left: 8px;\n                    font-size: ") \
    X(error_css_weight, ";\n                    font-weight: ")                                    \
    X(error_css_color, ";\n                    color: ")                                           \
    X(error_css_end, ";\n                ")
