// visit_Name: under the orb-API test "self" takes the post-processor's
// new_name; otherwise torch tensor and parameter names become "orb.Array".
#include "ops.hpp"

namespace zok {
namespace {

using namespace ops;

constexpr int k_line = __LINE__ + 1;
PyObject* visit_Name(Ctx& c, PyObject* const* p) noexcept {
    PyObject* self = p[0];
    PyObject* node = p[1];
    if (generic_visit(self, node) < 0) ZOK_FAIL(c);

    int api = orb_api_test(c, self);
    if (api < 0) ZOK_FAIL(c);
    if (api) {
        Ref id = getattr(node, N::id);
        if (!id) ZOK_FAIL(c);
        int is_self = str_eq(id.get(), name(N::self));
        if (is_self < 0) ZOK_FAIL(c);
        if (is_self) {
            Ref new_name = getattr(self, N::new_name);
            if (!new_name) ZOK_FAIL(c);
            if (PyObject_SetAttr(node, name(N::id), new_name.get()) < 0) ZOK_FAIL(c);
        }
        return Ref::borrow(node).release();
    }

    Ref attr_str = render(c, node);
    if (!attr_str) ZOK_FAIL(c);
    int hit = eq_any(attr_str.get(),
                     {N::s_torch_Tensor, N::s_torch_frontend_Tensor, N::s_Tensor, N::s_Parameter});
    if (hit < 0) ZOK_FAIL(c);
    if (hit) {
        Ref repl = replacement(c, N::s_orb_Array);
        if (!repl) ZOK_FAIL(c);
        return repl.release();
    }
    return Ref::borrow(node).release();
}

const N k_params[] = {N::self, N::node};
const N k_locals[] = {N::attr_str};

}  // namespace

const MethodDef k_visit_Name_def = {
    N::visit_Name, visit_Name, 2, 2, k_params, k_locals, 1, "rewrite_name.cpp", k_line,
    "exactly", 2, "s", "exactly", 2, "s",
};

}  // namespace zok
