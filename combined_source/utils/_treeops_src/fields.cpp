// Reading the fields of syntax tree nodes. The passes read every field of
// every node, some more than once; getattr finds each one by looking the
// name up in the node's class and its bases before it looks in the node's
// own dict. For a kind whose look-up is the generic one, whose instances keep
// their dict at a fixed offset, and whose classes hold no descriptor of the
// name (nor any value but None), getattr's result is the node's dict entry,
// else that None, else absence: that is known once per kind and name
// (while the kind's attribute version holds), and the field is then read
// from the dict. Anything else goes through getattr itself. Setting a field
// is the same in reverse: for such a kind whose instances' dicts are their
// own (not sharing the kind's keys), setattr puts the value in the node's
// dict, so it is put there.
#include "treeops.hpp"

#include <cstdint>
#include <algorithm>

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
[[gnu::always_inline]] inline bool reads_plainly(PyTypeObject* type, PyObject* name, bool& none) noexcept {
    // Multiplicative hashing spreads the pairs of a few hundred kinds and
    // names over the sets. A set keeps its pairs by their last use: the one
    // found goes to the front (the next look-up of it costs one test), and
    // a new one pushes out the one used least lately; a pair whose kind
    // changed since is filled again where it is.
    uint64_t at = (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(type)) * 31u) ^
                  static_cast<uint64_t>(reinterpret_cast<uintptr_t>(name));
    size_t set = static_cast<size_t>((at * 0x9E3779B97F4A7C15ull) >> (64 - FieldReads::kBits));
    unsigned int version = zok::compat::type_version(type);
    if (version == 0) return false;  // getattr gives the kind a version: the next read may use it
    FieldReads::Slot* ways = &field_reads.slots[set * FieldReads::kWays];
    if (ways[0].kind == type && ways[0].name == name && ways[0].version == version) {
        none = ways[0].none;
        return ways[0].plain;
    }
    int way = 1;
    while (way < FieldReads::kWays && !(ways[way].kind == type && ways[way].name == name)) ++way;
    if (way == FieldReads::kWays) {  // not in the set: the last way is given up
        way = FieldReads::kWays - 1;
        PyObject* old_name = ways[way].name;
        ways[way] = FieldReads::Slot();
        Py_XDECREF(old_name);  // an exact str: releasing it runs no code
    }
    std::rotate(ways, ways + way, ways + way + 1);  // the pair (or its empty slot) to the front
    FieldReads::Slot& slot = ways[0];
    if (slot.kind == type && slot.version == version) {
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

int field_set_directly(PyObject* node, PyObject* name, PyObject* value) noexcept {
    PyTypeObject* type = Py_TYPE(node);
    bool none = false;
    if (!reads_plainly(type, name, none)) return PyObject_SetAttr(node, name, value);
    PyObject** dict = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(node) + type->tp_dictoffset);
    if (!*dict) {
        *dict = PyDict_New();
        if (!*dict) return -1;
    }
    // The dict held while the value goes in: it may be a subclass, and a
    // value it replaces may run code as it goes.
    Ref held = Ref::borrow(*dict);
    return PyDict_SetItem(held.get(), name, value);
}

}  // namespace treeops
