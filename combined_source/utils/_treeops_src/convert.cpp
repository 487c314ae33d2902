// The conversion of standard syntax trees to gast trees (convert.py has the
// rules and the plans; this is their loop). A node kind is converted by its
// plan: None sends the node to gast's own converter (the object itself, whose
// `visit` gives the gast node and whose children come back to `_visit`, this
// conversion); a 5-tuple builds it as gast's converter builds it by a
// constructor call; otherwise (gast class or None, fields, attributes, how
// the new node is recorded: 1 from the values set, 0 not at all, -1 by
// `record`) copies it field by field.
#include "treeops.hpp"

namespace treeops {

namespace {

PyObject* convert(Converter* self, PyObject* node) noexcept;

// ast.AST.__new__(cls): a node of `cls` with no fields set.
PyObject* new_node(PyObject* cls) noexcept {
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls),
                                                reinterpret_cast<PyTypeObject*>(g.ast))) {
        PyErr_Format(PyExc_TypeError, "cannot make a syntax tree node of %R", cls);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(g.ast)->tp_new(reinterpret_cast<PyTypeObject*>(cls),
                                                          g.empty_tuple, nullptr);
}

// Whether `attributes` is an exact tuple of exact strs that lists the four
// positions; no Python code runs.
bool lists_positions(PyObject* attributes) noexcept {
    if (!PyTuple_CheckExact(attributes)) return false;
    for (int i = 0; i < 4; ++i) {
        bool listed = false;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(attributes) && !listed; ++k) {
            PyObject* a = PyTuple_GET_ITEM(attributes, k);
            listed = a == names.position[i] ||
                     (PyUnicode_CheckExact(a) && PyUnicode_Compare(a, names.position[i]) == 0);
        }
        if (!listed) return false;
    }
    return true;
}

// Whether the `_attributes` that a location copy reads from `obj` (its own
// when it has one, else its class's) lists the four positions. Only for
// objects read the plain way (no __getattribute__ or __getattr__ of their
// own); anything else, or any error, answers false and leaves the question
// to the copier itself.
bool positions_listed(PyObject* obj) noexcept {
    if (Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* attributes = PyObject_GetAttr(obj, names.attributes);
    if (!attributes) {
        if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
        return false;
    }
    Ref held = Ref::steal(attributes);
    for (PyObject* seen : g.listed)
        if (seen == attributes) return true;
    if (!lists_positions(attributes)) return false;
    int slot = g.listed_next;
    g.listed_next = (slot + 1) % 4;
    Py_XSETREF(g.listed[slot], held.release());
    return true;
}

// copier(made, node), a location copy (ast's or gast's): where both nodes'
// `_attributes` list the four positions and the node has all four, not None,
// every version of either copies all four, so they are copied here; anything
// else goes to the copier itself. `located` (both classes list them) is the
// first test. New reference to its result.
PyObject* copy_positions(PyObject* made, PyObject* node, PyObject* copier, bool located) noexcept {
    if (located && positions_listed(node) && positions_listed(made)) {
        Ref values[4];
        bool plain = true;
        for (int i = 0; i < 4 && plain; ++i) {
            int found = field_attr(node, names.position[i], values[i]);
            if (found < 0) return nullptr;
            plain = found && values[i].get() != Py_None;
        }
        if (plain) {
            for (int i = 0; i < 4; ++i)
                if (field_set(made, names.position[i], values[i].get()) < 0) return nullptr;
            return new_ref(made);
        }
    }
    if (PyErr_Occurred()) return nullptr;  // an interruption while reading `_attributes`
    Ref f = Ref::borrow(copier);
    return call2(f.get(), made, node);
}

// `fields` is the record the conversion of this node started with (None
// for none), as the Python loop reads it once per node.
PyObject* convert_name(Converter* self, PyObject* node, PyObject* fields) noexcept {
    Ref made = Ref::steal(new_node(g.gast_name));
    if (!made) return nullptr;
    Ref ident = Ref::steal(PyObject_GetAttr(node, names.id));
    if (!ident) return nullptr;
    Ref old_ctx = Ref::steal(PyObject_GetAttr(node, names.ctx));
    if (!old_ctx) return nullptr;
    Ref ctx = Ref::steal(convert(self, old_ctx.get()));
    if (!ctx) return nullptr;
    if (field_set(made.get(), names.id, ident.get()) < 0 ||
        field_set(made.get(), names.ctx, ctx.get()) < 0 ||
        field_set(made.get(), names.annotation, Py_None) < 0 ||
        field_set(made.get(), names.type_comment, Py_None) < 0)
        return nullptr;
    if (fields != Py_None) {
        Ref values = Ref::steal(PyTuple_Pack(4, ident.get(), ctx.get(), Py_None, Py_None));
        if (!values || set_item(fields, made.get(), values.get()) < 0) return nullptr;
    }
    return copy_positions(made.get(), node, g.copy_location, g.names_located);
}

// record(made, fields), with the converter's record as it is now.
int record_made(Converter* self, PyObject* made, PyObject* fields) noexcept {
    Ref record = Ref::borrow(self->record ? self->record : Py_None);
    Ref done = Ref::steal(call2(record.get(), made, fields));
    return done ? 0 : -1;
}

// The node made by gast's converter, recorded when fields are recorded.
PyObject* convert_by_gast(Converter* self, PyObject* node, PyObject* fields) noexcept {
    PyObject* argv[2] = {reinterpret_cast<PyObject*>(self), node};
    Ref made = Ref::steal(zok::compat::call_method(names.visit, argv, 2));
    if (!made) return nullptr;
    if (fields != Py_None && record_made(self, made.get(), fields) < 0) return nullptr;
    return made.release();
}

PyObject* convert_by_plan(Converter* self, PyObject* node, PyObject* plan, PyObject* fields) noexcept {
    if (!PyTuple_Check(plan) || PyTuple_GET_SIZE(plan) != 4) {
        PyErr_Format(PyExc_TypeError, "a conversion plan must be None or a tuple "
                     "(class, field names, attribute names, recorded), not %R", plan);
        return nullptr;
    }
    PyObject* target = PyTuple_GET_ITEM(plan, 0);
    if (target == Py_None) Py_RETURN_NONE;  // not a gast node kind
    // The names come from the node class's `_fields` and `_attributes`:
    // tuples as a rule, but read as a Python loop reads any iterable.
    PyObject* field_names = PyTuple_GET_ITEM(plan, 1);
    PyObject* attribute_names = PyTuple_GET_ITEM(plan, 2);
    long recorded = PyLong_AsLong(PyTuple_GET_ITEM(plan, 3));
    if (recorded == -1 && PyErr_Occurred()) return nullptr;

    // The children are converted first and the attributes then set one by
    // one, so that nodes of a kind share their dict's keys (see convert.py).
    // Until the node is made, the names and values are held where no Python
    // code can see them.
    bool keep_values = fields != Py_None && recorded == 1;
    Buffer values;  // the recorded fields, lists as tuples, None for an absent field
    Buffer set_names, set_values;
    Items field_items(field_names);
    if (!field_items.ok()) return nullptr;
    while (Ref name = Ref::steal(field_items.next())) {
        Ref value;
        int found = field_attr(node, name.get(), value);
        if (found < 0) return nullptr;
        if (!found) {  // a field the node was made without
            if (keep_values && values.push(new_ref(Py_None)) < 0) return nullptr;
            continue;
        }
        int convertible = is_instance(value.get(), g.ast);
        if (!convertible) convertible = is_instance(value.get(), reinterpret_cast<PyObject*>(&PyList_Type));
        if (convertible < 0) return nullptr;
        if (convertible) {
            value = Ref::steal(convert(self, value.get()));
            if (!value) return nullptr;
        }
        if (set_names.push(name.release()) < 0 || set_values.push(new_ref(value.get())) < 0) return nullptr;
        if (keep_values &&
            values.push(PyList_CheckExact(value.get()) ? PyList_AsTuple(value.get()) : value.release()) < 0)
            return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref made = Ref::steal(new_node(target));
    if (!made) return nullptr;
    for (Py_ssize_t i = 0; i < set_names.size(); ++i)
        if (field_set(made.get(), set_names[i], set_values[i]) < 0) return nullptr;
    Items attribute_items(attribute_names);
    if (!attribute_items.ok()) return nullptr;
    while (Ref name = Ref::steal(attribute_items.next())) {
        Ref value;
        int found = field_attr(node, name.get(), value);
        if (found < 0) return nullptr;
        if (found && field_set(made.get(), name.get(), value.get()) < 0) {
            // An attribute the node lacks, or that the new one refuses, is left out.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
        }
    }
    if (PyErr_Occurred()) return nullptr;
    if (keep_values) {
        Ref recorded_values = Ref::steal(values.take_tuple());
        if (!recorded_values || set_item(fields, made.get(), recorded_values.get()) < 0) return nullptr;
    } else if (fields != Py_None && recorded && record_made(self, made.get(), fields) < 0) {
        return nullptr;
    }
    return made.release();
}

// Where a field of a kind gast builds by a constructor call comes from.
enum Source { FIELD, RAW, CONST, LIST, NEW };

[[gnu::cold, gnu::noinline]] PyObject* bad_plan(PyObject* plan) noexcept {
    PyErr_Format(PyExc_TypeError, "not a conversion plan: %R", plan);
    return nullptr;
}

// A kind gast builds by a constructor call: (gast class, ((field, source,
// argument), ...), location copy or None, attributes then set to None,
// whether both kinds carry the four positions).
PyObject* convert_constructed(Converter* self, PyObject* node, PyObject* plan) noexcept {
    PyObject* target = PyTuple_GET_ITEM(plan, 0);
    PyObject* sources = PyTuple_GET_ITEM(plan, 1);
    PyObject* copier = PyTuple_GET_ITEM(plan, 2);
    PyObject* nones = PyTuple_GET_ITEM(plan, 3);
    int located = PyObject_IsTrue(PyTuple_GET_ITEM(plan, 4));
    if (located < 0) return nullptr;
    if (!PyTuple_Check(sources) || !PyTuple_Check(nones)) return bad_plan(plan);
    Py_ssize_t n = PyTuple_GET_SIZE(sources);
    Buffer values;  // out of the collector's sight until the node is made
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* source = PyTuple_GET_ITEM(sources, i);
        if (!PyTuple_Check(source) || PyTuple_GET_SIZE(source) != 3) return bad_plan(plan);
        long how = PyLong_AsLong(PyTuple_GET_ITEM(source, 1));
        if (how == -1 && PyErr_Occurred()) return nullptr;
        PyObject* what = PyTuple_GET_ITEM(source, 2);
        PyObject* value = nullptr;
        switch (how) {
        case FIELD: {
            Ref raw = Ref::steal(PyObject_GetAttr(node, what));
            value = raw ? convert(self, raw.get()) : nullptr;
            break;
        }
        case RAW: value = PyObject_GetAttr(node, what); break;
        case CONST: value = new_ref(what); break;
        case LIST: value = PyList_New(0); break;
        case NEW: value = zok::compat::vectorcall(what, nullptr, 0, nullptr); break;
        default: return bad_plan(plan);
        }
        if (values.push(value) < 0) return nullptr;
    }
    Ref made = Ref::steal(new_node(target));
    if (!made) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (field_set(made.get(), PyTuple_GET_ITEM(PyTuple_GET_ITEM(sources, i), 0), values[i]) < 0)
            return nullptr;
    if (copier != Py_None) {
        Ref copied = Ref::steal(copy_positions(made.get(), node, copier, located));
        if (!copied) return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(nones); ++i)
        if (field_set(made.get(), PyTuple_GET_ITEM(nones, i), Py_None) < 0) return nullptr;
    // The record as it is now, as the Python loop reads it here.
    Ref fields = Ref::borrow(self->fields ? self->fields : Py_None);
    if (fields.get() != Py_None) {
        Buffer frozen;  // lists recorded as tuples
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* value = values[i];
            if (frozen.push(PyList_CheckExact(value) ? PyList_AsTuple(value) : new_ref(value)) < 0) return nullptr;
        }
        Ref recorded_values = Ref::steal(frozen.take_tuple());
        if (!recorded_values || set_item(fields.get(), made.get(), recorded_values.get()) < 0) return nullptr;
    }
    return made.release();
}

PyObject* convert_node(Converter* self, PyObject* node) noexcept {
    Ref fields = Ref::borrow(self->fields ? self->fields : Py_None);
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(node));
    if (cls == g.std_name) return convert_name(self, node, fields.get());
    PyObject* plan = PyDict_GetItemWithError(g.plans, cls);
    Ref planned;
    if (plan) {
        planned = Ref::borrow(plan);  // the plans dict may change while converting
    } else {
        if (PyErr_Occurred()) return nullptr;
        Ref planner = Ref::borrow(g.plan);
        planned = Ref::steal(call1(planner.get(), cls));
        if (!planned) return nullptr;
        plan = planned.get();
    }
    if (plan == Py_None) return convert_by_gast(self, node, fields.get());
    if (PyTuple_Check(plan) && PyTuple_GET_SIZE(plan) == 5) return convert_constructed(self, node, plan);
    return convert_by_plan(self, node, plan, fields.get());
}

// [convert(item) for item in list]. Lists nest as deep as nodes do, so
// each level passes the same recursion guard.
PyObject* convert_list(Converter* self, PyObject* list) noexcept {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(list));
    if (!it) return nullptr;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref made = Ref::steal(convert(self, item.get()));
        if (!made || PyList_Append(out.get(), made.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
}

PyObject* convert(Converter* self, PyObject* node) noexcept {
    int is_node = is_instance(node, g.ast);
    if (is_node < 0) return nullptr;
    int is_list = 0;
    if (!is_node) {
        is_list = is_instance(node, reinterpret_cast<PyObject*>(&PyList_Type));
        if (is_list < 0) return nullptr;
        if (!is_list) return new_ref(node);
    }
    PyThreadState* ts = zok::enter_call();
    if (!ts) return nullptr;
    PyObject* made = is_node ? convert_node(self, node) : convert_list(self, node);
    zok::leave_call(ts);
    return made;
}

// ---- the type ----------------------------------------------------------------

PyObject* converter_visit(PyObject* self, PyObject* node) noexcept {
    if (conversion_ready() < 0) return nullptr;
    return convert(reinterpret_cast<Converter*>(self), node);
}

int converter_init(PyObject* op, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"fields", "record", nullptr};
    PyObject* fields = Py_None;
    PyObject* record = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:Converter", const_cast<char**>(keywords), &fields,
                                     &record))
        return -1;
    auto* self = reinterpret_cast<Converter*>(op);
    Py_XSETREF(self->fields, new_ref(fields));
    Py_XSETREF(self->record, new_ref(record));
    return 0;
}

int converter_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    auto* self = reinterpret_cast<Converter*>(op);
    Py_VISIT(self->fields);
    Py_VISIT(self->record);
    return 0;
}

int converter_clear(PyObject* op) noexcept {
    auto* self = reinterpret_cast<Converter*>(op);
    Py_CLEAR(self->fields);
    Py_CLEAR(self->record);
    return 0;
}

void converter_dealloc(PyObject* op) noexcept {
    PyObject_GC_UnTrack(op);
    converter_clear(op);
    Py_TYPE(op)->tp_free(op);
}

PyObject* get_member(PyObject* member) {
    return new_ref(member ? member : Py_None);
}
PyObject* converter_fields(PyObject* op, void*) noexcept { return get_member(reinterpret_cast<Converter*>(op)->fields); }
PyObject* converter_record(PyObject* op, void*) noexcept { return get_member(reinterpret_cast<Converter*>(op)->record); }

PyMethodDef converter_methods[] = {
    {"_visit", converter_visit, METH_O,
     "_visit($self, node, /)\n--\n\nThe gast tree of `node` (a node, a list of them, or any other value, kept as it is)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef converter_getset[] = {
    {"fields", converter_fields, nullptr, "The dict the fields of new nodes are recorded in, or None.", nullptr},
    {"record", converter_record, nullptr, "Records the nodes made by gast's converter, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject ConverterType = [] {
    PyTypeObject t{};
    // A static type holds a reference to itself, so that the references its
    // subclasses take and give back never bring it to zero.
    reinterpret_cast<PyObject*>(&t)->ob_refcnt = 1;
    t.tp_name = "combined_source.utils._treeops.Converter";
    t.tp_basicsize = sizeof(Converter);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "Converter(fields=None, record=None)\n--\n\n"
               "The conversion to gast trees; combined with gast's converter class, whose\n"
               "visit() handles the node kinds without a plan. `fields` (None for none)\n"
               "takes the fields of the nodes made by item assignment.";
    t.tp_traverse = converter_traverse;
    t.tp_clear = converter_clear;
    t.tp_dealloc = converter_dealloc;
    t.tp_methods = converter_methods;
    t.tp_getset = converter_getset;
    t.tp_init = converter_init;
    t.tp_new = PyType_GenericNew;
    return t;
}();

int ready_converter_type() noexcept { return PyType_Ready(&ConverterType); }

PyObject* configure(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "configure() takes 5 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!PyDict_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError, "configure(): plans must be a dict");
        return nullptr;
    }
    // Both Name kinds must carry the four positions for the direct copy of them.
    bool located = true;
    for (int k = 0; k < 2 && located; ++k) {
        Ref attributes = Ref::steal(PyObject_GetAttrString(args[k], "_attributes"));
        if (!attributes) return nullptr;
        for (int i = 0; i < 4 && located; ++i) {
            int has = PySequence_Contains(attributes.get(), names.position[i]);
            if (has < 0) return nullptr;
            located = has;
        }
    }
    PyObject** slots[] = {&g.std_name, &g.gast_name, &g.copy_location, &g.plan, &g.plans};
    for (int i = 0; i < 5; ++i) Py_XSETREF(*slots[i], new_ref(args[i]));
    g.names_located = located;
    Py_RETURN_NONE;
}

}  // namespace treeops
