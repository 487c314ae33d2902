// The few spellings that differ between CPython versions (3.8 to 3.15).
// Nothing else in the module tests the interpreter version: the rest of the
// code calls the functions below.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x03090000
// 3.8 exports the method look-up that skips the bound-method object but does
// not declare it in its headers.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace zok::compat {

// ---- vectorcall -----------------------------------------------------------
// Provisional and underscored in 3.8, public from 3.9. A callable's own
// vectorcall entry is called directly; callables without one go through the
// interpreter's generic call. A NULL result without an exception is
// reported the same way on every version.

[[gnu::cold, gnu::noinline]] inline PyObject* null_without_error(PyObject* callable) {
    PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an error", callable);
    return nullptr;
}

#if PY_VERSION_HEX >= 0x03090000
constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = Py_TPFLAGS_HAVE_VECTORCALL;

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    vectorcallfunc f = PyVectorcall_Function(callable);
    if (!f) return PyObject_Vectorcall(callable, args, nargsf, kwnames);
    PyObject* res = f(callable, args, nargsf, kwnames);
    if (!res && !PyErr_Occurred()) return null_without_error(callable);
    return res;
}
#else
constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = _Py_TPFLAGS_HAVE_VECTORCALL;

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    vectorcallfunc f = _PyVectorcall_Function(callable);
    if (!f) return _PyObject_MakeTpCall(callable, args, PyVectorcall_NARGS(nargsf), kwnames);
    PyObject* res = f(callable, args, nargsf, kwnames);
    if (!res && !PyErr_Occurred()) return null_without_error(callable);
    return res;
}
#endif

// ---- method calls -----------------------------------------------------------
// Calls args[0].name(*args[1:nargs]) like the interpreter's method-call
// opcodes: a plain function found on the type is called with args[0]
// prepended, without building a bound method; anything else is read as an
// attribute and called. `args` must be writable (the callee may borrow the
// slot before its first argument). 3.8 has the look-up only as a private
// function; from 3.9 the public call does the same.

#if PY_VERSION_HEX >= 0x03090000
inline PyObject* call_method(PyObject* name, PyObject** args, size_t nargs) {
    return PyObject_VectorcallMethod(name, args, nargs, nullptr);
}
#else
inline PyObject* call_method(PyObject* name, PyObject** args, size_t nargs) {
    PyObject* meth = nullptr;
    int unbound = _PyObject_GetMethod(args[0], name, &meth);
    if (!meth) return nullptr;
    PyObject* res = unbound
        ? vectorcall(meth, args, nargs, nullptr)
        : vectorcall(meth, args + 1, (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(meth);
    return res;
}
#endif

// ---- code objects -----------------------------------------------------------
// A code object whose variables are `varnames` (the first `argcount` of them
// parameters) and which never runs. A traceback entry made from a fresh frame
// of it shows `firstlineno`: up to 3.10 the line of a frame that has not
// started is the first line; from 3.11 it is read from the location table at
// the frame's instruction (3.13 places a fresh frame one instruction in), so
// there the code carries the instructions and the one-line location table of
// the interpreter's own empty code object. 3.11 also added the qualified name
// and the exception table; 3.12 moved the constructor to the unstable API.

#if PY_VERSION_HEX >= 0x030B0000
struct CodeBody {
    PyObject* code = nullptr;       // instructions
    PyObject* linetable = nullptr;  // every instruction at the first line
    int stacksize = 0;
};

// Taken once from PyCode_NewEmpty and kept for the life of the process;
// nullptr with an exception set when it cannot be made.
inline const CodeBody* empty_code_body() {
    static CodeBody body;
    if (body.code) return &body;
    PyCodeObject* empty = PyCode_NewEmpty("", "", 1);
    if (!empty) return nullptr;
    PyObject* linetable = PyObject_GetAttrString(reinterpret_cast<PyObject*>(empty), "co_linetable");
    PyObject* code = linetable ? PyCode_GetCode(empty) : nullptr;
    int stacksize = empty->co_stacksize;
    Py_DECREF(empty);
    if (!code) {
        Py_XDECREF(linetable);
        return nullptr;
    }
    body.linetable = linetable;
    body.stacksize = stacksize;
    body.code = code;
    return &body;
}
#endif

inline PyCodeObject* new_code(int argcount, PyObject* varnames, PyObject* filename,
                              PyObject* name, PyObject* qualname, int firstlineno,
                              PyObject* empty_bytes, PyObject* empty_tuple) {
    int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
#if PY_VERSION_HEX >= 0x030B0000
    const CodeBody* body = empty_code_body();
    if (!body) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_NewWithPosOnlyArgs(
#else
    return PyCode_NewWithPosOnlyArgs(
#endif
        argcount, 0, 0, nlocals, body->stacksize, flags, body->code, empty_tuple, empty_tuple,
        varnames, empty_tuple, empty_tuple, filename, name, qualname, firstlineno,
        body->linetable, empty_bytes);
#else
    (void)qualname;
    return PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple,
                                     empty_tuple, varnames, empty_tuple, empty_tuple, filename,
                                     name, firstlineno, empty_bytes);
#endif
}

// ---- the pending exception --------------------------------------------------
// Taken out while a traceback entry is built and put back afterwards. 3.12
// keeps one exception object where earlier versions keep a triple.

#if PY_VERSION_HEX >= 0x030C0000
struct PendingError {
    PyObject* exc = PyErr_GetRaisedException();
    void restore() noexcept { PyErr_SetRaisedException(exc); }
};
#else
struct PendingError {
    PyObject *type, *value, *tb;
    PendingError() noexcept { PyErr_Fetch(&type, &value, &tb); }
    void restore() noexcept { PyErr_Restore(type, value, tb); }
};
#endif

// ---- interpreters, modules, attributes, strings ----------------------------

inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// The module `name` from sys.modules, created empty when missing. New
// reference, or nullptr with an exception set.
inline PyObject* add_module(const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    PyObject* m = PyImport_AddModule(name);
    Py_XINCREF(m);
    return m;
#endif
}

// The interpreter's recursion guard. On 3.8, 3.12 and 3.13 the counter is
// entered as the interpreter's own calls do, with the thread state fetched
// once for entering and leaving: 3.12 and 3.13 count down the C recursion
// budget kept in the thread state, and only when it is nearly used up is
// the public call made, which checks it and raises. 3.9 to 3.11, and 3.14
// on (which measure the C stack instead of keeping that budget), are
// entered through the public calls. The token to leave with (the thread
// state where leaving needs it), or nullptr with RecursionError set.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
inline PyThreadState* enter_recursion(const char* where) {
    PyThreadState* ts = PyThreadState_Get();
    if (ts->c_recursion_remaining > 1) {
        // What the public call does while the budget lasts.
        --ts->c_recursion_remaining;
        return ts;
    }
    return Py_EnterRecursiveCall(where) ? nullptr : ts;
}

inline void leave_recursion(PyThreadState* ts) { ++ts->c_recursion_remaining; }
#elif PY_VERSION_HEX >= 0x03090000
// Leaving needs no thread state here, so none is fetched: the token is a
// marker that is not null.
inline PyThreadState* entered_marker() {
    static char marker;
    return reinterpret_cast<PyThreadState*>(&marker);
}

inline PyThreadState* enter_recursion(const char* where) {
    return Py_EnterRecursiveCall(where) ? nullptr : entered_marker();
}

inline void leave_recursion(PyThreadState*) { Py_LeaveRecursiveCall(); }
#else
inline PyThreadState* enter_recursion(const char* where) {
    PyThreadState* ts = PyThreadState_Get();
    if (++ts->recursion_depth > _Py_CheckRecursionLimit && _Py_CheckRecursiveCall(where))
        return nullptr;  // the check took its count back
    return ts;
}

inline void leave_recursion(PyThreadState* ts) {
    int limit = _Py_CheckRecursionLimit;
    int low_water = limit > 200 ? limit - 50 : 3 * (limit >> 2);
    if (--ts->recursion_depth < low_water) ts->overflowed = 0;
}
#endif

// Optional attribute: 1 found (*out set), 0 absent (AttributeError cleared), -1 error.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// The version tag of a type's attributes: the interpreter gives the type a
// new one whenever an attribute of it or of a base is set or deleted (its
// own attribute cache is checked against it), and none (0 here) until a
// look-up needs one. Up to 3.12 a flag tells whether the tag still holds;
// from 3.13 a changed type's tag is 0.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030D0000
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return type->tp_version_tag;
}

// The dict of a type's own attributes, as a new reference: 3.12 keeps
// those of the interpreter's static types apart, behind PyType_GetDict.
inline PyObject* type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// Strings made by the legacy APIs must be made ready before their data is
// read; 3.12 has no such strings. 0, or -1 with an exception.
#if PY_VERSION_HEX < 0x030C0000
inline int unicode_ready(PyObject* s) { return PyUnicode_READY(s); }
#else
inline int unicode_ready(PyObject*) { return 0; }
#endif

// ---- module-level look-up cache ---------------------------------------------
// A look-up of a module-level name may be served again for as long as
// neither the module namespace nor the builtins dict has changed since. A
// `DictStamp` taken at the look-up proves that; `stamp_holds` checks it.
//
// Up to 3.11 every change of a dict gives it a new, globally unique version
// tag, so the stamp is the pair of tags. 3.12 deprecates the tag and offers
// dict watchers instead: both dicts are watched, any event on either (a
// store, a deletion, a clear, the dict's end) moves an epoch on before the
// dict changes, and the stamp is the epoch. When no watcher can be had (all
// slots taken by other extensions) stamps never hold and every look-up is
// a plain one.

#if PY_VERSION_HEX < 0x030C0000
struct DictStamp {
    PyObject* globals;
    uint64_t globals_version;
    uint64_t builtins_version;
};

inline uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }

inline DictStamp dict_stamp(PyObject* globals, PyObject* builtins) {
    return {globals, dict_version(globals), dict_version(builtins)};
}

inline bool stamp_holds(const DictStamp& s, PyObject* globals, PyObject* builtins) {
    return s.globals == globals && s.globals_version == dict_version(globals) &&
           s.builtins_version == dict_version(builtins);
}

// Nothing to set up: the tags are kept by every dict. 0.
inline int watch_namespaces(PyObject*, PyObject*) { return 0; }
#else
struct DictStamp {
    PyObject* globals;
    uint64_t epoch;  // 0 never holds
};

struct NamespaceWatch {
    int watcher_id = -1;              // -1 not asked for yet, -2 none to be had
    PyObject* globals = nullptr;      // the watched namespace (with the builtins dict)
    uint64_t epoch = 1;               // moved on by every event on a watched dict
};
inline NamespaceWatch namespace_watch;

// Called by the interpreter before a watched dict changes. Runs no Python
// code and never fails. A namespace that goes away is no longer watched, so
// a new dict at its address is never taken for it.
inline int on_namespace_event(PyDict_WatchEvent event, PyObject* dict, PyObject*,
                              PyObject*) noexcept {
    ++namespace_watch.epoch;
    if (event == PyDict_EVENT_DEALLOCATED && dict == namespace_watch.globals)
        namespace_watch.globals = nullptr;
    return 0;
}

inline DictStamp dict_stamp(PyObject* globals, PyObject*) {
    return {globals, globals == namespace_watch.globals ? namespace_watch.epoch : 0};
}

inline bool stamp_holds(const DictStamp& s, PyObject* globals, PyObject*) {
    return s.epoch == namespace_watch.epoch && s.globals == globals;
}

// Watches `globals` and `builtins` for the look-up cache. 0, or -1 with an
// exception set.
inline int watch_namespaces(PyObject* globals, PyObject* builtins) {
    NamespaceWatch& w = namespace_watch;
    if (w.watcher_id == -1) {
        int id = PyDict_AddWatcher(on_namespace_event);
        if (id < 0) {
            // Every watcher slot is taken: look-ups stay uncached, which
            // gives the same results.
            PyErr_Clear();
            w.watcher_id = -2;
            return 0;
        }
        w.watcher_id = id;
    }
    if (w.watcher_id < 0) return 0;
    if (PyDict_Watch(w.watcher_id, globals) < 0 || PyDict_Watch(w.watcher_id, builtins) < 0)
        return -1;
    w.globals = globals;
    ++w.epoch;
    return 0;
}
#endif

}  // namespace zok::compat
