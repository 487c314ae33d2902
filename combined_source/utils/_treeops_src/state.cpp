#include "state.hpp"

#include <cfloat>

namespace treeops {

using zok::Ref;

State state;

namespace {

int intern(PyObject** slot, const char* text) noexcept {
    *slot = PyUnicode_InternFromString(text);
    return *slot ? 0 : -1;
}

}  // namespace

int init_state() noexcept {
    int64_t current = zok::compat::current_interpreter_id();
    if (current < 0) return -1;
    if (state.interpreter_id != -1 && state.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "combined_source.utils._treeops can be loaded by one interpreter of a process only");
        return -1;
    }
    if (g.ast) return 0;  // process-wide, made once
    Ref ast_module = Ref::steal(PyImport_ImportModule("ast"));
    if (!ast_module) return -1;
    Ref ast = Ref::steal(PyObject_GetAttrString(ast_module.get(), "AST"));
    if (!ast) return -1;
    if (!PyType_Check(ast.get())) {
        PyErr_SetString(PyExc_TypeError, "ast.AST is not a class");
        return -1;
    }
    const char* position[4] = {"lineno", "col_offset", "end_lineno", "end_col_offset"};
    if (intern(&names.id, "id") || intern(&names.ctx, "ctx") || intern(&names.annotation, "annotation") ||
        intern(&names.type_comment, "type_comment") || intern(&names.visit, "visit") ||
        intern(&names.dunder_class, "__class__") || intern(&names.dunder_name, "__name__") ||
        intern(&names.fields, "_fields") || intern(&names.attributes, "_attributes") ||
        intern(&g.visit_prefix, "visit_") || intern(&names.value, "value") ||
        intern(&names.kind, "kind") || intern(&names.attr, "attr") || intern(&names.func, "func") ||
        intern(&names.args, "args") || intern(&names.keywords, "keywords") || intern(&names.arg, "arg"))
        return -1;
    if (intern(&names.elts, "elts") || intern(&names.slice, "slice") || intern(&names.lower, "lower") ||
        intern(&names.upper, "upper") || intern(&names.step, "step") || intern(&names.left, "left") ||
        intern(&names.op, "op") || intern(&names.right, "right") || intern(&names.operand, "operand") ||
        intern(&names.ops, "ops") || intern(&names.comparators, "comparators") || intern(&names.values, "values") ||
        intern(&names.keys, "keys") || intern(&names.body, "body") || intern(&names.test, "test") ||
        intern(&names.orelse, "orelse") || intern(&names.elt, "elt") || intern(&names.generators, "generators") ||
        intern(&names.target, "target") || intern(&names.iter, "iter") || intern(&names.ifs, "ifs") ||
        intern(&names.is_async, "is_async") || intern(&names.key, "key"))
        return -1;
    if (intern(&names.generic_visit, "generic_visit") ||
        intern(&names.const_names, "_const_node_type_names") || intern(&names.dunder_func, "__func__") ||
        intern(&names.dunder_doc, "__doc__") || intern(&names.dunder_wrapped, "__wrapped__") ||
        intern(&names.stock_visit, "_STOCK_VISIT") || intern(&names.walk_global, "_walk") ||
        intern(&names.generic_global, "_GENERIC_VISIT"))
        return -1;
    Render& r = render_kinds;
    if (intern(&r.u_prefix, "u") || intern(&r.dot, ".") || intern(&r.open, "(") || intern(&r.close, ")") ||
        intern(&r.comma, ", ") || intern(&r.star_star, "**") || intern(&r.equals, "=") || intern(&r.empty, ""))
        return -1;
    if (intern(&r.space_dot, " .") || intern(&r.open_square, "[") || intern(&r.close_square, "]") ||
        intern(&r.open_curly, "{") || intern(&r.close_curly, "}") || intern(&r.colon, ":") ||
        intern(&r.colon_space, ": ") || intern(&r.star, "*") || intern(&r.trailing_comma, ",") ||
        intern(&r.if_, " if ") || intern(&r.else_, " else ") || intern(&r.ellipsis, "...") ||
        intern(&r.inf, "inf") || intern(&r.nan, "nan") || intern(&r.for_, " for ") ||
        intern(&r.async_for, " async for ") || intern(&r.in_, " in "))
        return -1;
    // repr() of an infinite float, "inf", is no literal; the reference
    // writes a number one digit beyond the largest float instead (and nan as
    // its difference with itself).
    r.inf_text = PyUnicode_FromFormat("1e%d", DBL_MAX_10_EXP + 1);
    if (!r.inf_text) return -1;
    r.nan_text = PyUnicode_FromFormat("(%U-%U)", r.inf_text, r.inf_text);
    if (!r.nan_text) return -1;
    for (int i = 0; i < 4; ++i)
        if (intern(&names.position[i], position[i])) return -1;
    g.empty_tuple = PyTuple_New(0);
    g.method_names = PyDict_New();
    if (!g.empty_tuple || !g.method_names) return -1;
    g.ast = ast.release();
    state.interpreter_id = current;
    return 0;
}

int conversion_ready() noexcept {
    if (g.plans) return 0;
    PyErr_SetString(PyExc_RuntimeError, "the conversion is not configured");
    return -1;
}

int renderer_ready() noexcept {
    if (render_kinds.fallback) return 0;
    PyErr_SetString(PyExc_RuntimeError, "the renderer is not configured");
    return -1;
}

}  // namespace treeops
