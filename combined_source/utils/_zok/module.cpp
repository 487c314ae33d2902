// Module initialisation: the definition handed to the interpreter, the
// create step (one interpreter, one module object per process) and the exec
// step (imports and the class).
#include "function.hpp"

#include <cstdio>

namespace zok {
namespace {

using compat::lookup_attr;

Ref getattr(PyObject* o, N n) { return Ref::steal(PyObject_GetAttr(o, name(n))); }

// ---- create step --------------------------------------------------------

// Copies spec.<from> to the namespace entry <to>; a spec without the
// attribute skips the entry. 0 or -1.
int copy_spec_attr(PyObject* spec, PyObject* ns, N from, N to, bool skip_none) {
    PyObject* v = nullptr;
    int found = lookup_attr(spec, name(from), &v);
    if (found < 0) return -1;
    if (!found) return 0;
    Ref value = Ref::steal(v);
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItem(ns, name(to), value.get());
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    int64_t id = compat::current_interpreter_id();
    if (g.interpreter_id == -1) {
        if (id == -1) return nullptr;
        g.interpreter_id = id;
    } else if (id != g.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g.module) {
        // The import system gives a module returned from here a new state
        // block without freeing the old one; free it now so that importing
        // again (after the sys.modules entries were removed) leaks nothing.
        // Nothing reads the state between this return and that reset.
        PyMem_Free(PyModule_GetState(g.module));
        return Ref::borrow(g.module).release();
    }

    Ref modname = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!modname) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(modname.get()));
    if (!module) return nullptr;
    PyObject* ns = PyModule_GetDict(module.get());
    if (init_names() < 0) return nullptr;
    if (copy_spec_attr(spec, ns, N::loader, N::dunder_loader, false) < 0 ||
        copy_spec_attr(spec, ns, N::origin, N::dunder_file, false) < 0 ||
        copy_spec_attr(spec, ns, N::parent, N::dunder_package, false) < 0 ||
        copy_spec_attr(spec, ns, N::submodule_search_locations, N::dunder_path, true) < 0)
        return nullptr;
    return module.release();
}

// ---- exec step ----------------------------------------------------------

// The failing line, for the "init ZOK" traceback entry.
#define EXEC_FAIL() \
    do {                \
        line = __LINE__; \
        return -1;      \
    } while (0)

// Reads the decimal digits at p into n (at most four, as in a version
// number) and moves p past them; false when p is not at a digit.
bool leading_number(const char*& p, int& n) {
    if (*p < '0' || *p > '9') return false;
    n = 0;
    for (int i = 0; i < 4 && *p >= '0' && *p <= '9'; ++i) n = n * 10 + (*p++ - '0');
    return true;
}

int version_check() {
    // Leading numbers of the running version text: major.minor[.x[.y]]
    // (read by hand: glibc 2.38+ would bind sscanf to a new symbol version,
    // and the module must load on older systems).
    const char* v = Py_GetVersion();
    int major = 0, minor = 0;
    if (!leading_number(v, major) || *v++ != '.' || !leading_number(v, minor))
        major = minor = 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "ZOK", "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

// The interned names and the few constants a traceback entry needs.
int make_strings() {
    if (init_names() < 0) return -1;
    if (!g.empty_tuple && !(g.empty_tuple = PyTuple_New(0))) return -1;
    if (!g.empty_bytes && !(g.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0))) return -1;
    if (!g.init_name && !(g.init_name = PyUnicode_InternFromString("init ZOK"))) return -1;
    return 0;
}

// The constant tuples the methods use, and the type of their function objects.
int make_constants() {
    if (!g.zero && !(g.zero = PyLong_FromLong(0))) return -1;
    if (!g.env_get_args && !(g.env_get_args = PyTuple_Pack(2, name(N::s_env_var), Py_None)))
        return -1;
    if (!g.init_defaults && !(g.init_defaults = PyTuple_Pack(1, name(N::s_arr)))) return -1;
    if (!g.attribute_kwnames &&
        !(g.attribute_kwnames = PyTuple_Pack(3, name(N::value), name(N::attr), name(N::ctx))))
        return -1;
    return function_type_ready();
}

// `import <name>`: a module already in sys.modules and not still being
// imported is used as it is.
Ref import_plain(PyObject* ns, N n) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = PyDict_GetItemWithError(modules, name(n));
    if (found) {
        Ref module = Ref::borrow(found);
        PyObject* spec = nullptr;
        int initializing = 0;
        if (lookup_attr(module.get(), name(N::dunder_spec), &spec) > 0) {
            Ref spec_ref = Ref::steal(spec);
            PyObject* flag = nullptr;
            if (lookup_attr(spec, name(N::initializing), &flag) > 0) {
                initializing = PyObject_IsTrue(flag);
                Py_DECREF(flag);
            }
        }
        // This look-up only decides whether the short-cut may be taken; its
        // failures fall back to the import function instead of failing.
        PyErr_Clear();
        if (initializing == 0) return module;
    } else {
        PyErr_Clear();  // as above: a failed look-up means "not there"
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return locals;
    return Ref::steal(PyImport_ImportModuleLevelObject(name(n), ns, locals.get(), nullptr, 0));
}

// `from .<module> import <attr>`
Ref import_from(PyObject* ns, N module_name, N attr) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return locals;
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) return fromlist;
    Py_INCREF(name(attr));
    PyList_SET_ITEM(fromlist.get(), 0, name(attr));
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(name(module_name), ns, locals.get(), fromlist.get(), 1));
    if (!module) return module;
    Ref value = getattr(module.get(), attr);
    if (value) return value;
    // Not an attribute (yet): a submodule of that name may sit in sys.modules.
    PyErr_Clear();  // replaced by the ImportError below when nothing is found
    Ref modname = getattr(module.get(), N::dunder_name);
    if (modname) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%S.%U", modname.get(), name(attr)));
        if (full) {
            PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
            if (found) return Ref::borrow(found);
        }
    }
    PyErr_Clear();  // whatever went wrong above, the report is the one below
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name(attr));
    return Ref();
}

// PEP 560: bases that are not types may stand for others through
// __mro_entries__. Returns the resolved tuple (the same one when unchanged).
Ref resolve_bases(PyObject* bases) {
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    Ref resolved;  // made on the first replacement
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        PyObject* entries_fn = nullptr;
        int has = 0;
        if (!PyType_Check(base)) {
            has = lookup_attr(base, name(N::dunder_mro_entries), &entries_fn);
            if (has < 0) return Ref();
        }
        if (!has) {
            if (resolved && PyList_Append(resolved.get(), base) < 0) return Ref();
            continue;
        }
        Ref fn = Ref::steal(entries_fn);
        PyObject* argv[1] = {bases};
        Ref entries = Ref::steal(compat::vectorcall(fn.get(), argv, 1, nullptr));
        if (!entries) return Ref();
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return Ref();
        }
        if (!resolved) {
            resolved = Ref::steal(PyList_New(0));
            if (!resolved) return Ref();
            for (Py_ssize_t j = 0; j < i; ++j)
                if (PyList_Append(resolved.get(), PyTuple_GET_ITEM(bases, j)) < 0) return Ref();
        }
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j)
            if (PyList_Append(resolved.get(), PyTuple_GET_ITEM(entries.get(), j)) < 0)
                return Ref();
    }
    if (!resolved) return Ref::borrow(bases);
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases (borrowed), or nullptr with the
// conflict error.
PyObject* find_metaclass(PyObject* bases) {
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    if (n == 0) return reinterpret_cast<PyObject*>(&PyType_Type);
    PyTypeObject* winner = Py_TYPE(PyTuple_GET_ITEM(bases, 0));
    for (Py_ssize_t i = 1; i < n; ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(winner);
}

Ref create_class(PyObject* ns, int& line) {
    Ref base = Ref::steal(lookup_global(ns, N::BaseCodePostProcessor));
    if (!base) { line = __LINE__; return Ref(); }
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) { line = __LINE__; return Ref(); }
    Ref resolved = resolve_bases(bases.get());
    if (!resolved) { line = __LINE__; return Ref(); }
    PyObject* metaclass = find_metaclass(resolved.get());
    if (!metaclass) { line = __LINE__; return Ref(); }
    Ref meta = Ref::borrow(metaclass);

    PyObject* clsname = name(N::FrontendTorchCodePostProcessor);
    Ref body;
    PyObject* prepare = nullptr;
    int has_prepare = lookup_attr(meta.get(), name(N::dunder_prepare), &prepare);
    if (has_prepare < 0) { line = __LINE__; return Ref(); }
    if (has_prepare) {
        Ref prep = Ref::steal(prepare);
        PyObject* argv[2] = {clsname, resolved.get()};
        body = Ref::steal(compat::vectorcall(prep.get(), argv, 2, nullptr));
    } else {
        body = Ref::steal(PyDict_New());
    }
    if (!body) { line = __LINE__; return Ref(); }
    if (PyObject_SetItem(body.get(), name(N::dunder_module), name(N::ZOK)) < 0 ||
        PyObject_SetItem(body.get(), name(N::dunder_qualname), clsname) < 0) {
        line = __LINE__;
        return Ref();
    }
    if (resolved.get() != bases.get() &&
        PyObject_SetItem(body.get(), name(N::dunder_orig_bases), bases.get()) < 0) {
        line = __LINE__;
        return Ref();
    }
    static const MethodDef* const methods[] = {&k_init_def,       &k_transform_def,
                                               &k_visit_keyword_def, &k_visit_Name_def,
                                               &k_visit_Attribute_def, &k_visit_Call_def};
    for (const MethodDef* def : methods) {
        Ref fn = Ref::steal(function_new(def, ns));
        if (!fn || PyObject_SetItem(body.get(), name(def->name), fn.get()) < 0) {
            line = __LINE__;
            return Ref();
        }
    }
    PyObject* argv[3] = {clsname, resolved.get(), body.get()};
    Ref cls = Ref::steal(compat::vectorcall(meta.get(), argv, 3, nullptr));
    if (!cls) line = __LINE__;
    return cls;
}

// Steps from the sys.modules entry on; `line` tells where a failure was seen.
int exec_body(PyObject* module, PyObject* ns, int& line) {
    // The plain name, beside the full dotted one, so that the class's
    // __module__ can be found in sys.modules too.
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, name(N::ZOK));
    if (!existing) {
        if (PyErr_Occurred()) EXEC_FAIL();
        if (PyDict_SetItem(modules, name(N::ZOK), module) < 0) EXEC_FAIL();
    }

    PyObject* rev = PyDict_GetItemWithError(g.builtins_dict, name(N::reversed));
    if (!rev) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name(N::reversed));
        EXEC_FAIL();
    }
    Py_INCREF(rev);
    Py_XSETREF(g.reversed, rev);

    if (make_constants() < 0) EXEC_FAIL();

    for (N n : {N::os, N::gast}) {
        Ref m = import_plain(ns, n);
        if (!m || PyDict_SetItem(ns, name(n), m.get()) < 0) EXEC_FAIL();
    }
    static const N from_imports[][2] = {
        {N::KQA, N::BaseTransformerConfig}, {N::TEH, N::Transformer},
        {N::RUF, N::ast_to_source_code},    {N::W, N::is_orb_api},
        {N::HUJ, N::BaseCodePostProcessor},
    };
    for (const auto& imp : from_imports) {
        Ref v = import_from(ns, imp[0], imp[1]);
        if (!v || PyDict_SetItem(ns, name(imp[1]), v.get()) < 0) EXEC_FAIL();
    }

    Ref cls = create_class(ns, line);
    if (!cls) return -1;
    if (PyDict_SetItem(ns, name(N::FrontendTorchCodePostProcessor), cls.get()) < 0) EXEC_FAIL();

    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(ns, name(N::dunder_test), test.get()) < 0) EXEC_FAIL();
    if (compat::watch_namespaces(ns, g.builtins_dict) < 0) EXEC_FAIL();
    return 0;
}

int exec(PyObject* module) noexcept {
    if (g.module) {
        if (g.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ZOK' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    Py_INCREF(module);
    g.module = module;
    PyObject* ns = PyModule_GetDict(module);

    int rc = -1;
    int line = 0;
    do {
        Ref builtins = Ref::steal(compat::add_module("builtins"));
        if (!builtins) break;
        if (!g.builtins) {
            g.builtins = Ref::borrow(builtins.get()).release();
            g.builtins_dict = PyModule_GetDict(g.builtins);
        }
        if (PyDict_SetItem(ns, name(N::dunder_builtins), builtins.get()) < 0) break;
        if (version_check() < 0) break;
        if (make_strings() < 0) break;
        rc = exec_body(module, ns, line);
        if (rc < 0) add_traceback(g.init_name, g.empty_tuple, 0, "module.cpp", line, ns);
    } while (false);
    if (rc < 0) Py_CLEAR(g.module);
    return rc;
}

PyModuleDef_Slot k_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyMethodDef k_no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef k_def = {
    PyModuleDef_HEAD_INIT, "ZOK", nullptr, 0, k_no_functions, k_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zok

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_ZOK() {
    return PyModuleDef_Init(&zok::k_def);
}
