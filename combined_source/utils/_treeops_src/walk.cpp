// The host base class's child traversal (HUJ.py's `_walk`): every child node
// of `node` goes to `visit` when it is given, else to the processor's
// `visit_<ClassName>` method, or to `generic` when it has none, or (`generic`
// None) is walked here; what comes back takes the child's place as the
// standard transformer does (None removes, a node replaces, anything else is
// spliced in as a list). Each replacement is stored as soon as it is known.
#include "treeops.hpp"

#include <cstddef>

namespace treeops {

namespace {

PyObject* walk_node(PyObject* processor, PyObject* node, PyObject* visit, PyObject* generic) noexcept;

// The most class names whose method names are kept: far more than the node
// kinds of a tree; a program that makes classes without end (each with a
// name of its own) starts the cache afresh when it is full.
constexpr Py_ssize_t kMethodNamesKept = 1024;

// "visit_" + name, made once per class name: a str built from the name
// alone, so keeping it is not observable. A name that is not exactly a str
// goes through `+`, as in Python, with its errors.
PyObject* method_name(PyObject* name) noexcept {
    if (!PyUnicode_CheckExact(name)) return PyNumber_Add(g.visit_prefix, name);
    PyObject* known = PyDict_GetItemWithError(g.method_names, name);
    if (known) return new_ref(known);
    if (PyErr_Occurred()) return nullptr;
    PyObject* made = PyUnicode_Concat(g.visit_prefix, name);
    if (!made) return nullptr;
    PyUnicode_InternInPlace(&made);
    if (PyDict_GET_SIZE(g.method_names) >= kMethodNamesKept) PyDict_Clear(g.method_names);
    if (PyDict_SetItem(g.method_names, name, made) < 0) {
        Py_DECREF(made);
        return nullptr;
    }
    return made;
}

// Whether the processor class `type` is known to define no method `name`
// (true), else looked for and remembered while the class's version holds;
// false also where that cannot be told without running Python code.
bool class_lacks(PyTypeObject* type, PyObject* name) noexcept {
    auto at = reinterpret_cast<uintptr_t>(type) ^ reinterpret_cast<uintptr_t>(name);
    LegacyAbsent::Slot& slot = legacy_absent.slots[((at >> 4) ^ (at >> 9)) & (LegacyAbsent::kSlots - 1)];
    unsigned int version = zok::compat::type_version(type);
    if (version != 0 && slot.cls == type && slot.name == name && slot.version == version) return true;
    Ref found;  // a class of its MRO defining the name, or no answer without running anything
    if (mro_lookup(type, name, found) != 0) return false;
    if (version != 0) {
        PyObject* old = slot.name;
        slot.cls = type;
        slot.version = version;
        slot.name = new_ref(name);
        Py_XDECREF(old);  // an interned str: releasing it runs no code
    }
    return true;
}

// Where the standard visitor's visit_Constant would only call
// generic_visit, the same call made here, without the Python frame and the
// AttributeError of its look-up of a legacy method: 1 with `out` set, 0
// where it is left to that function (which then decides from the start:
// nothing looked at here runs Python code), -1 on an error. It is taken
// for the configured node classes only (whose `value` is a plain
// attribute), a processor whose attribute look-up is the generic one, and
// a value whose type (of the plain metaclass, so that finding it in the
// table runs no `__hash__` or `__eq__`) the standard table names exactly,
// when neither the processor's class nor its instance has the legacy method.
int visit_constant(PyObject* processor, PyObject* child, Ref& out) noexcept {
    bool kind = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(g.constant_kinds) && !kind; ++i)
        kind = reinterpret_cast<PyObject*>(Py_TYPE(child)) == PyTuple_GET_ITEM(g.constant_kinds, i);
    PyTypeObject* type = Py_TYPE(processor);
    if (!kind || type->tp_getattro != PyObject_GenericGetAttr) return 0;
    Ref value;
    int has = field_attr(child, names.value, value);
    if (has <= 0) return has;
    if (Py_TYPE(Py_TYPE(value.get())) != &PyType_Type) return 0;
    PyObject* table = PyDict_GetItemWithError(g.ast_globals, names.const_names);  // borrowed
    if (!table) return PyErr_Occurred() ? -1 : 0;
    if (!PyDict_CheckExact(table)) return 0;
    PyObject* type_name = PyDict_GetItemWithError(table, reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    if (!type_name) return PyErr_Occurred() ? -1 : 0;
    if (!PyUnicode_CheckExact(type_name)) return 0;
    Ref name = Ref::steal(method_name(type_name));
    if (!name) return -1;
    if (!class_lacks(type, name.get())) return 0;  // `name` is an exact str: both its parts are
    // Not a class attribute: only the instance's dict can hold it, and
    // reading that runs nothing.
    Ref legacy;
    has = optional_attr(processor, name.get(), legacy);
    if (has) return has < 0 ? -1 : 0;
    Ref generic = Ref::steal(PyObject_GetAttr(processor, names.generic_visit));
    if (!generic) return -1;
    out = Ref::steal(call1(generic.get(), child));
    return out ? 1 : -1;
}

// What the visit of the child node `child` returns.
PyObject* visit_child(PyObject* processor, PyObject* child, PyObject* visit, PyObject* generic) noexcept {
    if (visit != Py_None) return call1(visit, child);
    Ref cls = Ref::steal(PyObject_GetAttr(child, names.dunder_class));
    if (!cls) return nullptr;
    Ref cls_name = Ref::steal(PyObject_GetAttr(cls.get(), names.dunder_name));
    if (!cls_name) return nullptr;
    Ref name = Ref::steal(method_name(cls_name.get()));
    if (!name) return nullptr;
    Ref method;
    int has = optional_attr(processor, name.get(), method);
    if (has < 0) return nullptr;
    if (has) {
        PyObject* m = method.get();
        if (g.stock_visit_constant && PyMethod_Check(m) && PyMethod_GET_FUNCTION(m) == g.stock_visit_constant &&
            PyMethod_GET_SELF(m) == processor) {
            Ref made;
            int done = visit_constant(processor, child, made);
            if (done < 0) return nullptr;
            if (done) return made.release();
        }
        return call1(m, child);
    }
    if (generic != Py_None) return call1(generic, child);
    Ref fields = Ref::steal(PyObject_GetAttr(child, names.fields));
    if (!fields) return nullptr;
    int any = PyObject_IsTrue(fields.get());
    if (any < 0) return nullptr;
    return any ? walk_node(processor, child, Py_None, Py_None) : new_ref(child);
}

// The children in the list `items`, replaced in place.
int walk_list(PyObject* processor, PyObject* items, PyObject* visit, PyObject* generic) noexcept {
    Py_ssize_t i = 0;
    for (;;) {
        Py_ssize_t size = PyObject_Size(items);
        if (size < 0) return -1;
        if (i >= size) return 0;
        Ref child = Ref::steal(PySequence_GetItem(items, i));
        if (!child) return -1;
        int is_node = is_instance(child.get(), g.ast);
        if (is_node < 0) return -1;
        if (!is_node) {
            ++i;
            continue;
        }
        Ref made = Ref::steal(visit_child(processor, child.get(), visit, generic));
        if (!made) return -1;
        if (made.get() == Py_None) {
            if (PySequence_DelItem(items, i) < 0) return -1;
            continue;
        }
        int made_node = is_instance(made.get(), g.ast);
        if (made_node < 0) return -1;
        if (made_node) {
            if (PySequence_SetItem(items, i, made.get()) < 0) return -1;
            ++i;
            continue;
        }
        Ref spliced = Ref::steal(PySequence_List(made.get()));
        if (!spliced || PySequence_SetSlice(items, i, i + 1, spliced.get()) < 0) return -1;
        i += PyList_GET_SIZE(spliced.get());
    }
}

int walk_field(PyObject* processor, PyObject* node, PyObject* field, PyObject* visit, PyObject* generic) noexcept {
    Ref value;
    int has = field_attr(node, field, value);
    if (has <= 0) return has;  // a field the node was made without is skipped
    int is_list = is_instance(value.get(), reinterpret_cast<PyObject*>(&PyList_Type));
    if (is_list < 0) return -1;
    if (is_list) return walk_list(processor, value.get(), visit, generic);
    int is_node = is_instance(value.get(), g.ast);
    if (is_node <= 0) return is_node;
    Ref made = Ref::steal(visit_child(processor, value.get(), visit, generic));
    if (!made) return -1;
    if (made.get() == Py_None) return PyObject_DelAttr(node, field);
    return PyObject_SetAttr(node, field, made.get());
}

PyObject* walk_node(PyObject* processor, PyObject* node, PyObject* visit, PyObject* generic) noexcept {
    PyThreadState* ts = zok::enter_call();
    if (!ts) return nullptr;
    int status = -1;
    Ref fields = Ref::steal(PyObject_GetAttr(node, names.fields));
    Ref it = Ref::steal(fields ? PyObject_GetIter(fields.get()) : nullptr);
    if (it) {
        status = 0;
        while (status == 0) {
            Ref field = Ref::steal(PyIter_Next(it.get()));
            if (!field) {
                if (PyErr_Occurred()) status = -1;
                break;
            }
            status = walk_field(processor, node, field.get(), visit, generic);
        }
    }
    zok::leave_call(ts);
    return status < 0 ? nullptr : new_ref(node);
}

}  // namespace

PyObject* configure_walk(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3 || !PyDict_CheckExact(args[1]) || !PyTuple_CheckExact(args[2])) {
        PyErr_SetString(PyExc_TypeError,
                        "configure_walk() takes visit_Constant or None, the ast module's dict and a tuple of classes");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args[2]); ++i) {
        if (!PyType_Check(PyTuple_GET_ITEM(args[2], i))) {
            PyErr_SetString(PyExc_TypeError, "configure_walk(): the node kinds must be classes");
            return nullptr;
        }
    }
    PyObject* stock = args[0] == Py_None ? nullptr : args[0];
    Py_XINCREF(stock);
    Py_INCREF(args[1]);
    Py_INCREF(args[2]);
    // The old values are let go last: nothing reads the state meanwhile.
    PyObject* old[3] = {g.stock_visit_constant, g.ast_globals, g.constant_kinds};
    g.stock_visit_constant = stock;
    g.ast_globals = args[1];
    g.constant_kinds = args[2];
    for (PyObject* o : old) Py_XDECREF(o);
    Py_RETURN_NONE;
}

PyObject* walk(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "walk() takes 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    return walk_node(args[0], args[1], args[2], args[3]);
}

// ---- generic_visit as a native method ------------------------------------
// The host base class's generic_visit (HUJ.py) without its Python frame,
// which every rewrite method's call of it paid. The object binds to an
// instance as a Python function does and is itself when read from the class,
// so saving it from the class and setting it back keeps it a method. A call
// with the processor and the node by position does what the Python function
// does, reading the same attributes and the same globals of its module
// (`_STOCK_VISIT`, `_walk`, `_GENERIC_VISIT`) in the same order at each
// call; any other call goes to the Python function, for its binding and its
// errors. Its other attributes are the Python function's.

namespace {

struct GenericVisit {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* function;  // the Python function (exactly a function)
};

GenericVisit* as_generic_visit(PyObject* o) noexcept { return reinterpret_cast<GenericVisit*>(o); }

// A global of the function's module as its code reads it: the module's
// dict, then the builtins, else NameError. Borrowed.
PyObject* load_global(PyObject* globals, PyObject* name) noexcept {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v || PyErr_Occurred()) return v;
    PyObject* builtins = PyEval_GetBuiltins();
    v = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

// _walk(self, node, visit, generic): the native walk itself when `_walk` is it.
PyObject* call_walk(PyObject* walker, PyObject* self, PyObject* node, PyObject* visit, PyObject* generic) noexcept {
    if (PyCFunction_Check(walker) &&
        PyCFunction_GET_FUNCTION(walker) == reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk)))
        return walk_node(self, node, visit, generic);
    PyObject* args[4] = {self, node, visit, generic};
    return zok::compat::vectorcall(walker, args, 4, nullptr);
}

// getattr(obj, "__func__", None) is <global `name`>: 1, 0 or -1.
int func_is(PyObject* obj, PyObject* globals, PyObject* name) noexcept {
    Ref func;
    int has = optional_attr(obj, names.dunder_func, func);
    if (has < 0) return -1;
    PyObject* expected = load_global(globals, name);
    if (!expected) return -1;
    return (has ? func.get() : Py_None) == expected;
}

PyObject* generic_visit_native(GenericVisit* gv, PyObject* self, PyObject* node) noexcept {
    PyObject* globals = PyFunction_GET_GLOBALS(gv->function);  // borrowed; the function holds it
    Ref visit = Ref::steal(PyObject_GetAttr(self, names.visit));
    if (!visit) return nullptr;
    int is_stock = func_is(visit.get(), globals, names.stock_visit);
    if (is_stock < 0) return nullptr;
    if (!is_stock) {
        PyObject* walker = load_global(globals, names.walk_global);
        if (!walker) return nullptr;
        Ref held = Ref::steal(new_ref(walker));
        return call_walk(walker, self, node, visit.get(), Py_None);
    }
    Ref generic = Ref::steal(PyObject_GetAttr(self, names.generic_visit));
    if (!generic) return nullptr;
    PyObject* walker = load_global(globals, names.walk_global);
    if (!walker) return nullptr;
    Ref held = Ref::steal(new_ref(walker));  // the look-up below may run code that rebinds it
    int is_ours = func_is(generic.get(), globals, names.generic_global);
    if (is_ours < 0) return nullptr;
    return call_walk(walker, self, node, Py_None, is_ours ? Py_None : generic.get());
}

PyObject* generic_visit_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) noexcept {
    GenericVisit* gv = as_generic_visit(callable);
    if (PyVectorcall_NARGS(nargsf) == 2 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0))
        return generic_visit_native(gv, args[0], args[1]);
    return zok::compat::vectorcall(gv->function, args, nargsf, kwnames);
}

PyObject* generic_visit_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return new_ref(self);
    return PyMethod_New(self, obj);
}

PyObject* generic_visit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* function;
    if (!PyArg_ParseTuple(args, "O!:GenericVisit", &PyFunction_Type, &function)) return nullptr;
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "GenericVisit() takes no keyword arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_generic_visit(self)->vectorcall = generic_visit_vectorcall;
    as_generic_visit(self)->function = new_ref(function);
    return self;
}

// Whether `name` (an attribute name) is the str `known`, interned or not.
bool is_name(PyObject* name, PyObject* known) noexcept {
    return name == known || (PyUnicode_Check(name) && PyUnicode_Compare(name, known) == 0);
}

// The function's attributes (its name, documentation, signature), all but
// the few this type defines itself; `__wrapped__` is the function.
PyObject* generic_visit_getattro(PyObject* self, PyObject* name) noexcept {
    PyObject* function = as_generic_visit(self)->function;
    if (is_name(name, names.dunder_wrapped)) return new_ref(function);
    if (!is_name(name, names.dunder_doc)) {
        PyObject* own = PyObject_GenericGetAttr(self, name);
        if (own || !PyErr_ExceptionMatches(PyExc_AttributeError)) return own;
        PyErr_Clear();
    }
    return PyObject_GetAttr(function, name);
}

int generic_visit_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return PyObject_SetAttr(as_generic_visit(self)->function, name, value);
}

PyObject* generic_visit_repr(PyObject* self) noexcept { return PyObject_Repr(as_generic_visit(self)->function); }

int generic_visit_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_generic_visit(self)->function);
    return 0;
}

// The function is kept until deallocation: the method may still be called
// while a cycle through it is being cleared.
int generic_visit_clear(PyObject*) noexcept { return 0; }

void generic_visit_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_generic_visit(self)->function);
    PyObject_GC_Del(self);
}

PyObject* generic_visit_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return PyVectorcall_Call(self, args, kwargs);
}

}  // namespace

PyTypeObject GenericVisitType = [] {
    PyTypeObject t{};
    reinterpret_cast<PyObject*>(&t)->ob_refcnt = 1;  // static: never brought to zero
    t.tp_name = "combined_source.utils._treeops.GenericVisit";
    t.tp_basicsize = sizeof(GenericVisit);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | zok::compat::TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "GenericVisit(function, /)\n--\n\n"
               "The host base class's generic_visit `function`, called natively where it is\n"
               "called with the processor and the node by position.";
    t.tp_vectorcall_offset = offsetof(GenericVisit, vectorcall);
    t.tp_call = generic_visit_call;
    t.tp_descr_get = generic_visit_descr_get;
    t.tp_getattro = generic_visit_getattro;
    t.tp_setattro = generic_visit_setattro;
    t.tp_repr = generic_visit_repr;
    t.tp_traverse = generic_visit_traverse;
    t.tp_clear = generic_visit_clear;
    t.tp_dealloc = generic_visit_dealloc;
    t.tp_new = generic_visit_new;
    return t;
}();

}  // namespace treeops
