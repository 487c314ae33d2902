// Operations the rewrite methods share. Each returns a new reference (or
// 1/0 for a test) and nullptr/-1 with the exception set; the caller records
// the line where it noticed the failure.
#pragma once

#include "function.hpp"

#include <initializer_list>

namespace zok::ops {

inline Ref getattr(PyObject* o, N n) noexcept { return Ref::steal(PyObject_GetAttr(o, name(n))); }

inline Ref global(Ctx& c, N n) noexcept { return Ref::steal(cached_global(c.globals, n)); }

inline Ref call1(PyObject* f, PyObject* arg) noexcept {
    PyObject* args[2] = {nullptr, arg};
    return Ref::steal(compat::vectorcall(f, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The truth value, with the two usual answers decided inline.
inline int truth(PyObject* v) noexcept {
    if (v == Py_True) return 1;
    if (v == Py_False || v == Py_None) return 0;
    return PyObject_IsTrue(v);
}

// Subscript with the constant 0: a list is read directly, anything else
// through the full subscript protocol.
inline Ref item0(PyObject* seq) noexcept {
    if (PyList_CheckExact(seq) && PyList_GET_SIZE(seq) > 0)
        return Ref::borrow(PyList_GET_ITEM(seq, 0));
    return Ref::steal(PyObject_GetItem(seq, g.zero));
}

// self.generic_visit(node), result dropped. 0 or -1.
inline int generic_visit(PyObject* self, PyObject* node) noexcept {
    PyObject* args[2] = {self, node};
    PyObject* r = compat::call_method(name(N::generic_visit), args, 2);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// str.strip() of an exact str that has white space at one of its ends: the
// substring between the white space, found as str.strip finds it.
[[gnu::noinline]] inline Ref strip_exact(Ref text) noexcept {
    PyObject* t = text.get();
    Py_ssize_t n = PyUnicode_GET_LENGTH(t);
    int kind = PyUnicode_KIND(t);
    const void* data = PyUnicode_DATA(t);
    Py_ssize_t i = 0, j = n;
    while (i < j && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
    while (j > i && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, j - 1))) --j;
    return Ref::steal(PyUnicode_Substring(t, i, j));
}

// text.strip(). An exact str is stripped here, as str.strip does it (the
// same white space, the string itself when nothing is stripped, otherwise
// the substring); the type str cannot be changed, so nothing can tell the
// difference. Every other object gets its own strip called.
inline Ref strip(Ref text) noexcept {
    PyObject* t = text.get();
    if (PyUnicode_CheckExact(t)) {
        if (compat::unicode_ready(t) < 0) return Ref();
        Py_ssize_t n = PyUnicode_GET_LENGTH(t);
        if (n == 0) return text;
        int kind = PyUnicode_KIND(t);
        const void* data = PyUnicode_DATA(t);
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, 0)) &&
            !Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, n - 1)))
            return text;  // the usual case: nothing to strip
        return strip_exact(std::move(text));
    }
    return Ref::steal(compat::call_method(name(N::strip), &t, 1));
}

// ast_to_source_code(node).strip()
inline Ref render(Ctx& c, PyObject* node) noexcept {
    Ref f = global(c, N::ast_to_source_code);
    if (!f) return f;
    Ref text = call1(f.get(), node);
    if (!text) return text;
    return strip(std::move(text));
}

// gast.parse
inline Ref parse_function(Ctx& c) noexcept {
    Ref gast = global(c, N::gast);
    if (!gast) return gast;
    return getattr(gast.get(), N::parse);
}

// parse(text).body[0].value
inline Ref parse_with(PyObject* parse, PyObject* text) noexcept {
    Ref module = call1(parse, text);
    if (!module) return module;
    Ref body = getattr(module.get(), N::body);
    if (!body) return body;
    Ref first = item0(body.get());
    if (!first) return first;
    return getattr(first.get(), N::value);
}

// A fresh expression node for the constant text `t`.
inline Ref replacement(Ctx& c, N t) noexcept {
    Ref parse = parse_function(c);
    if (!parse) return parse;
    return parse_with(parse.get(), name(t));
}

// gast.<cls>, for an instance test.
inline Ref gast_class(Ctx& c, N cls) noexcept {
    Ref gast = global(c, N::gast);
    if (!gast) return gast;
    return getattr(gast.get(), cls);
}

// isinstance(v, gast.<cls>): 1, 0 or -1.
inline int is_gast(Ctx& c, PyObject* v, N cls) noexcept {
    Ref k = gast_class(c, cls);
    if (!k) return -1;
    return PyObject_IsInstance(v, k.get());
}

// os.environ.get("APPLY_TRANSPOSE_OPTIMIZATION", None) == "true"
inline int transpose_on(Ctx& c) noexcept {
    Ref os = global(c, N::os);
    if (!os) return -1;
    Ref environ = getattr(os.get(), N::environ);
    if (!environ) return -1;
    PyObject** key_default = reinterpret_cast<PyTupleObject*>(g.env_get_args)->ob_item;
    PyObject* args[3] = {environ.get(), key_default[0], key_default[1]};
    Ref v = Ref::steal(compat::call_method(name(N::get), args, 3));
    if (!v) return -1;
    return str_eq(v.get(), name(N::s_true));
}

// self.transformer.object_like
inline Ref object_like(PyObject* self) noexcept {
    Ref t = getattr(self, N::transformer);
    if (!t) return t;
    return getattr(t.get(), N::object_like);
}

// is_orb_api(self.transformer.object_like.obj), by its truth value.
inline int orb_api_test(Ctx& c, PyObject* self) noexcept {
    Ref f = global(c, N::is_orb_api);
    if (!f) return -1;
    Ref ol = object_like(self);
    if (!ol) return -1;
    Ref obj = getattr(ol.get(), N::obj);
    if (!obj) return -1;
    Ref r = call1(f.get(), obj.get());
    if (!r) return -1;
    return truth(r.get());
}

// Equality of v with any of the constants, tried in order up to the first
// equal one: 1, 0 or -1.
inline int eq_any(PyObject* v, const N* texts, int count) noexcept {
    for (int i = 0; i < count; ++i) {
        int r = str_eq(v, name(texts[i]));
        if (r) return r;
    }
    return 0;
}

inline int eq_any(PyObject* v, std::initializer_list<N> texts) noexcept {
    return eq_any(v, texts.begin(), static_cast<int>(texts.size()));
}

}  // namespace zok::ops
