// visit_keyword: with the transpose optimisation on, a channel-first layout
// constant given to "data_format" or "filter_format" becomes channel-last,
// changed in place on the constant node.
#include "ops.hpp"

namespace zok {
namespace {

using namespace ops;

constexpr int k_line = __LINE__ + 1;
PyObject* visit_keyword(Ctx& c, PyObject* const* p) noexcept {
    PyObject* self = p[0];
    PyObject* node = p[1];
    if (generic_visit(self, node) < 0) ZOK_FAIL(c);

    int on = transpose_on(c);
    if (on < 0) ZOK_FAIL(c);
    if (!on) return Ref::borrow(node).release();

    Ref arg = getattr(node, N::arg);
    if (!arg) ZOK_FAIL(c);
    int is_layout = eq_any(arg.get(), {N::s_data_format, N::s_filter_format});
    if (is_layout < 0) ZOK_FAIL(c);
    if (!is_layout) return Ref::borrow(node).release();

    Ref value = getattr(node, N::value);
    if (!value) ZOK_FAIL(c);
    int is_const = is_gast(c, value.get(), N::Constant);
    if (is_const < 0) ZOK_FAIL(c);
    if (!is_const) return Ref::borrow(node).release();

    // node.value and its value are read afresh for every comparison and for
    // the assignment: a hook on the node may hand out another constant.
    static const N table[][2] = {
        {N::s_channel_first, N::s_channel_last},
        {N::s_NCHW, N::s_NHWC},
        {N::s_NCS, N::s_NSC},
    };
    for (const auto& row : table) {
        Ref constant = getattr(node, N::value);
        if (!constant) ZOK_FAIL(c);
        Ref text = getattr(constant.get(), N::value);
        if (!text) ZOK_FAIL(c);
        int eq = str_eq(text.get(), name(row[0]));
        if (eq < 0) ZOK_FAIL(c);
        if (eq) {
            Ref target = getattr(node, N::value);
            if (!target) ZOK_FAIL(c);
            if (PyObject_SetAttr(target.get(), name(N::value), name(row[1])) < 0) ZOK_FAIL(c);
            break;
        }
    }
    return Ref::borrow(node).release();
}

const N k_params[] = {N::self, N::node};

}  // namespace

const MethodDef k_visit_keyword_def = {
    N::visit_keyword, visit_keyword, 2, 2, k_params, nullptr, 0, "rewrite_keyword.cpp", k_line,
    "exactly", 2, "s", "exactly", 2, "s",
};

}  // namespace zok
