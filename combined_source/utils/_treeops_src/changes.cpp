// The splicer's change walk (changes.py's `Changes._python_edits`, natively):
// the same nodes in the same order, the same calls of the idempotence hooks,
// of `written_anew`, `redo_fstring` and `change`, the same edits list.
// Unchanged fields are settled here; every change goes to Python.
#include "treeops.hpp"

#include <cstdint>
#include <utility>

namespace treeops {

namespace {

PyObject* s_written_anew = nullptr;
PyObject* s_redo_fstring = nullptr;
PyObject* s_change = nullptr;
PyObject* s_append = nullptr;

int intern_names() noexcept {
    if (s_append) return 0;
    s_written_anew = PyUnicode_InternFromString("written_anew");
    s_redo_fstring = PyUnicode_InternFromString("redo_fstring");
    s_change = PyUnicode_InternFromString("change");
    PyObject* append = PyUnicode_InternFromString("append");
    if (!s_written_anew || !s_redo_fstring || !s_change || !append) {
        Py_XDECREF(append);
        return -1;
    }
    s_append = append;
    return 0;
}

// kind._fields as a tuple (a new reference), from the kind's slot while its
// attribute version holds; nullptr with an exception set.
PyObject* fields_of_kind(PyObject* kind) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(kind);
    auto at = reinterpret_cast<uintptr_t>(type);
    KindFields::Slot& slot = kind_fields.slots[((at >> 4) ^ (at >> 11)) & (KindFields::kSlots - 1)];
    unsigned int version = zok::compat::type_version(type);
    if (version != 0 && slot.kind == type && slot.version == version && Py_TYPE(kind) == &PyType_Type)
        return new_ref(slot.fields);
    Ref fields = Ref::steal(PyObject_GetAttr(kind, names.fields));
    if (!fields) return nullptr;
    Ref seq = Ref::steal(PySequence_Tuple(fields.get()));
    if (!seq) return nullptr;
    // Kept only when reading it again is sure to give the same tuple until
    // the kind's version changes: the plain metaclass (no descriptor of its
    // own), a tuple of exact str (releasing it runs no code, holds no
    // class) standing in the kind's own dict (no descriptor, no base).
    if (Py_TYPE(kind) != &PyType_Type || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        !PyTuple_CheckExact(fields.get()) || !type->tp_dict)
        return seq.release();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(seq.get(), i))) return seq.release();
    PyObject* own = PyDict_GetItemWithError(type->tp_dict, names.fields);
    if (own != fields.get()) {
        if (!own && PyErr_Occurred()) return nullptr;
        return seq.release();
    }
    version = zok::compat::type_version(type);  // given by the look-up above, if it had none
    if (version == 0) return seq.release();
    PyObject* old = slot.fields;
    slot.kind = type;
    slot.version = version;
    slot.fields = new_ref(seq.get());
    Py_XDECREF(old);
    return seq.release();
}

// The values of a node's fields, in the order of its kind's `_fields`, None
// for a field the node lacks (changes.fields_of); each an owned reference,
// in memory of the interpreter's allocator.
class Values {
public:
    // Reads the fields of `node` (of type `kind`); -1 with an exception set.
    int read(PyObject* node, PyObject* kind) noexcept {
        items_.clear();
        Ref seq = Ref::steal(fields_of_kind(kind));
        if (!seq) return -1;
        Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref value;
            int found = field_attr(node, PyTuple_GET_ITEM(seq.get(), i), value);
            if (found < 0) return -1;
            if (items_.push(found ? value.release() : new_ref(Py_None)) < 0) return -1;
        }
        names_ = std::move(seq);
        return 0;
    }

    Py_ssize_t size() const noexcept { return items_.size(); }
    PyObject* operator[](Py_ssize_t i) const noexcept { return items_[i]; }
    PyObject* name(Py_ssize_t i) const noexcept { return PyTuple_GET_ITEM(names_.get(), i); }

private:
    Buffer items_;
    Ref names_;
};

// walked[t]: the dict's own entry, else its __missing__; 1, 0 or -1.
int is_walked(PyObject* walked, PyObject* t) noexcept {
    Ref v = Ref::borrow(PyDict_GetItemWithError(walked, t));
    if (!v) {
        if (PyErr_Occurred()) return -1;
        v = Ref::steal(PyObject_GetItem(walked, t));
        if (!v) return -1;
    }
    return PyObject_IsTrue(v.get());
}

// fields[node], as a tuple (the recorded values); KeyError as the dict raises it.
PyObject* recorded(PyObject* fields, PyObject* node) noexcept {
    Ref v;
    if (PyDict_CheckExact(fields)) {
        v = Ref::borrow(PyDict_GetItemWithError(fields, node));
        if (!v) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, node);
            return nullptr;
        }
    } else {
        v = Ref::steal(PyObject_GetItem(fields, node));
        if (!v) return nullptr;
    }
    return PySequence_Tuple(v.get());
}

// stack.append((node, site)); -1 on error.
int push(PyObject* stack, PyObject* node, PyObject* site) noexcept {
    Ref pair = Ref::steal(PyTuple_Pack(2, node, site));
    return pair ? PyList_Append(stack, pair.get()) : -1;
}

// Whether `a` and `b` hold the same objects, pairwise, as far as the shorter
// goes (all(map(operator.is_, a, b))).
bool identical(PyObject* const* a, Py_ssize_t na, const Values& b) noexcept {
    Py_ssize_t n = na < b.size() ? na : b.size();
    for (Py_ssize_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

struct Walk {
    PyObject* changes;
    PyObject* top;
    PyObject* fields;
    PyObject* walked;
    PyObject* hooks;
    PyObject* string_kinds;  // a tuple: the kinds whose parts may be written anew
    PyObject* leaves;
    int misplaced;
    PyObject* edits;  // the result
    PyObject* stack;  // of (node, site) pairs: `change` pushes through its append
    PyObject* append;

    bool is_string_kind(PyObject* kind) const noexcept {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(string_kinds); ++i) {
            if (PyTuple_GET_ITEM(string_kinds, i) == kind) return true;
        }
        return false;
    }

    // An unchanged child `old` below a node whose values are all unchanged:
    // settled here when it is a plain leaf still as recorded, else pushed.
    int settle_or_push(PyObject* old, PyObject* site) noexcept {
        PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(old));
        int w = is_walked(walked, t);
        if (w <= 0) return w;
        int leaf = PySet_Contains(leaves, t);
        if (leaf < 0) return -1;
        if (leaf) {
            Ref values = Ref::steal(recorded(fields, old));
            if (!values) return -1;
            Values now;
            if (now.read(old, t) < 0) return -1;
            PyObject* const* items = &PyTuple_GET_ITEM(values.get(), 0);
            Py_ssize_t n = PyTuple_GET_SIZE(values.get());
            if (identical(items, n, now)) {
                bool any = false;
                for (Py_ssize_t i = 0; i < n && !any; ++i) {
                    int vw = is_walked(walked, reinterpret_cast<PyObject*>(Py_TYPE(items[i])));
                    if (vw < 0) return -1;
                    any = vw;
                }
                if (!any) return 0;
            }
        }
        return push(stack, old, site);
    }

    int push_walked(PyObject* value, PyObject* site) noexcept {
        int w = is_walked(walked, reinterpret_cast<PyObject*>(Py_TYPE(value)));
        if (w <= 0) return w;
        return push(stack, value, site);
    }

    // One node from the stack; -1 on error.
    int step(PyObject* node, Ref site) noexcept {
        Ref kind = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(node)));
        Ref hook = Ref::borrow(PyDict_GetItemWithError(hooks, kind.get()));
        if (hook) {
            Ref done = Ref::steal(call2(hook.get(), node, fields));
            if (!done) return -1;
        } else if (PyErr_Occurred()) {
            return -1;
        }
        if (node != top && is_string_kind(kind.get())) {
            int redo = misplaced;
            if (!redo) {
                PyObject* argv[2] = {changes, node};
                Ref answer = Ref::steal(zok::compat::call_method(s_written_anew, argv, 2));
                if (!answer) return -1;
                redo = PyObject_IsTrue(answer.get());
                if (redo < 0) return -1;
            }
            if (redo) {
                PyObject* argv[3] = {changes, node, edits};
                Ref done = Ref::steal(zok::compat::call_method(s_redo_fstring, argv, 3));
                return done ? 0 : -1;
            }
        }
        Ref old_values = Ref::steal(recorded(fields, node));
        if (!old_values) return -1;
        Ref line;
        int has = field_attr(node, names.position[0], line);
        if (has < 0) return -1;
        if (has && line.get() != Py_None) site = Ref::borrow(node);
        Values now;
        if (now.read(node, kind.get()) < 0) return -1;
        PyObject* const* old = &PyTuple_GET_ITEM(old_values.get(), 0);
        Py_ssize_t n_old = PyTuple_GET_SIZE(old_values.get());
        if (identical(old, n_old, now)) {
            for (Py_ssize_t i = 0; i < n_old; ++i)
                if (settle_or_push(old[i], site.get()) < 0) return -1;
            return 0;
        }
        Py_ssize_t n = n_old < now.size() ? n_old : now.size();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* o = old[i];
            PyObject* v = now[i];
            if (o == v) {
                if (push_walked(o, site.get()) < 0) return -1;
                continue;
            }
            if (PyTuple_CheckExact(o) && PyList_CheckExact(v) && PyList_GET_SIZE(v) == PyTuple_GET_SIZE(o)) {
                bool same = true;
                for (Py_ssize_t j = 0; same && j < PyTuple_GET_SIZE(o); ++j)
                    same = PyTuple_GET_ITEM(o, j) == PyList_GET_ITEM(v, j);
                if (same) {
                    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(o); ++j)
                        if (push_walked(PyTuple_GET_ITEM(o, j), site.get()) < 0) return -1;
                    continue;
                }
            }
            Ref o_held = Ref::borrow(o), v_held = Ref::borrow(v);
            PyObject* argv[9] = {changes, node, kind.get(), now.name(i), o, v, site.get(), edits, append};
            Ref done = Ref::steal(zok::compat::call_method(s_change, argv, 9));
            if (!done) return -1;
        }
        return 0;
    }

    int run(PyObject* site) noexcept {
        if (push(stack, top, site) < 0) return -1;
        while (Py_ssize_t size = PyList_GET_SIZE(stack)) {
            Ref pair = Ref::borrow(PyList_GET_ITEM(stack, size - 1));
            if (PyList_SetSlice(stack, size - 1, size, nullptr) < 0) return -1;
            if (!PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
                PyErr_SetString(PyExc_TypeError, "the change walk's stack holds something other than (node, site)");
                return -1;
            }
            Ref node = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
            if (step(node.get(), Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1))) < 0) return -1;
        }
        return 0;
    }
};

}  // namespace

PyObject* edits(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 9) {
        PyErr_Format(PyExc_TypeError, "edits() takes 9 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!PyDict_Check(args[4]) || !PyDict_Check(args[5]) || !PyTuple_Check(args[6]) || !PyAnySet_Check(args[7])) {
        PyErr_SetString(PyExc_TypeError, "edits(): walked and hooks must be dicts, string kinds a tuple, leaves a set");
        return nullptr;
    }
    if (intern_names() < 0) return nullptr;
    int misplaced = PyObject_IsTrue(args[8]);
    if (misplaced < 0) return nullptr;
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    Ref stack = Ref::steal(PyList_New(0));
    if (!stack) return nullptr;
    Ref append = Ref::steal(PyObject_GetAttr(stack.get(), s_append));
    if (!append) return nullptr;
    PyThreadState* ts = zok::enter_call();
    if (!ts) return nullptr;
    Walk walk{args[0], args[1], args[3], args[4], args[5], args[6], args[7], misplaced,
              result.get(), stack.get(), append.get()};
    int failed = walk.run(args[2]);
    zok::leave_call(ts);
    return failed ? nullptr : result.release();
}

}  // namespace treeops
