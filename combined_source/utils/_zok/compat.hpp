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

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

// Calls obj.name(arg) like the interpreter's method-call opcodes: a plain
// function found on the type is called with obj prepended, without building a
// bound method; anything else is read as an attribute and called.
inline PyObject* call_method_1(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* meth = nullptr;
    int unbound = _PyObject_GetMethod(obj, name, &meth);
    if (!meth) return nullptr;
    PyObject* res;
    if (unbound) {
        PyObject* args[2] = {obj, arg};
        res = _PyObject_Vectorcall(meth, args, 2, nullptr);
    } else {
        PyObject* args[2] = {nullptr, arg};
        res = _PyObject_Vectorcall(meth, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    Py_DECREF(meth);
    return res;
}

inline PyObject* call_method_0(PyObject* obj, PyObject* name) {
    PyObject* meth = nullptr;
    int unbound = _PyObject_GetMethod(obj, name, &meth);
    if (!meth) return nullptr;
    PyObject* res = unbound ? _PyObject_Vectorcall(meth, &obj, 1, nullptr)
                            : _PyObject_Vectorcall(meth, nullptr, 0, nullptr);
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

// Optional attribute: 1 found (*out set), 0 absent (AttributeError cleared), -1 error.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) {
    return _PyObject_LookupAttr(obj, name, out);
}

#endif

}  // namespace zok::compat
