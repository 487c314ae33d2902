// Every interned name and string constant the module uses, created once when
// the module is executed. Parameter-name arrays point into this table, so a
// keyword match is a pointer compare in the usual case.
#pragma once

#include "compat.hpp"

namespace zok {

// X(identifier, text)
#define ZOK_NAMES(X)                                                           \
    /* parameters and locals */                                                \
    X(self, "self")                                                            \
    X(root, "root")                                                            \
    X(transformer, "transformer")                                              \
    X(configuration, "configuration")                                          \
    X(new_name, "new_name")                                                    \
    X(node, "node")                                                            \
    X(attr_str, "attr_str")                                                    \
    X(func_name, "func_name")                                                  \
    X(dims, "dims")                                                            \
    X(kwarg, "kwarg")                                                          \
    /* attributes read or written */                                           \
    X(visit, "visit")                                                          \
    X(generic_visit, "generic_visit")                                          \
    X(strip, "strip")                                                          \
    X(object_like, "object_like")                                              \
    X(obj, "obj")                                                              \
    X(name, "name")                                                            \
    X(dtype_mapping, "dtype_mapping")                                          \
    X(id, "id")                                                                \
    X(value, "value")                                                          \
    X(attr, "attr")                                                            \
    X(ctx, "ctx")                                                              \
    X(func, "func")                                                            \
    X(args, "args")                                                            \
    X(keywords, "keywords")                                                    \
    X(arg, "arg")                                                              \
    X(elts, "elts")                                                            \
    X(environ, "environ")                                                      \
    X(get, "get")                                                              \
    X(parse, "parse")                                                          \
    X(body, "body")                                                            \
    X(Constant, "Constant")                                                    \
    X(Name, "Name")                                                            \
    X(Tuple, "Tuple")                                                          \
    X(Attribute, "Attribute")                                                  \
    X(Load, "Load")                                                            \
    /* module-level names and imports */                                       \
    X(os, "os")                                                                \
    X(gast, "gast")                                                            \
    X(ast_to_source_code, "ast_to_source_code")                                \
    X(is_orb_api, "is_orb_api")                                                \
    X(BaseCodePostProcessor, "BaseCodePostProcessor")                          \
    X(BaseTransformerConfig, "BaseTransformerConfig")                          \
    X(Transformer, "Transformer")                                              \
    X(KQA, "KQA")                                                              \
    X(TEH, "TEH")                                                              \
    X(RUF, "RUF")                                                              \
    X(W, "W")                                                                  \
    X(HUJ, "HUJ")                                                              \
    X(reversed, "reversed")                                                    \
    X(ZOK, "ZOK")                                                              \
    X(FrontendTorchCodePostProcessor, "FrontendTorchCodePostProcessor")        \
    /* module and class machinery */                                           \
    X(dunder_builtins, "__builtins__")                                         \
    X(dunder_loader, "__loader__")                                             \
    X(dunder_file, "__file__")                                                 \
    X(dunder_package, "__package__")                                           \
    X(dunder_path, "__path__")                                                 \
    X(dunder_spec, "__spec__")                                                 \
    X(dunder_name, "__name__")                                                 \
    X(dunder_test, "__test__")                                                 \
    X(dunder_module, "__module__")                                             \
    X(dunder_qualname, "__qualname__")                                         \
    X(dunder_orig_bases, "__orig_bases__")                                     \
    X(dunder_mro_entries, "__mro_entries__")                                   \
    X(dunder_prepare, "__prepare__")                                           \
    X(loader, "loader")                                                        \
    X(origin, "origin")                                                        \
    X(parent, "parent")                                                        \
    X(submodule_search_locations, "submodule_search_locations")                \
    X(initializing, "_initializing")                                           \
    X(dunder_init, "__init__")                                                 \
    X(transform, "transform")                                                  \
    X(visit_keyword, "visit_keyword")                                          \
    X(visit_Name, "visit_Name")                                                \
    X(visit_Attribute, "visit_Attribute")                                      \
    X(visit_Call, "visit_Call")                                                \
    /* texts compared against or parsed */                                     \
    X(s_env_var, "APPLY_TRANSPOSE_OPTIMIZATION")                               \
    X(s_true, "true")                                                          \
    X(s_data_format, "data_format")                                            \
    X(s_filter_format, "filter_format")                                        \
    X(s_channel_first, "channel_first")                                        \
    X(s_channel_last, "channel_last")                                          \
    X(s_NCHW, "NCHW")                                                          \
    X(s_NHWC, "NHWC")                                                          \
    X(s_NCS, "NCS")                                                            \
    X(s_NSC, "NSC")                                                            \
    X(s_torch_Tensor, "torch.Tensor")                                          \
    X(s_torch_frontend_Tensor, "torch_frontend.Tensor")                        \
    X(s_Tensor, "Tensor")                                                      \
    X(s_Parameter, "Parameter")                                                \
    X(s_nn_Parameter, "nn.Parameter")                                          \
    X(s_torch_nn_Parameter, "torch.nn.Parameter")                              \
    X(s_torch_nn_parameter_Parameter, "torch.nn.parameter.Parameter")          \
    X(s_torch_nn_Module, "torch.nn.Module")                                    \
    X(s_nn_Module, "nn.Module")                                                \
    X(s_orb_Array, "orb.Array")                                                \
    X(s_orb_Module, "orb.Module")                                              \
    X(s_orb_array, "orb_array")                                                \
    X(s_orb_inplace_update, "orb.inplace_update")                              \
    X(s_data, "data")                                                          \
    X(s_Array, "Array")                                                        \
    X(s_requires_grad, "requires_grad")                                        \
    X(s_log2, "np.log2(8)")                                                    \
    X(s_log2_float32, "np.log2(8).astype('float32')")                          \
    X(s_zeros, "np.zeros((channels, channels))")                               \
    X(s_zeros_float32, "np.zeros((channels, channels),dtype='float32')")       \
    X(s_ConvNd, "_ConvNd")                                                     \
    X(s_orb_empty, "orb_empty")                                                \
    X(s_in_channels, "in_channels")                                            \
    X(s_out_channels, "out_channels")                                          \
    X(s_arr, "arr")

enum class N : int {
#define ZOK_ENUM(id, text) id,
    ZOK_NAMES(ZOK_ENUM)
#undef ZOK_ENUM
        count_
};

// The interned strings, indexed by N. Filled by init_names(); never freed.
extern PyObject* g_names[static_cast<int>(N::count_)];

inline PyObject* name(N n) noexcept { return g_names[static_cast<int>(n)]; }

// Creates the table (once per process); -1 with an exception set on failure.
int init_names() noexcept;

}  // namespace zok
