// What the class declaration needs from the files that implement the method bodies.
#pragma once

#include "function.h"

namespace tessu {

namespace trace {
#define TESSU_QUALIFIED(tail) "zarvel.material.hook_form.tessu_autocomplete." tail
inline constexpr char init_module[] = "init zarvel.material.hook_form.tessu_autocomplete";
inline constexpr char init[] = TESSU_QUALIFIED("TessuAutocomplete.__init__");
inline constexpr char lambda[] = TESSU_QUALIFIED("TessuAutocomplete.__init__.lambda");
inline constexpr char lambda1[] = TESSU_QUALIFIED("TessuAutocomplete.__init__.lambda1");
inline constexpr char set_value[] = TESSU_QUALIFIED("TessuAutocomplete.set_value");
inline constexpr char state_signal[] = TESSU_QUALIFIED("TessuAutocomplete.stateSignal");
inline constexpr char state[] = TESSU_QUALIFIED("TessuAutocomplete.state");
#undef TESSU_QUALIFIED
} // namespace trace

// construct.cpp
bool ready_scope_type() noexcept;
PyObject *init_body(Function *fn, PyObject *const *args, PyObject *kwargs) noexcept;

// value.cpp
PyObject *set_value_body(Function *fn, PyObject *const *args, PyObject *) noexcept;
PyObject *state_signal_get_body(Function *fn, PyObject *const *args, PyObject *) noexcept;
PyObject *state_signal_set_body(Function *fn, PyObject *const *args, PyObject *) noexcept;

// form_state.cpp
PyObject *state_body(Function *fn, PyObject *const *args, PyObject *) noexcept;

// class_decl.cpp
bool create_class() noexcept;

} // namespace tessu
