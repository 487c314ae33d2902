#include "binder.hpp"

#include <structmember.h>

namespace zok {
namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    PyObject* globals;   // the module namespace
    PyObject* qualname;  // "FrontendTorchCodePostProcessor.<name>"
    PyObject* tb_name;   // "ZOK.FrontendTorchCodePostProcessor.<name>"
    PyObject* code;      // reported as __code__
    PyObject* varnames;  // parameters, then locals
    PyObject* defaults;  // reported as __defaults__; binding never reads it
};

PyTypeObject* g_type = nullptr;

inline Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

// True when the arguments already lie in parameter order: all of them by
// position, or the trailing ones by keyword, each keyword the interned
// parameter name itself. Keyword values follow the positional ones in a
// vectorcall, so the argument array is then the parameter array.
inline bool in_order(const MethodDef& def, Py_ssize_t nargs, PyObject* kwnames) {
    if (!kwnames) return nargs == def.nparams;
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    if (nargs + nkw != def.nparams) return false;
    for (Py_ssize_t j = 0; j < nkw; ++j)
        if (PyTuple_GET_ITEM(kwnames, j) != name(def.params[nargs + j])) return false;
    return true;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    Function* f = as_function(callable);
    const MethodDef& def = *f->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ctx c{f->globals, def.firstline};
    PyObject* bound[k_max_params];
    PyObject* const* params = args;
    if (!in_order(def, nargs, kwnames)) {
        if (bind_arguments(def, args, nargs, kwnames, name(N::s_arr), bound) < 0) {
            add_traceback(f->tb_name, f->varnames, def.nparams, def.filename, c.line, f->globals);
            return nullptr;
        }
        params = bound;
    }
    PyThreadState* ts = enter_call();
    if (!ts) {
        add_traceback(f->tb_name, f->varnames, def.nparams, def.filename, c.line, f->globals);
        return nullptr;
    }
    PyObject* result = def.impl(c, params);
    leave_call(ts);
    if (!result) {
        add_traceback(f->tb_name, f->varnames, def.nparams, def.filename, c.line, f->globals);
        return nullptr;
    }
    assert(!PyErr_Occurred());
    return result;
}

// A call through tp_call (f.__call__(**d), or call paths that hand over a
// dict) must reject non-string keys before the method's own binding runs.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    if (kwargs && !PyArg_ValidateKeywordArguments(kwargs)) return nullptr;
    return PyVectorcall_Call(self, args, kwargs);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_function(self);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    return 0;
}

// The namespace is kept until deallocation: a method may still be called
// while a cycle through it is being cleared, and clearing the namespace dict
// itself breaks the cycle.
int function_clear(PyObject* self) noexcept {
    Py_CLEAR(as_function(self)->defaults);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    Function* f = as_function(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->tb_name);
    Py_CLEAR(f->code);
    Py_CLEAR(f->varnames);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) noexcept {
    PyObject* n = name(as_function(self)->def->name);
    Py_INCREF(n);
    return n;
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}
PyObject* get_module(PyObject*, void*) noexcept {
    Py_INCREF(name(N::ZOK));
    return name(N::ZOK);
}
PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) noexcept {
    Py_INCREF(as_function(self)->code);
    return as_function(self)->code;
}
PyObject* get_globals(PyObject* self, void*) noexcept {
    Py_INCREF(as_function(self)->globals);
    return as_function(self)->globals;
}
PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* d = as_function(self)->defaults;
    if (!d) Py_RETURN_NONE;
    Py_INCREF(d);
    return d;
}
// Accepted and reported back, like a Python function's; the default that
// calls use stays the one compiled in.
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->defaults, value);
    return 0;
}

PyGetSetDef k_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* make_type() noexcept {
    static PyTypeObject type = [] {
        PyTypeObject t{};
        t.tp_name = "ZOK.native_function";
        t.tp_basicsize = sizeof(Function);
        t.tp_dealloc = function_dealloc;
        t.tp_vectorcall_offset = offsetof(Function, vectorcall);
        t.tp_repr = function_repr;
        t.tp_call = function_call;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::TPFLAGS_HAVE_VECTORCALL |
                     Py_TPFLAGS_METHOD_DESCRIPTOR;
        t.tp_traverse = function_traverse;
        t.tp_clear = function_clear;
        t.tp_getset = k_getset;
        t.tp_descr_get = function_descr_get;
        return t;
    }();
    return &type;
}

}  // namespace

int function_type_ready() noexcept {
    if (g_type) return 0;
    PyTypeObject* t = make_type();
    if (PyType_Ready(t) < 0) return -1;
    g_type = t;
    return 0;
}

PyObject* function_new(const MethodDef* def, PyObject* globals) noexcept {
    Ref varnames = Ref::steal(PyTuple_New(def->nparams + def->nlocals));
    if (!varnames) return nullptr;
    for (int i = 0; i < def->nparams + def->nlocals; ++i) {
        PyObject* n = name(i < def->nparams ? def->params[i] : def->locals[i - def->nparams]);
        Py_INCREF(n);
        PyTuple_SET_ITEM(varnames.get(), i, n);
    }
    Ref qualname = Ref::steal(
        PyUnicode_FromFormat("%U.%U", name(N::FrontendTorchCodePostProcessor), name(def->name)));
    if (!qualname) return nullptr;
    Ref tb_name = Ref::steal(PyUnicode_FromFormat("%U.%U", name(N::ZOK), qualname.get()));
    if (!tb_name) return nullptr;
    Ref file = Ref::steal(PyUnicode_FromString(def->filename));
    if (!file) return nullptr;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        compat::new_code(def->nparams, varnames.get(), file.get(), name(def->name), qualname.get(),
                         def->firstline, g.empty_bytes, g.empty_tuple)));
    if (!code) return nullptr;
    Function* f = PyObject_GC_New(Function, g_type);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->def = def;
    Py_INCREF(globals);
    f->globals = globals;
    f->qualname = qualname.release();
    f->tb_name = tb_name.release();
    f->code = code.release();
    f->varnames = varnames.release();
    f->defaults = nullptr;
    if (def->nrequired < def->nparams) {
        Py_INCREF(g.init_defaults);
        f->defaults = g.init_defaults;
    }
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace zok
