// visit_Attribute: dotted torch type chains become orb types, chains listed
// in the configuration's dtype_mapping become the mapped text, and under the
// orb-API test a "self" receiver takes new_name and "orb_array" accesses are
// dropped.
#include "ops.hpp"

namespace zok {
namespace {

using namespace ops;

constexpr int k_line = __LINE__ + 1;
PyObject* visit_Attribute(Ctx& c, PyObject* const* p) noexcept {
    PyObject* self = p[0];
    PyObject* node = p[1];
    if (generic_visit(self, node) < 0) ZOK_FAIL(c);

    Ref attr_str = render(c, node);
    if (!attr_str) ZOK_FAIL(c);
    PyObject* s = attr_str.get();

    // Fixed texts: tensor and parameter types, then module types, then "Tensor".
    struct TextRule {
        N texts[3];
        int count;
        N replacement;
    };
    static constexpr TextRule rules[] = {
        {{N::s_torch_Tensor, N::s_torch_frontend_Tensor}, 2, N::s_orb_Array},
        {{N::s_nn_Parameter, N::s_torch_nn_Parameter, N::s_torch_nn_parameter_Parameter}, 3,
         N::s_orb_Array},
        {{N::s_torch_nn_Module, N::s_nn_Module}, 2, N::s_orb_Module},
        {{N::s_Tensor}, 1, N::s_orb_Array},
    };
    for (const auto& rule : rules) {
        int hit = eq_any(s, rule.texts, rule.count);
        if (hit < 0) ZOK_FAIL(c);
        if (hit) {
            Ref repl = replacement(c, rule.replacement);
            if (!repl) ZOK_FAIL(c);
            return repl.release();
        }
    }

    // The configuration's dtype mapping, read anew for the membership test
    // and again for the subscript.
    {
        Ref config = getattr(self, N::configuration);
        if (!config) ZOK_FAIL(c);
        Ref mapping = getattr(config.get(), N::dtype_mapping);
        if (!mapping) ZOK_FAIL(c);
        int in = PySequence_Contains(mapping.get(), s);
        if (in < 0) ZOK_FAIL(c);
        if (in) {
            Ref parse = parse_function(c);
            if (!parse) ZOK_FAIL(c);
            config = getattr(self, N::configuration);
            if (!config) ZOK_FAIL(c);
            mapping = getattr(config.get(), N::dtype_mapping);
            if (!mapping) ZOK_FAIL(c);
            Ref text = Ref::steal(PyObject_GetItem(mapping.get(), s));
            if (!text) ZOK_FAIL(c);
            Ref repl = parse_with(parse.get(), text.get());
            if (!repl) ZOK_FAIL(c);
            return repl.release();
        }
    }

    int api = orb_api_test(c, self);
    if (api < 0) ZOK_FAIL(c);
    if (!api) return Ref::borrow(node).release();

    // The receiver "self" takes new_name; the name node stays the same object.
    {
        Ref receiver = getattr(node, N::value);
        if (!receiver) ZOK_FAIL(c);
        int is_name = is_gast(c, receiver.get(), N::Name);
        if (is_name < 0) ZOK_FAIL(c);
        if (is_name) {
            receiver = getattr(node, N::value);
            if (!receiver) ZOK_FAIL(c);
            Ref id = getattr(receiver.get(), N::id);
            if (!id) ZOK_FAIL(c);
            int is_self = str_eq(id.get(), name(N::self));
            if (is_self < 0) ZOK_FAIL(c);
            if (is_self) {
                Ref new_name = getattr(self, N::new_name);
                if (!new_name) ZOK_FAIL(c);
                Ref target = getattr(node, N::value);
                if (!target) ZOK_FAIL(c);
                if (PyObject_SetAttr(target.get(), name(N::id), new_name.get()) < 0) ZOK_FAIL(c);
            }
        }
    }

    // An access of an attribute whose name holds "orb_array" is dropped.
    Ref attr = getattr(node, N::attr);
    if (!attr) ZOK_FAIL(c);
    int drop = PySequence_Contains(attr.get(), name(N::s_orb_array));
    if (drop < 0) ZOK_FAIL(c);
    if (drop) {
        Ref receiver = getattr(node, N::value);
        if (!receiver) ZOK_FAIL(c);
        return receiver.release();
    }
    return Ref::borrow(node).release();
}

const N k_params[] = {N::self, N::node};
const N k_locals[] = {N::attr_str};

}  // namespace

const MethodDef k_visit_Attribute_def = {
    N::visit_Attribute, visit_Attribute, 2, 2, k_params, k_locals, 1, "rewrite_attribute.cpp",
    k_line, "exactly", 2, "s", "exactly", 2, "s",
};

}  // namespace zok
