// visit_Call: "orb.inplace_update" calls gain a ".data" access, array
// constructions lose "requires_grad", two numpy expressions gain float32,
// and with the transpose optimisation on a convolution's weight shape is
// reversed.
#include "ops.hpp"

namespace zok {
namespace {

using namespace ops;

// gast.Attribute(value=node, attr="data", ctx=gast.Load())
Ref data_access(Ctx& c, PyObject* node) noexcept {
    Ref attribute = gast_class(c, N::Attribute);
    if (!attribute) return attribute;
    Ref load_cls = gast_class(c, N::Load);
    if (!load_cls) return load_cls;
    Ref load = Ref::steal(compat::vectorcall(load_cls.get(), nullptr, 0, nullptr));
    if (!load) return load;
    PyObject* args[3] = {node, name(N::s_data), load.get()};
    return Ref::steal(compat::vectorcall(attribute.get(), args, 0, g.attribute_kwnames));
}

// [kwarg for kwarg in keywords if kwarg.arg != "requires_grad"]
Ref without_requires_grad(PyObject* keywords) noexcept {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return out;
    Ref it = Ref::steal(PyObject_GetIter(keywords));
    if (!it) return it;
    while (Ref kwarg = Ref::steal(PyIter_Next(it.get()))) {
        Ref arg = getattr(kwarg.get(), N::arg);
        if (!arg) return arg;
        int eq = str_eq(arg.get(), name(N::s_requires_grad));
        if (eq < 0) return Ref();
        if (!eq && PyList_Append(out.get(), kwarg.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return out;
}

// node.args[0]
Ref first_arg(PyObject* node) noexcept {
    Ref args = getattr(node, N::args);
    if (!args) return args;
    return item0(args.get());
}

// The shape tuple's first element is the name in_channels or out_channels:
// 1, 0 or -1.
int channels_first(Ctx& c, PyObject* dims) noexcept {
    Py_ssize_t n = PyObject_Size(dims);
    if (n < 0) return -1;
    if (n <= 2) return 0;
    Ref d0 = item0(dims);
    if (!d0) return -1;
    int is_name = is_gast(c, d0.get(), N::Name);
    if (is_name <= 0) return is_name;
    d0 = item0(dims);
    if (!d0) return -1;
    Ref id = getattr(d0.get(), N::id);
    if (!id) return -1;
    return eq_any(id.get(), {N::s_in_channels, N::s_out_channels});
}

// The convolution shape rule, once its three conditions hold.
PyObject* reverse_shape(Ctx& c, PyObject* node) noexcept {
    Ref shape;
    {
        Ref args = getattr(node, N::args);
        if (!args) ZOK_FAIL(c);
        // A call without positional arguments has no shape to reverse.
        if ((PyList_Check(args.get()) && PyList_GET_SIZE(args.get()) == 0) ||
            (PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 0))
            return Ref::borrow(node).release();
        shape = item0(args.get());
        if (!shape) ZOK_FAIL(c);
    }
    int is_tuple = is_gast(c, shape.get(), N::Tuple);
    if (is_tuple < 0) ZOK_FAIL(c);
    if (!is_tuple) return Ref::borrow(node).release();

    shape = first_arg(node);
    if (!shape) ZOK_FAIL(c);
    Ref dims = getattr(shape.get(), N::elts);
    if (!dims) ZOK_FAIL(c);
    int hit = channels_first(c, dims.get());
    if (hit < 0) ZOK_FAIL(c);
    if (hit) {
        Ref rev = call1(g.reversed, dims.get());
        if (!rev) ZOK_FAIL(c);
        Ref reversed_dims = Ref::steal(PySequence_List(rev.get()));
        if (!reversed_dims) ZOK_FAIL(c);
        shape = first_arg(node);
        if (!shape) ZOK_FAIL(c);
        if (PyObject_SetAttr(shape.get(), name(N::elts), reversed_dims.get()) < 0) ZOK_FAIL(c);
    }
    return Ref::borrow(node).release();
}

constexpr int k_line = __LINE__ + 1;
PyObject* visit_Call(Ctx& c, PyObject* const* p) noexcept {
    PyObject* self = p[0];
    PyObject* node = p[1];
    if (generic_visit(self, node) < 0) ZOK_FAIL(c);

    Ref func_name;
    {
        Ref func = getattr(node, N::func);
        if (!func) ZOK_FAIL(c);
        func_name = render(c, func.get());
        if (!func_name) ZOK_FAIL(c);
    }

    int hit = str_eq(func_name.get(), name(N::s_orb_inplace_update));
    if (hit < 0) ZOK_FAIL(c);
    if (hit) {
        Ref wrapped = data_access(c, node);
        if (!wrapped) ZOK_FAIL(c);
        return wrapped.release();
    }

    hit = PySequence_Contains(func_name.get(), name(N::s_Array));
    if (hit < 0) ZOK_FAIL(c);
    if (hit) {
        Ref keywords = getattr(node, N::keywords);
        if (!keywords) ZOK_FAIL(c);
        Ref kept = without_requires_grad(keywords.get());
        if (!kept) ZOK_FAIL(c);
        if (PyObject_SetAttr(node, name(N::keywords), kept.get()) < 0) ZOK_FAIL(c);
        return Ref::borrow(node).release();
    }

    // The whole call is rendered anew for each of the two numpy rules.
    static const N numpy_rules[][2] = {
        {N::s_log2, N::s_log2_float32},
        {N::s_zeros, N::s_zeros_float32},
    };
    for (const auto& rule : numpy_rules) {
        Ref text = render(c, node);
        if (!text) ZOK_FAIL(c);
        hit = str_eq(text.get(), name(rule[0]));
        if (hit < 0) ZOK_FAIL(c);
        if (hit) {
            Ref repl = replacement(c, rule[1]);
            if (!repl) ZOK_FAIL(c);
            return repl.release();
        }
    }

    hit = transpose_on(c);
    if (hit < 0) ZOK_FAIL(c);
    if (!hit) return Ref::borrow(node).release();
    {
        Ref ol = object_like(self);
        if (!ol) ZOK_FAIL(c);
        Ref object_name = getattr(ol.get(), N::name);
        if (!object_name) ZOK_FAIL(c);
        hit = PySequence_Contains(object_name.get(), name(N::s_ConvNd));
        if (hit < 0) ZOK_FAIL(c);
        if (!hit) return Ref::borrow(node).release();
    }
    hit = str_eq(func_name.get(), name(N::s_orb_empty));
    if (hit < 0) ZOK_FAIL(c);
    if (!hit) return Ref::borrow(node).release();
    return reverse_shape(c, node);
}

const N k_params[] = {N::self, N::node};
const N k_locals[] = {N::func_name, N::dims, N::kwarg};

}  // namespace

const MethodDef k_visit_Call_def = {
    N::visit_Call, visit_Call, 2, 2, k_params, k_locals, 3, "rewrite_call.cpp", k_line,
    "exactly", 2, "s", "exactly", 2, "s",
};

}  // namespace zok
