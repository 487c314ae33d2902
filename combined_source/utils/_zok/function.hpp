// The function objects that carry the six methods of the class: they bind
// to instances like Python functions, take vectorcall arguments and add a
// traceback entry when an exception leaves them.
#pragma once

#include "state.hpp"

namespace zok {

// What a method body works with: the namespace of its module-level names and
// the line at which a failure was detected (for the traceback entry).
struct Ctx {
    PyObject* globals;
    int line;
};

// Records the line where a failure was detected (the exception is already
// set) and returns nullptr from the method body.
#define ZOK_FAIL(c)          \
    do {                     \
        (c).line = __LINE__; \
        return nullptr;      \
    } while (0)

// Bound parameters, in declaration order (borrowed references).
using Impl = PyObject* (*)(Ctx& c, PyObject* const* params);

struct MethodDef {
    N name;
    Impl impl;
    int nparams;
    int nrequired;
    const N* params;   // nparams names
    const N* locals;   // extra local names listed in the code object
    int nlocals;
    const char* filename;
    int firstline;
    // count error wording: too few / too many
    const char* few_qual;
    Py_ssize_t few_n;
    const char* few_s;
    const char* many_qual;
    Py_ssize_t many_n;
    const char* many_s;
};

// The six methods, in the order they enter the class namespace.
extern const MethodDef k_init_def, k_transform_def, k_visit_keyword_def, k_visit_Name_def,
    k_visit_Attribute_def, k_visit_Call_def;

// Creates the type (once); -1 with an exception on failure.
int function_type_ready() noexcept;

// A new function object for `def`, whose module-level names live in `globals`.
PyObject* function_new(const MethodDef* def, PyObject* globals) noexcept;

// Adds a traceback entry named `qualname` for the pending exception, at
// `line` of `filename`; keeps the pending exception as it is.
void add_traceback(PyObject* qualname, PyObject* varnames, int argcount, const char* filename,
                   int line, PyObject* globals) noexcept;

}  // namespace zok
