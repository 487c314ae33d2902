// The stand-in renderer's texts, natively, for every kind RUF.py's direct
// path writes (names, attributes, calls, constants, tuples, lists,
// subscripts, slices, starred, unary, binary and boolean operators,
// comparisons, conditional expressions, sets, dicts and comprehensions), exactly as that path
// writes them on the running Python: the same parentheses, spacing and
// spelling of constants. Any other node, any node of a subclass, any field
// missing or of another type, any constant not of an exact plain type and
// any error hands the whole node to the Python renderer (RUF's
// `_python_source_code`), which gives the text, or the error, of the
// reference.
#include "treeops.hpp"

#include <cmath>

namespace treeops {

namespace {

// How strongly a context binds, weakest first (RUF.py's table): a node is
// parenthesized where its context binds more strongly than its operator.
enum Strength : int {
    kTuple = 2, kTest = 4, kOr = 5, kAnd = 6, kNot = 7, kCmp = 8, kBor = 9, kBxor = 10, kBand = 11, kShift = 12,
    kArith = 13, kTerm = 14, kFactor = 15, kPower = 16, kAtom = 18,
};

// Before 3.9 the reference is astunparse, which parenthesizes every
// operator and writes tuple subscripts in its own way.
constexpr bool kOld = PY_VERSION_HEX < 0x03090000;
// 3.9 and 3.10 keep the parentheses of a subscript's tuple holding a starred element.
constexpr bool kStarredSliceParens = PY_VERSION_HEX < 0x030B0000;
// Before 3.11 every tuple is parenthesized, a comprehension's target too.
constexpr bool kTupleParens = PY_VERSION_HEX < 0x030B0000;

// Appends the text of `node` where its context binds with strength `prec`
// to `parts`: 1 done, 0 not handled here (no error set), -1 error.
int expr(PyObject* node, int prec, PyObject* parts) noexcept;

inline PyObject* type_of(PyObject* o) noexcept { return reinterpret_cast<PyObject*>(Py_TYPE(o)); }

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

// A field that must be an exact list: 1 found, 0 absent or of another type, -1 error.
inline int list_field(PyObject* node, PyObject* name, Ref& out) noexcept {
    int found = field_attr(node, name, out);
    return found > 0 && !PyList_CheckExact(out.get()) ? 0 : found;
}

// The operator of `table` whose class is exactly the type of `op`, or null.
template <size_t N>
const RenderOp* find_op(const RenderOp (&table)[N], PyObject* op) noexcept {
    PyObject* t = type_of(op);
    for (const RenderOp& entry : table)
        if (entry.kind == t) return &entry;
    return nullptr;
}

// The items of `list` at strength `prec`, with `sep` between them.
int joined(PyObject* list, int prec, PyObject* sep, PyObject* parts) noexcept {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (i && push_borrowed(parts, sep) < 0) return -1;
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        int done = expr(item.get(), prec, parts);
        if (done <= 0) return done;
    }
    return 1;
}

// The elements of a tuple: a trailing comma after a single one.
int items(PyObject* elts, PyObject* parts) noexcept {
    if (PyList_GET_SIZE(elts) != 1) return joined(elts, kTest, render_kinds.comma, parts);
    Ref only = Ref::borrow(PyList_GET_ITEM(elts, 0));
    int done = expr(only.get(), kTest, parts);
    if (done <= 0) return done;
    return push_borrowed(parts, render_kinds.trailing_comma);
}

// What `body` appends, between `open` and `close` when `wrap`.
template <typename Body>
int wrapped(bool wrap, PyObject* parts, PyObject* open, PyObject* close, Body body) noexcept {
    if (wrap && push_borrowed(parts, open) < 0) return -1;
    int done = body();
    if (done <= 0 || !wrap) return done;
    return push_borrowed(parts, close);
}

// repr() of a constant of an exact plain type, infinities and nan spelt as
// literals; 0 for any other value.
int plain_constant(PyObject* v, PyObject* parts) noexcept {
    bool odd = false;  // an infinity or nan to respell
    if (PyFloat_CheckExact(v)) {
        double d = PyFloat_AS_DOUBLE(v);
        odd = std::isinf(d) || std::isnan(d);
    } else if (PyComplex_CheckExact(v)) {
        Py_complex c = PyComplex_AsCComplex(v);
        odd = std::isinf(c.real) || std::isnan(c.real) || std::isinf(c.imag) || std::isnan(c.imag);
    } else if (!(PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) || v == Py_None ||
                 PyBytes_CheckExact(v))) {
        return 0;
    }
    Ref text = Ref::steal(PyObject_Repr(v));
    if (!text) return -1;
    if (odd) {
        Render& r = render_kinds;
        text = Ref::steal(PyUnicode_Replace(text.get(), r.inf, r.inf_text, -1));
        if (!text) return -1;
        if (!kOld) {  // astunparse leaves nan as it is
            text = Ref::steal(PyUnicode_Replace(text.get(), r.nan, r.nan_text, -1));
            if (!text) return -1;
        }
    }
    return push(parts, text.release());
}

int constant(PyObject* node, PyObject* parts) noexcept {
    Render& r = render_kinds;
    Ref value;
    int found = field_attr(node, names.value, value);
    if (found <= 0) return found;
    PyObject* v = value.get();
    if (PyTuple_CheckExact(v)) {
        Py_ssize_t n = PyTuple_GET_SIZE(v);
        if (push_borrowed(parts, r.open) < 0) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i && push_borrowed(parts, r.comma) < 0) return -1;
            int done = plain_constant(PyTuple_GET_ITEM(v, i), parts);
            if (done <= 0) return done;
        }
        if (n == 1 && push_borrowed(parts, r.trailing_comma) < 0) return -1;
        return push_borrowed(parts, r.close);
    }
    if (v == Py_Ellipsis) return push_borrowed(parts, r.ellipsis);
    Ref kind;
    found = field_attr(node, names.kind, kind);
    if (found <= 0) return found;
    // `kind == "u"` with a kind of another type could run its __eq__.
    if (kind.get() != Py_None) {
        if (!PyUnicode_CheckExact(kind.get())) return 0;
        if (PyUnicode_CompareWithASCIIString(kind.get(), "u") == 0 && push_borrowed(parts, r.u_prefix) < 0)
            return -1;
    }
    return plain_constant(v, parts);
}

int attribute(PyObject* node, PyObject* parts) noexcept {
    Ref value, attr;
    int found = field_attr(node, names.value, value);
    if (found <= 0) return found;
    found = field_attr(node, names.attr, attr);
    if (found <= 0) return found;
    if (!PyUnicode_CheckExact(attr.get())) return 0;
    int done = expr(value.get(), kAtom, parts);
    if (done <= 0) return done;
    PyObject* dot = render_kinds.dot;
    if (type_of(value.get()) == render_kinds.constant) {
        // 1 .real: a space keeps the dot from joining the number
        Ref number;
        if ((found = field_attr(value.get(), names.value, number)) <= 0) return found;
        if (PyLong_Check(number.get())) dot = render_kinds.space_dot;
    }
    if (push_borrowed(parts, dot) < 0) return -1;
    return push_borrowed(parts, attr.get());
}

int call(PyObject* node, PyObject* parts) noexcept {
    Render& r = render_kinds;
    Ref func, args, keywords;
    int found = field_attr(node, names.func, func);
    if (found <= 0) return found;
    if ((found = list_field(node, names.args, args)) <= 0) return found;
    if ((found = list_field(node, names.keywords, keywords)) <= 0) return found;
    int done = expr(func.get(), kAtom, parts);
    if (done <= 0) return done;
    if (push_borrowed(parts, r.open) < 0) return -1;
    if ((done = joined(args.get(), kTest, r.comma, parts)) <= 0) return done;
    bool first = PyList_GET_SIZE(args.get()) == 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keywords.get()); ++i) {
        Ref k = Ref::borrow(PyList_GET_ITEM(keywords.get(), i));
        if (type_of(k.get()) != r.keyword) return 0;
        Ref name, value;
        if ((found = field_attr(k.get(), names.arg, name)) <= 0) return found;
        if ((found = field_attr(k.get(), names.value, value)) <= 0) return found;
        if (name.get() != Py_None && !PyUnicode_CheckExact(name.get())) return 0;
        if (!first && push_borrowed(parts, r.comma) < 0) return -1;
        first = false;
        if (name.get() == Py_None) {
            if (push_borrowed(parts, r.star_star) < 0) return -1;
        } else if (push_borrowed(parts, name.get()) < 0 || push_borrowed(parts, r.equals) < 0) {
            return -1;
        }
        if ((done = expr(value.get(), kTest, parts)) <= 0) return done;
    }
    return push_borrowed(parts, r.close);
}

// The text between a subscript's brackets.
int subscript_slice(PyObject* s, PyObject* parts) noexcept {
    Render& r = render_kinds;
    if (type_of(s) == r.tuple) {
        Ref elts;
        int found = list_field(s, names.elts, elts);
        if (found <= 0) return found;
        PyObject* list = elts.get();
        bool has_slice = false, has_starred = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject* t = type_of(PyList_GET_ITEM(list, i));
            has_slice |= t == r.slice;
            has_starred |= t == r.starred;
        }
        if (kOld) {
            // A tuple holding a slice is an extended slice there; any other
            // tuple keeps its parentheses.
            if (has_slice) return joined(list, kTest, r.comma, parts);
            return wrapped(true, parts, r.open, r.close, [&] { return items(list, parts); });
        }
        if (PyList_GET_SIZE(list) && !(kStarredSliceParens && has_starred)) return items(list, parts);
    }
    return expr(s, kTest, parts);
}

// A slice's bound: None writes nothing.
inline int bound(PyObject* node, PyObject* name, PyObject* parts, Ref& out) noexcept {
    int found = field_attr(node, name, out);
    if (found <= 0 || out.get() == Py_None) return found;
    return expr(out.get(), kTest, parts);
}

int slice(PyObject* node, PyObject* parts) noexcept {
    Ref lower, upper, step;
    int done = bound(node, names.lower, parts, lower);
    if (done <= 0) return done;
    if (push_borrowed(parts, render_kinds.colon) < 0) return -1;
    if ((done = bound(node, names.upper, parts, upper)) <= 0) return done;
    int found = field_attr(node, names.step, step);
    if (found <= 0 || step.get() == Py_None) return found;
    if (push_borrowed(parts, render_kinds.colon) < 0) return -1;
    return expr(step.get(), kTest, parts);
}

int binop(PyObject* node, int prec, PyObject* parts) noexcept {
    Ref op, left, right;
    int found = field_attr(node, names.op, op);
    if (found <= 0) return found;
    const RenderOp* o = find_op(render_kinds.binary, op.get());
    if (!o) return 0;
    if ((found = field_attr(node, names.left, left)) <= 0) return found;
    if ((found = field_attr(node, names.right, right)) <= 0) return found;
    int p = o->strength, left_p = p, right_p = p;
    if (!kOld) {
        int q = p < kAtom ? p + 1 : p;
        (p == kPower ? left_p : right_p) = q;  // ** is right-associative
    }
    return wrapped(kOld || prec > p, parts, render_kinds.open, render_kinds.close, [&] {
        int done = expr(left.get(), left_p, parts);
        if (done <= 0) return done;
        if (push_borrowed(parts, o->text) < 0) return -1;
        return expr(right.get(), right_p, parts);
    });
}

int unaryop(PyObject* node, int prec, PyObject* parts) noexcept {
    Ref op, operand;
    int found = field_attr(node, names.op, op);
    if (found <= 0) return found;
    const RenderOp* o = find_op(render_kinds.unary, op.get());
    if (!o) return 0;
    if ((found = field_attr(node, names.operand, operand)) <= 0) return found;
    return wrapped(kOld || prec > o->strength, parts, render_kinds.open, render_kinds.close, [&] {
        if (push_borrowed(parts, o->text) < 0) return -1;
        return expr(operand.get(), o->strength, parts);
    });
}

int compare(PyObject* node, int prec, PyObject* parts) noexcept {
    Ref left, ops, comparators;
    int found = field_attr(node, names.left, left);
    if (found <= 0) return found;
    if ((found = list_field(node, names.ops, ops)) <= 0) return found;
    if ((found = list_field(node, names.comparators, comparators)) <= 0) return found;
    if (PyList_GET_SIZE(ops.get()) != PyList_GET_SIZE(comparators.get())) return 0;
    return wrapped(kOld || prec > kCmp, parts, render_kinds.open, render_kinds.close, [&] {
        int done = expr(left.get(), kBor, parts);
        for (Py_ssize_t i = 0; done > 0 && i < PyList_GET_SIZE(ops.get()); ++i) {
            if (i >= PyList_GET_SIZE(comparators.get())) return 0;
            const RenderOp* o = find_op(render_kinds.comparison, PyList_GET_ITEM(ops.get(), i));
            if (!o) return 0;
            if (push_borrowed(parts, o->text) < 0) return -1;
            Ref e = Ref::borrow(PyList_GET_ITEM(comparators.get(), i));
            done = expr(e.get(), kBor, parts);
        }
        return done;
    });
}

int boolop(PyObject* node, int prec, PyObject* parts) noexcept {
    Ref op, values;
    int found = field_attr(node, names.op, op);
    if (found <= 0) return found;
    const RenderOp* o = find_op(render_kinds.boolean, op.get());
    if (!o) return 0;
    if ((found = list_field(node, names.values, values)) <= 0) return found;
    return wrapped(kOld || prec > o->strength, parts, render_kinds.open, render_kinds.close, [&] {
        // Each operand binds one step more strongly than the one before it.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
            if (i && push_borrowed(parts, o->text) < 0) return -1;
            Ref v = Ref::borrow(PyList_GET_ITEM(values.get(), i));
            Py_ssize_t strength = o->strength + 1 + i;
            int done = expr(v.get(), strength < kAtom ? static_cast<int>(strength) : kAtom, parts);
            if (done <= 0) return done;
        }
        return 1;
    });
}

int ifexp(PyObject* node, int prec, PyObject* parts) noexcept {
    Ref body, test, orelse;
    int found = field_attr(node, names.body, body);
    if (found <= 0) return found;
    if ((found = field_attr(node, names.test, test)) <= 0) return found;
    if ((found = field_attr(node, names.orelse, orelse)) <= 0) return found;
    return wrapped(kOld || prec > kTest, parts, render_kinds.open, render_kinds.close, [&] {
        int done = expr(body.get(), kOr, parts);
        if (done <= 0) return done;
        if (push_borrowed(parts, render_kinds.if_) < 0) return -1;
        if ((done = expr(test.get(), kOr, parts)) <= 0) return done;
        if (push_borrowed(parts, render_kinds.else_) < 0) return -1;
        return expr(orelse.get(), kTest, parts);
    });
}

int dict(PyObject* node, PyObject* parts) noexcept {
    Render& r = render_kinds;
    Ref keys, values;
    int found = list_field(node, names.keys, keys);
    if (found <= 0) return found;
    if ((found = list_field(node, names.values, values)) <= 0) return found;
    if (PyList_GET_SIZE(keys.get()) != PyList_GET_SIZE(values.get())) return 0;
    return wrapped(true, parts, r.open_curly, r.close_curly, [&] {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            if (i >= PyList_GET_SIZE(values.get())) return 0;
            if (i && push_borrowed(parts, r.comma) < 0) return -1;
            Ref k = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
            Ref v = Ref::borrow(PyList_GET_ITEM(values.get(), i));
            int done;
            if (k.get() == Py_None) {
                if (push_borrowed(parts, r.star_star) < 0) return -1;
                done = expr(v.get(), kBor, parts);
            } else {
                if ((done = expr(k.get(), kTest, parts)) <= 0) return done;
                if (push_borrowed(parts, r.colon_space) < 0) return -1;
                done = expr(v.get(), kTest, parts);
            }
            if (done <= 0) return done;
        }
        return 1;
    });
}

// A tuple, list or set (`t` its kind).
int sequence(PyObject* node, PyObject* t, int prec, PyObject* parts) noexcept {
    Render& r = render_kinds;
    Ref elts;
    int found = list_field(node, names.elts, elts);
    if (found <= 0) return found;
    PyObject* list = elts.get();
    if (t == r.tuple) {
        // Only a comprehension's target binds as weakly as a tuple.
        bool bare = prec <= kTuple && PyList_GET_SIZE(list) && !kTupleParens;
        return wrapped(!bare, parts, r.open, r.close, [&] { return items(list, parts); });
    }
    bool is_list = t == r.list;
    if (!is_list && !PyList_GET_SIZE(list)) return 0;  // {} would be a dict
    return wrapped(true, parts, is_list ? r.open_square : r.open_curly, is_list ? r.close_square : r.close_curly,
                   [&] { return joined(list, kTest, r.comma, parts); });
}

// The `for` and `if` clauses of a comprehension.
int generators(PyObject* node, PyObject* parts) noexcept {
    Render& r = render_kinds;
    Ref list;
    int found = list_field(node, names.generators, list);
    if (found <= 0) return found;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref g = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        if (type_of(g.get()) != r.comprehension) return 0;
        Ref is_async, ifs, target, iter;
        if ((found = field_attr(g.get(), names.is_async, is_async)) <= 0) return found;
        if ((found = list_field(g.get(), names.ifs, ifs)) <= 0) return found;
        if (!PyLong_CheckExact(is_async.get())) return 0;
        if ((found = field_attr(g.get(), names.target, target)) <= 0) return found;
        if ((found = field_attr(g.get(), names.iter, iter)) <= 0) return found;
        int async = PyObject_IsTrue(is_async.get());
        if (async < 0 || push_borrowed(parts, async ? r.async_for : r.for_) < 0) return -1;
        int done = expr(target.get(), kTuple, parts);
        if (done <= 0) return done;
        if (push_borrowed(parts, r.in_) < 0) return -1;
        if ((done = expr(iter.get(), kOr, parts)) <= 0) return done;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(ifs.get()); ++j) {
            if (push_borrowed(parts, r.if_) < 0) return -1;
            Ref c = Ref::borrow(PyList_GET_ITEM(ifs.get(), j));
            if ((done = expr(c.get(), kOr, parts)) <= 0) return done;
        }
    }
    return 1;
}

// A list, set or generator comprehension (`t` its kind).
int comprehension(PyObject* node, PyObject* t, PyObject* parts) noexcept {
    Render& r = render_kinds;
    PyObject* open = t == r.listcomp ? r.open_square : t == r.genexp ? r.open : r.open_curly;
    PyObject* close = t == r.listcomp ? r.close_square : t == r.genexp ? r.close : r.close_curly;
    Ref elt;
    int found = field_attr(node, names.elt, elt);
    if (found <= 0) return found;
    return wrapped(true, parts, open, close, [&] {
        int done = expr(elt.get(), kTest, parts);
        return done <= 0 ? done : generators(node, parts);
    });
}

int dictcomp(PyObject* node, PyObject* parts) noexcept {
    Render& r = render_kinds;
    Ref key, value;
    int found = field_attr(node, names.key, key);
    if (found <= 0) return found;
    if ((found = field_attr(node, names.value, value)) <= 0) return found;
    if (value.get() == Py_None) return 0;  // 3.15's {**d for d in ds}
    return wrapped(true, parts, r.open_curly, r.close_curly, [&] {
        int done = expr(key.get(), kTest, parts);
        if (done <= 0) return done;
        if (push_borrowed(parts, r.colon_space) < 0) return -1;
        if ((done = expr(value.get(), kTest, parts)) <= 0) return done;
        return generators(node, parts);
    });
}

int dispatch(PyObject* node, PyObject* t, int prec, PyObject* parts) noexcept {
    Render& r = render_kinds;
    if (t == r.attribute) return attribute(node, parts);
    if (t == r.call) return call(node, parts);
    if (t == r.constant) return constant(node, parts);
    if (t == r.subscript) {
        Ref value, s;
        int found = field_attr(node, names.value, value);
        if (found <= 0) return found;
        if ((found = field_attr(node, names.slice, s)) <= 0) return found;
        int done = expr(value.get(), kAtom, parts);
        if (done <= 0) return done;
        return wrapped(true, parts, r.open_square, r.close_square, [&] { return subscript_slice(s.get(), parts); });
    }
    if (t == r.binop) return binop(node, prec, parts);
    if (t == r.tuple || t == r.list) return sequence(node, t, prec, parts);
    if (t == r.unaryop) return unaryop(node, prec, parts);
    if (t == r.starred) {
        Ref value;
        int found = field_attr(node, names.value, value);
        if (found <= 0) return found;
        if (push_borrowed(parts, r.star) < 0) return -1;
        return expr(value.get(), kBor, parts);
    }
    if (t == r.slice) return slice(node, parts);
    if (t == r.compare) return compare(node, prec, parts);
    if (t == r.boolop) return boolop(node, prec, parts);
    if (t == r.ifexp) return ifexp(node, prec, parts);
    if (t == r.dict) return dict(node, parts);
    if (t == r.listcomp || t == r.genexp || t == r.setcomp) return comprehension(node, t, parts);
    if (t == r.dictcomp) return dictcomp(node, parts);
    if (t == r.set) return sequence(node, t, prec, parts);
    return 0;
}

int expr(PyObject* node, int prec, PyObject* parts) noexcept {
    PyObject* t = type_of(node);
    if (t == render_kinds.name) {
        Ref id;
        int found = field_attr(node, names.id, id);
        if (found <= 0) return found;
        if (!PyUnicode_CheckExact(id.get())) return 0;
        return push(parts, id.release());
    }
    PyThreadState* ts = zok::enter_call();
    if (!ts) return -1;
    int done = dispatch(node, t, prec, parts);
    zok::leave_call(ts);
    return done;
}

// The operators' classes by name, their texts (astunparse's spacing of the
// unary ones before 3.9) and strengths.
struct OpSpec {
    const char* kind;
    const char* text;
    int strength;
};
const OpSpec kBinary[13] = {
    {"Add", " + ", kArith}, {"Sub", " - ", kArith}, {"Mult", " * ", kTerm}, {"MatMult", " @ ", kTerm},
    {"Div", " / ", kTerm}, {"Mod", " % ", kTerm}, {"FloorDiv", " // ", kTerm}, {"Pow", " ** ", kPower},
    {"LShift", " << ", kShift}, {"RShift", " >> ", kShift}, {"BitOr", " | ", kBor}, {"BitXor", " ^ ", kBxor},
    {"BitAnd", " & ", kBand},
};
const OpSpec kUnary[4] = {
    {"USub", kOld ? "- " : "-", kFactor}, {"UAdd", kOld ? "+ " : "+", kFactor},
    {"Invert", kOld ? "~ " : "~", kFactor}, {"Not", "not ", kNot},
};
const OpSpec kComparison[10] = {
    {"Eq", " == ", kCmp}, {"NotEq", " != ", kCmp}, {"Lt", " < ", kCmp}, {"LtE", " <= ", kCmp},
    {"Gt", " > ", kCmp}, {"GtE", " >= ", kCmp}, {"Is", " is ", kCmp}, {"IsNot", " is not ", kCmp},
    {"In", " in ", kCmp}, {"NotIn", " not in ", kCmp},
};
const OpSpec kBoolean[2] = {{"And", " and ", kAnd}, {"Or", " or ", kOr}};

// Sets `slot` to kinds[name] (null when absent): 0, or -1 with the error set.
int set_kind(PyObject*& slot, PyObject* kinds, const char* name) noexcept {
    PyObject* kind = nullptr;
    if (kinds != Py_None) {
        Ref key = Ref::steal(PyUnicode_FromString(name));
        if (!key) return -1;
        kind = PyDict_GetItemWithError(kinds, key.get());  // borrowed
        if (!kind && PyErr_Occurred()) return -1;
    }
    Py_XINCREF(kind);
    Py_XSETREF(slot, kind);
    return 0;
}

template <size_t N>
int set_ops(RenderOp (&table)[N], const OpSpec (&specs)[N], PyObject* kinds) noexcept {
    for (size_t i = 0; i < N; ++i) {
        if (!table[i].text) {
            table[i].text = PyUnicode_InternFromString(specs[i].text);
            if (!table[i].text) return -1;
        }
        table[i].strength = specs[i].strength;
        if (set_kind(table[i].kind, kinds, specs[i].kind) < 0) return -1;
    }
    return 0;
}

}  // namespace

PyObject* render(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (renderer_ready() < 0) return nullptr;
    if (nargs == 1 && !kwnames) {
        Ref parts = Ref::steal(PyList_New(0));
        int done = parts ? expr(args[0], kTest, parts.get()) : -1;
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
    if (nargs != 7 && nargs != 8) {
        PyErr_Format(PyExc_TypeError, "configure_render() takes 7 or 8 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* kinds = nargs == 8 ? args[7] : Py_None;
    if (kinds != Py_None && !PyDict_Check(kinds)) {
        PyErr_SetString(PyExc_TypeError, "configure_render(): kinds must be a dict or None");
        return nullptr;
    }
    Render& r = render_kinds;
    struct {
        PyObject*& slot;
        const char* name;
    } more[] = {{r.tuple, "Tuple"},   {r.list, "List"},       {r.subscript, "Subscript"}, {r.starred, "Starred"},
                {r.slice, "Slice"},   {r.binop, "BinOp"},     {r.unaryop, "UnaryOp"},     {r.compare, "Compare"},
                {r.boolop, "BoolOp"}, {r.ifexp, "IfExp"},     {r.dict, "Dict"},           {r.set, "Set"},
                {r.listcomp, "ListComp"}, {r.genexp, "GeneratorExp"}, {r.setcomp, "SetComp"},
                {r.dictcomp, "DictComp"}, {r.comprehension, "comprehension"}};
    for (auto& m : more)
        if (set_kind(m.slot, kinds, m.name) < 0) return nullptr;
    if (set_ops(r.binary, kBinary, kinds) < 0 || set_ops(r.unary, kUnary, kinds) < 0 ||
        set_ops(r.comparison, kComparison, kinds) < 0 || set_ops(r.boolean, kBoolean, kinds) < 0)
        return nullptr;
    PyObject** slots[] = {&r.name, &r.attribute, &r.call, &r.constant, &r.keyword, &r.fallback, &r.end};
    for (int i = 0; i < 7; ++i) Py_XSETREF(*slots[i], new_ref(args[i]));
    Py_RETURN_NONE;
}

}  // namespace treeops
