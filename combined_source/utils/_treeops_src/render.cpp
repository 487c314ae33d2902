// The stand-in renderer's most common texts, natively: names, attribute
// chains, calls and constants of the plain kinds (str, int, bool, None), as
// RUF.py's direct path writes them. Any other node, any field of another type
// and any error hands the whole node to the Python renderer (RUF's
// `_python_source_code`), which gives the text, or the error, of the
// reference; so do calls with other arguments than one positional node.
#include "treeops.hpp"

namespace treeops {

namespace {

// Appends the text of `node` to `parts`: 1 done, 0 not handled here (no
// error set), -1 error.
int expr(PyObject* node, PyObject* parts) noexcept;

// Appends `text` (a new reference, taken over) to the list `parts`.
inline int push(PyObject* parts, PyObject* text) noexcept {
    if (!text) return -1;
    int status = PyList_Append(parts, text);
    Py_DECREF(text);
    return status < 0 ? -1 : 1;
}

inline int push_borrowed(PyObject* parts, PyObject* text) noexcept {
    return PyList_Append(parts, text) < 0 ? -1 : 1;
}

int constant(PyObject* node, PyObject* parts) noexcept {
    Ref value;
    int found = optional_attr(node, names.value, value);
    if (found <= 0) return found;
    PyObject* v = value.get();
    // bool is a subclass of int, and its repr is what the reference writes.
    if (!(PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) || v == Py_None)) return 0;
    Ref kind;
    found = optional_attr(node, names.kind, kind);
    if (found <= 0) return found;
    // `kind == "u"` with a kind of another type could run its __eq__.
    if (kind.get() != Py_None) {
        if (!PyUnicode_CheckExact(kind.get())) return 0;
        if (PyUnicode_CompareWithASCIIString(kind.get(), "u") == 0 && push_borrowed(parts, render_kinds.u_prefix) < 0)
            return -1;
    }
    return push(parts, PyObject_Repr(v));
}

int attribute(PyObject* node, PyObject* parts) noexcept {
    Ref value, attr;
    int found = optional_attr(node, names.value, value);
    if (found <= 0) return found;
    found = optional_attr(node, names.attr, attr);
    if (found <= 0) return found;
    if (!PyUnicode_CheckExact(attr.get())) return 0;
    // A constant before the dot (`1 .real`) is left to the Python path.
    if (Py_TYPE(value.get()) == reinterpret_cast<PyTypeObject*>(render_kinds.constant)) return 0;
    int done = expr(value.get(), parts);
    if (done <= 0) return done;
    if (push_borrowed(parts, render_kinds.dot) < 0) return -1;
    return push_borrowed(parts, attr.get());
}

int call(PyObject* node, PyObject* parts) noexcept {
    Ref func, args, keywords;
    int found = optional_attr(node, names.func, func);
    if (found <= 0) return found;
    if ((found = optional_attr(node, names.args, args)) <= 0) return found;
    if ((found = optional_attr(node, names.keywords, keywords)) <= 0) return found;
    if (!PyList_CheckExact(args.get()) || !PyList_CheckExact(keywords.get())) return 0;
    int done = expr(func.get(), parts);
    if (done <= 0) return done;
    if (push_borrowed(parts, render_kinds.open) < 0) return -1;
    bool first = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args.get()); ++i) {
        if (!first && push_borrowed(parts, render_kinds.comma) < 0) return -1;
        first = false;
        Ref arg = Ref::borrow(PyList_GET_ITEM(args.get(), i));
        if ((done = expr(arg.get(), parts)) <= 0) return done;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keywords.get()); ++i) {
        Ref k = Ref::borrow(PyList_GET_ITEM(keywords.get(), i));
        if (Py_TYPE(k.get()) != reinterpret_cast<PyTypeObject*>(render_kinds.keyword)) return 0;
        Ref name, value;
        if ((found = optional_attr(k.get(), names.arg, name)) <= 0) return found;
        if ((found = optional_attr(k.get(), names.value, value)) <= 0) return found;
        if (name.get() != Py_None && !PyUnicode_CheckExact(name.get())) return 0;
        if (!first && push_borrowed(parts, render_kinds.comma) < 0) return -1;
        first = false;
        if (name.get() == Py_None) {
            if (push_borrowed(parts, render_kinds.star_star) < 0) return -1;
        } else if (push_borrowed(parts, name.get()) < 0 || push_borrowed(parts, render_kinds.equals) < 0) {
            return -1;
        }
        if ((done = expr(value.get(), parts)) <= 0) return done;
    }
    return push_borrowed(parts, render_kinds.close);
}

int expr(PyObject* node, PyObject* parts) noexcept {
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(node));
    if (t == render_kinds.name) {
        Ref id;
        int found = optional_attr(node, names.id, id);
        if (found <= 0) return found;
        if (!PyUnicode_CheckExact(id.get())) return 0;
        return push(parts, id.release());
    }
    PyThreadState* ts = zok::enter_call();
    if (!ts) return -1;
    int done = 0;
    if (t == render_kinds.attribute) {
        done = attribute(node, parts);
    } else if (t == render_kinds.call) {
        done = call(node, parts);
    } else if (t == render_kinds.constant) {
        done = constant(node, parts);
    }
    zok::leave_call(ts);
    return done;
}

}  // namespace

PyObject* render(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (renderer_ready() < 0) return nullptr;
    if (nargs == 1 && !kwnames) {
        Ref parts = Ref::steal(PyList_New(0));
        int done = parts ? expr(args[0], parts.get()) : -1;
        if (done > 0 && (render_kinds.end == Py_None || push_borrowed(parts.get(), render_kinds.end) > 0)) {
            PyObject* text = PyUnicode_Join(render_kinds.empty, parts.get());
            if (text) return text;
        }
        if (PyErr_Occurred()) {
            // An error here is the Python path's to raise or not (it renders
            // the node the reference way); an interruption stays.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
        }
    }
    // Held for the call: the renderer may be configured anew meanwhile.
    Ref fallback = Ref::borrow(render_kinds.fallback);
    return zok::compat::vectorcall(fallback.get(), args, static_cast<size_t>(nargs), kwnames);
}

PyObject* configure_render(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 7) {
        PyErr_Format(PyExc_TypeError, "configure_render() takes 7 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject** slots[] = {&render_kinds.name, &render_kinds.attribute, &render_kinds.call, &render_kinds.constant,
                          &render_kinds.keyword, &render_kinds.fallback, &render_kinds.end};
    for (int i = 0; i < 7; ++i) Py_XSETREF(*slots[i], new_ref(args[i]));
    Py_RETURN_NONE;
}

}  // namespace treeops
