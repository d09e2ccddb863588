#include "function.h"

#include <cstddef>

#include "module_state.h"
#include "stack.h"
#include "traceback.h"

namespace tessu {

// The interpreter's own words for the same condition.
static constexpr char recursion_context[] = " while calling a Python object";
static constexpr char recursion_message[] =
    "maximum recursion depth exceeded while calling a Python object";

static PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames) noexcept {
    auto *fn = reinterpret_cast<Function *>(callable);
    // Re-entry without Python code in between is bounded by the stack left (see stack.h) and
    // by the interpreter's count of C levels, whichever comes first; both fail the same way.
    if (stack_exhausted()) {
        PyErr_SetString(PyExc_RecursionError, recursion_message);
        return fail(fn->sig->trace, fn->sig->line);
    }
    PyObject *const *bound = args;
    PyObject *values[max_params] = {};
    Ref varkw;
    if (!binds_as_given(*fn->sig, nargsf, kwnames)) {
        if (!bind(*fn->sig, fn->defaults, args, nargsf, kwnames, values,
                  fn->sig->varkw ? &varkw : nullptr)) {
            return nullptr;
        }
        bound = values;
    }
    if (Py_EnterRecursiveCall(recursion_context)) return fail(fn->sig->trace, fn->sig->line);
    PyObject *result = fn->body(fn, bound, varkw.get());
    Py_LeaveRecursiveCall();
    return result;
}

PyObject *new_function(const FunctionParts &parts) noexcept {
    auto *fn = PyObject_GC_New(Function, G.function_type);
    if (!fn) return nullptr;
    fn->vectorcall = function_vectorcall;
    fn->sig = parts.sig;
    fn->body = parts.body;
    fn->name = Py_NewRef(parts.name);
    fn->qualname = Py_NewRef(parts.qualname);
    fn->module = Py_NewRef(G.s.module_name);
    fn->doc = Py_NewRef(Py_None);
    fn->defaults = Py_XNewRef(parts.defaults);
    fn->annotations = Py_XNewRef(parts.annotations);
    fn->code = Py_XNewRef(parts.code);
    fn->globals = Py_NewRef(G.globals);
    fn->dict = nullptr;
    fn->classobj = nullptr;
    fn->scope = Py_XNewRef(parts.scope);
    fn->weakreflist = nullptr;
    PyObject_GC_Track(fn);
    return reinterpret_cast<PyObject *>(fn);
}

static int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *fn = reinterpret_cast<Function *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->code);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->classobj);
    Py_VISIT(fn->scope);
    return 0;
}

static int function_clear(PyObject *self) {
    auto *fn = reinterpret_cast<Function *>(self);
    // name and qualname stay: repr and the attribute getters rely on them being set.
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->classobj);
    Py_CLEAR(fn->scope);
    return 0;
}

static void function_dealloc(PyObject *self) {
    auto *fn = reinterpret_cast<Function *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

static PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function *>(self)->qualname,
                                self);
}

// Attribute access mirrors a Python function: names and the docstring can be replaced,
// everything that drives the call (defaults, code, globals) is fixed.

static PyObject *or_none(PyObject *p) {
    return Py_NewRef(p ? p : Py_None);
}

static PyObject *get_name(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<Function *>(self)->name);
}

static int set_text(PyObject **slot, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

static int set_name(PyObject *self, PyObject *value, void *) {
    return set_text(&reinterpret_cast<Function *>(self)->name, value, "__name__");
}

static PyObject *get_qualname(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<Function *>(self)->qualname);
}

static int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_text(&reinterpret_cast<Function *>(self)->qualname, value, "__qualname__");
}

static PyObject *get_doc(PyObject *self, void *) {
    return or_none(reinterpret_cast<Function *>(self)->doc);
}

static int set_doc(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(reinterpret_cast<Function *>(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

static PyObject *get_module(PyObject *self, void *) {
    return or_none(reinterpret_cast<Function *>(self)->module);
}

static int set_module(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(reinterpret_cast<Function *>(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

static PyObject *get_defaults(PyObject *self, void *) {
    return or_none(reinterpret_cast<Function *>(self)->defaults);
}

static PyObject *get_none(PyObject *, void *) {
    return Py_NewRef(Py_None);
}

static PyObject *get_annotations(PyObject *self, void *) {
    auto *fn = reinterpret_cast<Function *>(self);
    // Python functions create their annotations dict on first access; so do we.
    if (!fn->annotations) fn->annotations = PyDict_New();
    return Py_XNewRef(fn->annotations);
}

static PyObject *get_code(PyObject *self, void *) {
    return or_none(reinterpret_cast<Function *>(self)->code);
}

static PyObject *get_globals(PyObject *self, void *) {
    return or_none(reinterpret_cast<Function *>(self)->globals);
}

static PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

static PyType_Spec function_spec = {
    "zarvel.material.hook_form.tessu_autocomplete.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

PyTypeObject *type_from_spec(PyType_Spec *spec) noexcept {
    PyObject *type = PyType_FromSpec(spec);
    if (!type && !PyErr_Occurred()) PyErr_NoMemory();
    return reinterpret_cast<PyTypeObject *>(type);
}

bool ready_function_type() noexcept {
    G.function_type = type_from_spec(&function_spec);
    return G.function_type != nullptr;
}

} // namespace tessu
