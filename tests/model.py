"""A plain Python model of the post-processor's four rewrite rules.

It is what the native class computes, written out the obvious way, so that
generated trees can be rewritten by both and the results compared.
"""
import os

import gast

from combined_source.utils.HUJ import BaseCodePostProcessor
from combined_source.utils.RUF import ast_to_source_code
from combined_source.utils.W import is_orb_api

LAYOUTS = (("channel_first", "channel_last"), ("NCHW", "NHWC"), ("NCS", "NSC"))


def same(value, text):
    """Exact text equality; a value that is not a str equals nothing."""
    return isinstance(value, str) and str.__eq__(value, text) is True


def same_any(value, *texts):
    return any(same(value, t) for t in texts)


def parse_expr(text):
    return gast.parse(text).body[0].value


def transpose_on():
    return same(os.environ.get("APPLY_TRANSPOSE_OPTIMIZATION", None), "true")


class ModelPostProcessor(BaseCodePostProcessor):
    def __init__(self, root, transformer, configuration, new_name="arr"):
        self.root = root
        self.transformer = transformer
        self.configuration = configuration
        self.new_name = new_name

    def transform(self):
        self.visit(self.root)

    def orb_api(self):
        return bool(is_orb_api(self.transformer.object_like.obj))

    def visit_keyword(self, node):
        self.generic_visit(node)
        if not transpose_on():
            return node
        if not same_any(node.arg, "data_format", "filter_format"):
            return node
        if not isinstance(node.value, gast.Constant):
            return node
        for old, new in LAYOUTS:
            if same(node.value.value, old):
                node.value.value = new
                break
        return node

    def visit_Name(self, node):
        self.generic_visit(node)
        if self.orb_api():
            if same(node.id, "self"):
                node.id = self.new_name
            return node
        attr_str = ast_to_source_code(node).strip()
        if same_any(attr_str, "torch.Tensor", "torch_frontend.Tensor", "Tensor", "Parameter"):
            return parse_expr("orb.Array")
        return node

    def visit_Attribute(self, node):
        self.generic_visit(node)
        attr_str = ast_to_source_code(node).strip()
        if same_any(attr_str, "torch.Tensor", "torch_frontend.Tensor"):
            return parse_expr("orb.Array")
        if same_any(attr_str, "nn.Parameter", "torch.nn.Parameter", "torch.nn.parameter.Parameter"):
            return parse_expr("orb.Array")
        if same_any(attr_str, "torch.nn.Module", "nn.Module"):
            return parse_expr("orb.Module")
        if same(attr_str, "Tensor"):
            return parse_expr("orb.Array")
        if attr_str in self.configuration.dtype_mapping:
            return parse_expr(self.configuration.dtype_mapping[attr_str])
        if not self.orb_api():
            return node
        if isinstance(node.value, gast.Name) and same(node.value.id, "self"):
            node.value.id = self.new_name
        if "orb_array" in node.attr:
            return node.value
        return node

    def visit_Call(self, node):
        self.generic_visit(node)
        func_name = ast_to_source_code(node.func).strip()
        if same(func_name, "orb.inplace_update"):
            return gast.Attribute(value=node, attr="data", ctx=gast.Load())
        if "Array" in func_name:
            node.keywords = [kw for kw in node.keywords if not same(kw.arg, "requires_grad")]
            return node
        if same(ast_to_source_code(node).strip(), "np.log2(8)"):
            return parse_expr("np.log2(8).astype('float32')")
        if same(ast_to_source_code(node).strip(), "np.zeros((channels, channels))"):
            return parse_expr("np.zeros((channels, channels),dtype='float32')")
        if not transpose_on():
            return node
        if "_ConvNd" not in self.transformer.object_like.name:
            return node
        if not same(func_name, "orb_empty"):
            return node
        args = node.args
        if isinstance(args, (list, tuple)) and len(args) == 0:
            return node  # no shape to reverse
        if not isinstance(args[0], gast.Tuple):
            return node
        dims = node.args[0].elts
        if len(dims) > 2 and isinstance(dims[0], gast.Name):
            if same_any(dims[0].id, "in_channels", "out_channels"):
                node.args[0].elts = list(reversed(dims))
        return node
