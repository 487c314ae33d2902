// The command line's native tree passes: the conversion of a standard syntax
// tree to gast's node classes, and the host base class's child traversal.
// Both do exactly what the Python code they stand in for does (convert.py's
// `_convert`, HUJ.py's `_walk`), call for call, with the same errors.
#pragma once

#include "../_zok/ref.hpp"
#include "../_zok/stack.hpp"
#include "state.hpp"

#include <cstring>

namespace treeops {

using zok::Ref;

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
// configure_render(Name, Attribute, Call, Constant, keyword, fallback, end[, kinds])
PyObject* configure_render(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
// render(node): the source text of `node`, as RUF's renderer gives it
PyObject* render(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// same(x, y, left, right, kinds, skip, settle, report): trees.py's `same`
PyObject* same(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
// walk(processor, node, visit, generic)
PyObject* walk(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
// GenericVisit(function): the host base class's generic_visit as a native
// method (see walk.cpp)
extern PyTypeObject GenericVisitType;
// configure_walk(visit_constant, ast_globals, kinds): see walk.cpp's visit_constant
PyObject* configure_walk(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// isinstance(v, cls). For a class whose metaclass is `type` itself the type
// test comes first and the full test (which also looks at `__class__`) only
// when it fails; any other class goes straight to the full test, which
// honours its metaclass's __instancecheck__.
inline int is_instance(PyObject* v, PyObject* cls) noexcept {
    if (PyType_CheckExact(cls) && PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(cls))) return 1;
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

// The first class of `type`'s MRO whose dict holds `name` (an exact str),
// read from the class dicts without running anything: 1 with `found` set to
// its value there, 0 where none does, 2 where that cannot be told so (a key
// that is not an exact str could compare equal to it by its own `__eq__`;
// an MRO or a dict of an unexpected kind).
int mro_lookup(PyTypeObject* type, PyObject* name, Ref& found) noexcept;

// optional_attr(node, name, out) for a field or position of a syntax tree
// node, the same result read more directly where that is sure (fields.cpp).
int field_attr(PyObject* node, PyObject* name, Ref& out) noexcept;

// field_set past its tests of the kind and the name: straight into the
// node's dict where the kind's classes hold no descriptor of the name
// (fields.cpp).
int field_set_directly(PyObject* node, PyObject* name, PyObject* value) noexcept;

// PyObject_SetAttr(node, name, value) for a field or position of a syntax
// tree node, the same effect had more directly where that is sure.
// setattr interns the name first (an interned one stays as it is), makes a
// missing dict as a shared-key one where the kind keeps keys to share, and
// before 3.11 maintains those keys: only an interned name and a kind
// without such keys take the short way.
inline int field_set(PyObject* node, PyObject* name, PyObject* value) noexcept {
    PyTypeObject* type = Py_TYPE(node);
    if (type->tp_setattro != PyObject_GenericSetAttr || type->tp_dictoffset <= 0 || !PyUnicode_CheckExact(name) ||
        !PyUnicode_CHECK_INTERNED(name) ||
        (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
         reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys != nullptr))
        return PyObject_SetAttr(node, name, value);
    return field_set_directly(node, name, value);
}

// mapping[key] = value: straight into an exact dict, through __setitem__ for
// anything else (a dict subclass's own included).
inline int set_item(PyObject* mapping, PyObject* key, PyObject* value) noexcept {
    if (PyDict_CheckExact(mapping)) return PyDict_SetItem(mapping, key, value);
    return PyObject_SetItem(mapping, key, value);
}

// Owned references kept where neither the collector nor any Python code can
// reach them: the values of a node being built while its children are
// converted (which runs Python code), until the tuple that holds them is made
// and filled with no Python code in between. A tuple made earlier would be
// visible to gc.get_referrers() with empty slots.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
        if (items_ != inline_) PyMem_Free(items_);
    }

    Py_ssize_t size() const noexcept { return size_; }
    PyObject* operator[](Py_ssize_t i) const noexcept { return items_[i]; }

    // Lets go of the items (keeping the memory for the next ones).
    void clear() noexcept {
        while (size_ > 0) Py_DECREF(items_[--size_]);
    }

    // Takes over `item`, a new reference; nullptr (a failed call) or no
    // memory: -1 with the error set.
    int push(PyObject* item) noexcept {
        if (!item) return -1;
        if (size_ == capacity_) {
            Py_ssize_t capacity = 2 * capacity_;
            void* grown = items_ == inline_ ? PyMem_Malloc(capacity * sizeof(PyObject*))
                                            : PyMem_Realloc(items_, capacity * sizeof(PyObject*));
            if (!grown) {
                Py_DECREF(item);
                PyErr_NoMemory();
                return -1;
            }
            if (items_ == inline_) memcpy(grown, inline_, sizeof(inline_));
            items_ = static_cast<PyObject**>(grown);
            capacity_ = capacity;
        }
        items_[size_++] = item;
        return 0;
    }

    // A tuple of the items, which the buffer hands over; nullptr with the
    // error set. Nothing runs between the tuple's making and its filling.
    PyObject* take_tuple() noexcept {
        PyObject* tuple = PyTuple_New(size_);
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < size_; ++i) PyTuple_SET_ITEM(tuple, i, items_[i]);
        size_ = 0;
        return tuple;
    }

private:
    static constexpr Py_ssize_t kInline = 8;  // as many fields as a node kind has
    PyObject* inline_[kInline];
    PyObject** items_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = kInline;
};

// The items of `seq` one by one: an exact tuple read in place, anything else
// (a list, which may change meanwhile, or another iterable) through its
// iterator, as a Python for loop reads it.
class Items {
public:
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    explicit Items(PyObject* seq) noexcept : seq_(seq) {
        if (!PyTuple_CheckExact(seq)) it_ = Ref::steal(PyObject_GetIter(seq));
    }
    // false when the iterator could not be made (error set).
    bool ok() const noexcept { return PyTuple_CheckExact(seq_) || it_; }
    // The next item, or nullptr at the end (error set on failure).
    PyObject* next() noexcept {
        if (!it_) return i_ < PyTuple_GET_SIZE(seq_) ? new_ref(PyTuple_GET_ITEM(seq_, i_++)) : nullptr;
        return PyIter_Next(it_.get());
    }

private:
    PyObject* seq_;  // borrowed: the caller holds it
    Ref it_;
    Py_ssize_t i_ = 0;
};

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
