#include "state.hpp"

namespace zok {

State g;
GlobalCacheEntry g_global_cache[static_cast<int>(N::count_)];

PyObject* lookup_global(PyObject* globals, N n) noexcept {
    PyObject* key = name(n);
    GlobalCacheEntry& e = g_global_cache[static_cast<int>(n)];
    e.value = nullptr;
    PyObject* v = PyDict_GetItemWithError(globals, key);
    if (!v) {
        if (PyErr_Occurred()) return nullptr;
        v = PyDict_GetItemWithError(g.builtins_dict, key);
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
            return nullptr;
        }
    }
    // Looking up a str key runs no Python code, so the stamp taken now
    // belongs to the dicts the value was found in.
    e.stamp = compat::dict_stamp(globals, g.builtins_dict);
    e.value = v;
    Py_INCREF(v);
    return v;
}

}  // namespace zok
