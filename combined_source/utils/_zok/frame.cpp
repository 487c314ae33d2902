// __init__ and transform: the post-processor's construction and its one
// walk over the tree through the inherited visit.
#include "ops.hpp"

namespace zok {
namespace {

using namespace ops;

constexpr int k_init_line = __LINE__ + 1;
PyObject* init(Ctx& c, PyObject* const* p) noexcept {
    PyObject* self = p[0];
    // Stored unchanged, in this order; the base initialiser is never run.
    static const N fields[] = {N::root, N::transformer, N::configuration, N::new_name};
    for (int i = 0; i < 4; ++i)
        if (PyObject_SetAttr(self, name(fields[i]), p[i + 1]) < 0) ZOK_FAIL(c);
    Py_RETURN_NONE;
}

constexpr int k_transform_line = __LINE__ + 1;
PyObject* transform(Ctx& c, PyObject* const* p) noexcept {
    PyObject* self = p[0];
    Ref visit = getattr(self, N::visit);
    if (!visit) ZOK_FAIL(c);
    Ref root = getattr(self, N::root);
    if (!root) ZOK_FAIL(c);
    Ref result = call1(visit.get(), root.get());
    if (!result) ZOK_FAIL(c);
    Py_RETURN_NONE;
}

const N k_init_params[] = {N::self, N::root, N::transformer, N::configuration, N::new_name};
const N k_transform_params[] = {N::self};

}  // namespace

const MethodDef k_init_def = {
    N::dunder_init, init, 5, 4, k_init_params, nullptr, 0, "frame.cpp", k_init_line,
    "at least", 4, "s", "at most", 5, "s",
};

const MethodDef k_transform_def = {
    N::transform, transform, 1, 1, k_transform_params, nullptr, 0, "frame.cpp", k_transform_line,
    "exactly", 1, "", "exactly", 1, "",
};

}  // namespace zok
