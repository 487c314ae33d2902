// Equality of syntax trees, field by field (trees.py's `same`, natively):
// the same walk, the same order of pairs, the same calls of `settle` and
// `report`, the same answers.
#include "treeops.hpp"

#include <utility>

namespace treeops {

namespace {

// The pairs still to compare: a stack holding a reference to both nodes of
// each pair, in memory of the interpreter's allocator.
class Pairs {
public:
    Pairs() noexcept = default;
    Pairs(const Pairs&) = delete;
    Pairs& operator=(const Pairs&) = delete;
    ~Pairs() {
        for (size_t i = 0; i < 2 * size_; ++i) Py_DECREF(items_[i]);
        PyMem_Free(items_);
    }

    bool empty() const noexcept { return size_ == 0; }

    // Takes over both references; false with MemoryError set when the stack cannot grow.
    bool push(Ref a, Ref b) noexcept {
        if (size_ == capacity_) {
            size_t capacity = capacity_ ? 2 * capacity_ : 64;
            void* grown = PyMem_Realloc(items_, 2 * capacity * sizeof(PyObject*));
            if (!grown) {
                PyErr_NoMemory();
                return false;
            }
            items_ = static_cast<PyObject**>(grown);
            capacity_ = capacity;
        }
        items_[2 * size_] = a.release();
        items_[2 * size_ + 1] = b.release();
        ++size_;
        return true;
    }

    void pop(Ref& a, Ref& b) noexcept {
        --size_;
        a = Ref::steal(items_[2 * size_]);
        b = Ref::steal(items_[2 * size_ + 1]);
    }

private:
    PyObject** items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// `report(a, b, field)` when given, then False; nullptr on its error.
PyObject* differ(PyObject* report, PyObject* a, PyObject* b, PyObject* field) noexcept {
    if (report != Py_None) {
        PyObject* argv[4] = {nullptr, a, b, field};
        Ref told = Ref::steal(zok::compat::vectorcall(report, argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!told) return nullptr;
    }
    Py_RETURN_FALSE;
}

// `type(u) is not type(v) or u != v`: 1 they differ, 0 not, -1 error.
int values_differ(PyObject* u, PyObject* v) noexcept {
    if (Py_TYPE(u) != Py_TYPE(v)) return 1;
    Ref ne = Ref::steal(PyObject_RichCompare(u, v, Py_NE));
    return ne ? PyObject_IsTrue(ne.get()) : -1;
}

// getattr(node, name, None), as a new reference.
PyObject* field_or_none(PyObject* node, PyObject* name) noexcept {
    Ref value;
    int found = field_attr(node, name, value);
    if (found < 0) return nullptr;
    return found ? value.release() : new_ref(Py_None);
}

// The kind `a` must be compared as: its type, or (with `kinds`) the entry of
// its type's name, None when there is none. New reference.
PyObject* kind_of(PyObject* a, PyObject* kinds) noexcept {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(a));
    if (kinds == Py_None) return new_ref(type);
    Ref name = Ref::steal(PyObject_GetAttr(type, names.dunder_name));
    if (!name) return nullptr;
    if (PyDict_CheckExact(kinds)) {
        PyObject* kind = PyDict_GetItemWithError(kinds, name.get());
        if (kind) return new_ref(kind);
        return PyErr_Occurred() ? nullptr : new_ref(Py_None);
    }
    return PyObject_CallMethod(kinds, "get", "O", name.get());
}

// Two field values: nodes (of `left`, and then of `right`) are pushed to be
// compared, other values compared here. 1 alike so far, 0 they differ, -1 error.
int pair_up(Ref u, Ref v, PyObject* left, PyObject* right, Pairs& stack) noexcept {
    int node = is_instance(u.get(), left);
    if (node <= 0) {
        if (node < 0) return -1;
        int differs = values_differ(u.get(), v.get());
        return differs < 0 ? -1 : !differs;
    }
    int other = is_instance(v.get(), right);
    if (other <= 0) return other;
    return stack.push(std::move(u), std::move(v)) ? 1 : -1;
}

}  // namespace

PyObject* same(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 8) {
        PyErr_Format(PyExc_TypeError, "same() takes 8 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject *left = args[2], *right = args[3], *kinds = args[4], *skip = args[5], *settle = args[6],
             *report = args[7];
    Pairs stack;
    if (!stack.push(Ref::borrow(args[0]), Ref::borrow(args[1]))) return nullptr;
    while (!stack.empty()) {
        Ref a, b;
        stack.pop(a, b);
        if (settle != Py_None) {
            Ref verdict = Ref::steal(call2(settle, a.get(), b.get()));
            if (!verdict) return nullptr;
            if (verdict.get() != Py_None) {
                int equal = PyObject_IsTrue(verdict.get());
                if (equal < 0) return nullptr;
                if (equal) continue;
                Py_RETURN_FALSE;  // settle tells why
            }
        }
        Ref kind = Ref::steal(kind_of(a.get(), kinds));
        if (!kind) return nullptr;
        if (kind.get() == Py_None) Py_RETURN_NONE;
        if (reinterpret_cast<PyObject*>(Py_TYPE(b.get())) != kind.get()) return differ(report, a.get(), b.get(), Py_None);
        Ref fields = Ref::steal(PyObject_GetAttr(kind.get(), names.fields));
        Ref it = Ref::steal(fields ? PyObject_GetIter(fields.get()) : nullptr);
        if (!it) return nullptr;
        while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
            int skipped = PySequence_Contains(skip, name.get());
            if (skipped < 0) return nullptr;
            if (skipped) continue;
            Ref p = Ref::steal(field_or_none(a.get(), name.get()));
            if (!p) return nullptr;
            Ref q = Ref::steal(field_or_none(b.get(), name.get()));
            if (!q) return nullptr;
            if (PyList_CheckExact(p.get())) {
                if (!PyList_CheckExact(q.get()) || PyList_GET_SIZE(p.get()) != PyList_GET_SIZE(q.get()))
                    return differ(report, a.get(), b.get(), name.get());
                // zip() stops at the shorter list, should either change meanwhile.
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p.get()) && i < PyList_GET_SIZE(q.get()); ++i) {
                    int alike = pair_up(Ref::borrow(PyList_GET_ITEM(p.get(), i)),
                                        Ref::borrow(PyList_GET_ITEM(q.get(), i)), left, right, stack);
                    if (alike < 0) return nullptr;
                    if (!alike) return differ(report, a.get(), b.get(), name.get());
                }
                continue;
            }
            int alike = pair_up(std::move(p), std::move(q), left, right, stack);
            if (alike < 0) return nullptr;
            if (!alike) return differ(report, a.get(), b.get(), name.get());
        }
        if (PyErr_Occurred()) return nullptr;
    }
    Py_RETURN_TRUE;
}

}  // namespace treeops
