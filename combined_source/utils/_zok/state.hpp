// Process-wide state: one copy per process, raw pointers that are never
// freed (a static destructor would run after the interpreter is gone).
#pragma once

#include "names.hpp"
#include "ref.hpp"
#include "stack.hpp"

#include <cstdint>

namespace zok {

struct State {
    int64_t interpreter_id = -1;   // recorded by the first create step
    PyObject* module = nullptr;    // the module object, once the exec step started
    PyObject* builtins = nullptr;  // the builtins module
    PyObject* builtins_dict = nullptr;
    PyObject* reversed = nullptr;  // builtin reversed, captured at initialisation
    PyObject* env_get_args = nullptr;    // ("APPLY_TRANSPOSE_OPTIMIZATION", None)
    PyObject* init_defaults = nullptr;   // ("arr",)
    PyObject* attribute_kwnames = nullptr;  // ("value", "attr", "ctx")
    PyObject* zero = nullptr;             // 0, the index of body[0] and args[0]
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* init_name = nullptr;        // "init ZOK", the initialisation's traceback entry
};

extern State g;

// A module-level name, looked up at each use: the namespace `globals`, then
// the builtins. New reference, or nullptr with NameError (or the look-up's
// own error) set.
PyObject* lookup_global(PyObject* globals, N n) noexcept;

// The result of the last look-up of each name, valid while its stamp holds
// (neither the namespace nor the builtins changed since). The value is
// borrowed from the dict that held it, which a holding stamp proves still
// does.
struct GlobalCacheEntry {
    compat::DictStamp stamp;
    PyObject* value;
};
extern GlobalCacheEntry g_global_cache[static_cast<int>(N::count_)];

// lookup_global, served from the cache while the dicts are unchanged; the
// same results, the same errors.
inline PyObject* cached_global(PyObject* globals, N n) noexcept {
    const GlobalCacheEntry& e = g_global_cache[static_cast<int>(n)];
    if (e.value && compat::stamp_holds(e.stamp, globals, g.builtins_dict)) {
        Py_INCREF(e.value);
        return e.value;
    }
    return lookup_global(globals, n);
}

// Exact, case-sensitive equality of `v` with the constant `c`. A value that
// is not a str equals nothing; no Python-level __eq__ is ever called.
// 1 equal, 0 not, -1 error (only when a legacy str cannot be made ready).
inline int str_eq(PyObject* v, PyObject* c) noexcept {
    if (v == c) return 1;
    if (!PyUnicode_Check(v)) return 0;
    if (compat::unicode_ready(v) < 0) return -1;
    Py_ssize_t len = PyUnicode_GET_LENGTH(v);
    if (len != PyUnicode_GET_LENGTH(c) || PyUnicode_KIND(v) != PyUnicode_KIND(c)) return 0;
    return memcmp(PyUnicode_DATA(v), PyUnicode_DATA(c),
                  static_cast<size_t>(len) * PyUnicode_KIND(v)) == 0;
}


}  // namespace zok
