// The few spellings that differ between CPython versions. Nothing else in the
// module tests the interpreter version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

namespace zok::compat {

#if PY_VERSION_HEX < 0x03090000
// 3.8: vectorcall is provisional and underscored; the method look-up that
// skips the bound-method object exists but is not declared in the headers.
constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = _Py_TPFLAGS_HAVE_VECTORCALL;
}  // namespace zok::compat
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
namespace zok::compat {

[[gnu::cold, gnu::noinline]] inline PyObject* null_without_error(PyObject* callable) {
    PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an error", callable);
    return nullptr;
}

// The callable's vectorcall entry, called directly; callables without one
// go through tp_call. A NULL result without an exception is reported.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    vectorcallfunc f = _PyVectorcall_Function(callable);
    if (!f) return _PyObject_MakeTpCall(callable, args, PyVectorcall_NARGS(nargsf), kwnames);
    PyObject* res = f(callable, args, nargsf, kwnames);
    if (!res && !PyErr_Occurred()) return null_without_error(callable);
    return res;
}

// Calls args[0].name(*args[1:nargs]) like the interpreter's method-call
// opcodes: a plain function found on the type is called with args[0]
// prepended, without building a bound method; anything else is read as an
// attribute and called. `args` must be writable (the callee may borrow the
// slot before its first argument).
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

inline PyCodeObject* new_code(int argcount, int nlocals, PyObject* varnames, PyObject* filename,
                              PyObject* name, int firstlineno, PyObject* empty_bytes,
                              PyObject* empty_tuple) {
    return PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, CO_OPTIMIZED | CO_NEWLOCALS,
                                     empty_bytes, empty_tuple, empty_tuple, varnames,
                                     empty_tuple, empty_tuple, filename, name, firstlineno,
                                     empty_bytes);
}

inline int64_t current_interpreter_id() {
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
}

// The interpreter's recursion guard, as its own calls use it, with the
// thread state fetched once for entering and leaving.
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

// Optional attribute: 1 found (*out set), 0 absent (AttributeError cleared), -1 error.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) {
    return _PyObject_LookupAttr(obj, name, out);
}

#endif

// Strings made by the legacy APIs must be made ready before their data is
// read; 3.12 has no such strings.
#if PY_VERSION_HEX < 0x030C0000
inline int unicode_ready(PyObject* s) { return PyUnicode_READY(s); }
#else
inline int unicode_ready(PyObject*) { return 0; }
#endif

// Dictionary version tags: every change of a dict gives it a new, globally
// unique tag, so an unchanged tag proves an earlier look-up still holds.
#if PY_VERSION_HEX < 0x030C0000
constexpr bool HAVE_DICT_VERSION = true;
inline uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#else
constexpr bool HAVE_DICT_VERSION = false;
inline uint64_t dict_version(PyObject*) { return 0; }
#endif

}  // namespace zok::compat
