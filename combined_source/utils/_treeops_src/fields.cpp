// Reading the fields of syntax tree nodes. The passes read every field of
// every node, some more than once; getattr finds each one by looking the
// name up in the node's class and its bases before it looks in the node's
// own dict. For a kind whose look-up is the generic one, whose instances keep
// their dict at a fixed offset, and whose classes hold no descriptor of the
// name (nor any value but None), getattr's result is the node's dict entry,
// else that None, else absence: that is known once per kind and name
// (while the kind's attribute version holds), and the field is then read
// from the dict. Anything else goes through getattr itself.
#include "treeops.hpp"

#include <cstdint>

namespace treeops {

int mro_lookup(PyTypeObject* type, PyObject* name, Ref& found) noexcept {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return 2;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return 2;
        Ref dict = Ref::steal(zok::compat::type_dict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict || !PyDict_Check(dict.get())) return 2;
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(dict.get(), &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return 2;
            if (key == name || (PyUnicode_GET_LENGTH(key) == length && PyUnicode_Compare(key, name) == 0)) {
                found = Ref::borrow(value);
                return 1;
            }
        }
    }
    return 0;
}

namespace {

// Whether nodes of `type` (whose look-up is the generic one) read `name`
// (an exact str) from their dict: true with `none` telling whether the
// classes' own value of the name is None (what getattr gives where the
// dict lacks it; the standard kinds of 3.8 and later give their optional
// fields that default), from the kind's slot while its version holds. False
// where a class holds a descriptor or any other value of the name, and
// where that cannot be told without running Python code.
bool reads_plainly(PyTypeObject* type, PyObject* name, bool& none) noexcept {
    // Multiplicative hashing spreads the pairs of a few hundred kinds and
    // names over the slots; a slot taken by another pair is refilled.
    uint64_t at = (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(type)) * 31u) ^
                  static_cast<uint64_t>(reinterpret_cast<uintptr_t>(name));
    FieldReads::Slot& slot = field_reads.slots[(at * 0x9E3779B97F4A7C15ull) >> (64 - FieldReads::kBits)];
    unsigned int version = zok::compat::type_version(type);
    if (version == 0) return false;  // getattr gives the kind a version: the next read may use it
    if (slot.kind == type && slot.name == name && slot.version == version) {
        none = slot.none;
        return slot.plain;
    }
    Ref found;
    int defined = mro_lookup(type, name, found);
    if (defined == 2) return false;
    bool plain = defined == 0 || found.get() == Py_None;
    PyObject* old_name = slot.name;
    slot.kind = type;
    slot.version = version;
    slot.name = new_ref(name);
    slot.plain = plain;
    slot.none = defined == 1;
    Py_XDECREF(old_name);  // an exact str: releasing it runs no code
    none = slot.none;
    return plain;
}

}  // namespace

int field_attr(PyObject* node, PyObject* name, Ref& out) noexcept {
    PyTypeObject* type = Py_TYPE(node);
    bool none = false;
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset <= 0 || !PyUnicode_CheckExact(name) ||
        !reads_plainly(type, name, none))
        return optional_attr(node, name, out);
    // The generic look-up's dict step: the dict held while it is searched
    // (a key's __eq__ may replace it), an AttributeError raised there
    // taken as absence.
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(node) + type->tp_dictoffset);
    if (dict) {
        Ref held = Ref::borrow(dict);
        PyObject* value = PyDict_GetItemWithError(dict, name);
        if (value) {
            out = Ref::borrow(value);
            return 1;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
        }
    }
    if (!none) return 0;
    out = Ref::borrow(Py_None);
    return 1;
}

}  // namespace treeops
