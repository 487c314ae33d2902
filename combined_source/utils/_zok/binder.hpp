// Argument binding shared by the six methods: positional arguments plus a
// tuple of keyword names (vectorcall), matched against interned parameter
// names by identity first and by string equality as a fallback.
#pragma once

#include "function.hpp"

namespace zok {

constexpr int k_max_params = 5;

// Fills out[0 .. def.nparams) with borrowed references; an optional
// parameter that nothing supplies gets `optional_default`.
// 0 on success, -1 with TypeError (or a comparison's error) set.
int bind_arguments(const MethodDef& def, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject* optional_default, PyObject** out) noexcept;

}  // namespace zok
