#include "binder.hpp"

namespace zok {
namespace {

[[gnu::cold, gnu::noinline]] int count_error(const MethodDef& def, bool too_many,
                                             Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 PyUnicode_AsUTF8(name(def.name)), too_many ? def.many_qual : def.few_qual,
                 too_many ? def.many_n : def.few_n, too_many ? def.many_s : def.few_s, given);
    return -1;
}

[[gnu::cold, gnu::noinline]] int keyword_error(const MethodDef& def, const char* fmt,
                                               PyObject* key) noexcept {
    PyErr_Format(PyExc_TypeError, fmt, PyUnicode_AsUTF8(name(def.name)), key);
    return -1;
}

// Index in kwnames of the keyword naming `param`, -1 when none does, -2 on
// error. Identity first (the usual case with interned names), then equality.
int find_keyword(PyObject* kwnames, Py_ssize_t nkw, PyObject* param) noexcept {
    for (Py_ssize_t j = 0; j < nkw; ++j)
        if (PyTuple_GET_ITEM(kwnames, j) == param) return static_cast<int>(j);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) continue;
        int eq;
        if (PyUnicode_CheckExact(key)) {
            eq = str_eq(key, param);
        } else {
            // A str subclass may compare in its own way, and may raise.
            eq = PyObject_RichCompareBool(key, param, Py_EQ);
        }
        if (eq < 0) return -2;
        if (eq) return static_cast<int>(j);
    }
    return -1;
}

// Index of the parameter named `key`, -1 when none, -2 on error.
int find_param(const MethodDef& def, PyObject* key) noexcept {
    for (int i = 0; i < def.nparams; ++i)
        if (name(def.params[i]) == key) return i;
    for (int i = 0; i < def.nparams; ++i) {
        int eq = PyUnicode_CheckExact(key) ? str_eq(key, name(def.params[i]))
                                           : PyObject_RichCompareBool(key, name(def.params[i]), Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

// Keywords were left over: the first offending one decides the error.
[[gnu::cold, gnu::noinline]] int leftover_keyword_error(const MethodDef& def, Py_ssize_t nargs,
                                                        PyObject* kwnames) noexcept {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         PyUnicode_AsUTF8(name(def.name)));
            return -1;
        }
        int i = find_param(def, key);
        if (i == -2) return -1;
        if (i >= nargs) continue;  // names an unfilled parameter: it was supplied by it
        if (i >= 0)
            return keyword_error(def, "%s() got multiple values for keyword argument '%U'", key);
        return keyword_error(def, "%s() got an unexpected keyword argument '%U'", key);
    }
    return 0;
}

}  // namespace

int bind_arguments(const MethodDef& def, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject* optional_default, PyObject** out) noexcept {
    if (nargs > def.nparams) return count_error(def, true, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < def.nrequired) return count_error(def, false, nargs);
        for (Py_ssize_t i = nargs; i < def.nparams; ++i) out[i] = optional_default;
        return 0;
    }
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t left = nkw;
    for (int i = static_cast<int>(nargs); i < def.nparams; ++i) {
        bool required = i < def.nrequired;
        if (!required && left == 0) {
            out[i] = optional_default;
            continue;
        }
        int j = find_keyword(kwnames, nkw, name(def.params[i]));
        if (j == -2) return -1;
        if (j >= 0) {
            out[i] = kwvalues[j];
            --left;
        } else if (required) {
            return count_error(def, false, i);
        } else {
            out[i] = optional_default;
        }
    }
    if (left > 0) return leftover_keyword_error(def, nargs, kwnames);
    return 0;
}

}  // namespace zok
