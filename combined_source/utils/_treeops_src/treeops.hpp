// The command line's native tree passes: the conversion of a standard syntax
// tree to gast's node classes, and the host base class's child traversal.
// Both do exactly what the Python code they stand in for does (convert.py's
// `_convert`, HUJ.py's `_walk`), call for call, with the same errors.
#pragma once

#include "../_zok/ref.hpp"
#include "../_zok/stack.hpp"

namespace treeops {

using zok::Ref;

// Process-wide, set once: at module initialisation (the first four) and by
// configure() (the rest). Raw pointers, never freed.
struct Globals {
    PyObject* ast = nullptr;           // ast.AST
    PyObject* empty_tuple = nullptr;
    PyObject* visit_prefix = nullptr;  // "visit_"
    PyObject* method_names = nullptr;  // class name -> "visit_" + class name
    // Set by configure():
    PyObject* std_name = nullptr;      // ast.Name
    PyObject* gast_name = nullptr;     // gast.Name
    PyObject* copy_location = nullptr; // ast.copy_location
    PyObject* plan = nullptr;          // plan(cls) -> how nodes of cls are converted
    PyObject* plans = nullptr;         // the dict plan() fills
    bool names_located = false;        // both Name kinds carry the four position attributes
};
extern Globals g;

// Interned attribute names, made at module initialisation.
struct Names {
    PyObject* id;
    PyObject* ctx;
    PyObject* annotation;
    PyObject* type_comment;
    PyObject* visit;
    PyObject* dunder_class;
    PyObject* dunder_name;
    PyObject* fields;
    PyObject* position[4];  // lineno, col_offset, end_lineno, end_col_offset
    PyObject* value;
    PyObject* kind;
    PyObject* attr;
    PyObject* func;
    PyObject* args;
    PyObject* keywords;
    PyObject* arg;
};
extern Names names;

// What the renderer works with: the gast kinds it writes (set by
// configure_render, with the Python renderer it hands everything else to and
// the text ending every rendering, or None) and its fixed pieces of text.
struct Render {
    PyObject* name = nullptr;
    PyObject* attribute = nullptr;
    PyObject* call = nullptr;
    PyObject* constant = nullptr;
    PyObject* keyword = nullptr;
    PyObject* fallback = nullptr;
    PyObject* end = nullptr;
    PyObject* u_prefix = nullptr;  // "u"
    PyObject* dot = nullptr;       // "."
    PyObject* open = nullptr;      // "("
    PyObject* close = nullptr;     // ")"
    PyObject* comma = nullptr;     // ", "
    PyObject* star_star = nullptr; // "**"
    PyObject* equals = nullptr;    // "="
    PyObject* empty = nullptr;     // ""
};
extern Render render_kinds;

// The converter object: gast's converter class is combined with this type,
// whose `_visit` method is the conversion.
struct Converter {
    PyObject_HEAD
    PyObject* fields;  // dict node -> recorded fields, or None
    PyObject* record;  // record(node, fields) for nodes gast's converter made, or None
};
extern PyTypeObject ConverterType;
int ready_converter_type() noexcept;

// configure(ast.Name, gast.Name, ast.copy_location, plan, plans)
PyObject* configure(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
// configure_render(Name, Attribute, Call, Constant, keyword, fallback, end)
PyObject* configure_render(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
// render(node): the source text of `node`, as RUF's renderer gives it
PyObject* render(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// same(x, y, left, right, kinds, skip, settle, report): trees.py's `same`
PyObject* same(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
// walk(processor, node, visit, generic)
PyObject* walk(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// isinstance(v, cls) for a plain class: the type test first, the full
// test (which also looks at `__class__`) only when that fails.
inline int is_instance(PyObject* v, PyObject* cls) noexcept {
    if (PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(cls))) return 1;
    return PyObject_IsInstance(v, cls);
}

inline PyObject* new_ref(PyObject* o) noexcept {
    Py_INCREF(o);
    return o;
}

// A getattr that treats AttributeError as absence: 1 found, 0 absent, -1 error.
inline int optional_attr(PyObject* obj, PyObject* name, Ref& out) noexcept {
    PyObject* v = nullptr;
    int found = zok::compat::lookup_attr(obj, name, &v);
    out = Ref::steal(v);
    return found;
}

// f(arg), through vectorcall.
inline PyObject* call1(PyObject* f, PyObject* arg) noexcept {
    PyObject* argv[2] = {nullptr, arg};
    return zok::compat::vectorcall(f, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

inline PyObject* call2(PyObject* f, PyObject* a, PyObject* b) noexcept {
    PyObject* argv[3] = {nullptr, a, b};
    return zok::compat::vectorcall(f, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace treeops
