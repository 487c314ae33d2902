"""The post-processor's rules as a plain Python class, written the way a
Python author would: the peer the native module is measured against (and,
compiled with Cython, the "cython" peer)."""
import os

import gast

from combined_source.utils.HUJ import BaseCodePostProcessor
from combined_source.utils.RUF import ast_to_source_code
from combined_source.utils.W import is_orb_api


class FrontendTorchCodePostProcessor(BaseCodePostProcessor):
    def __init__(self, root, transformer, configuration, new_name="arr"):
        self.root = root
        self.transformer = transformer
        self.configuration = configuration
        self.new_name = new_name

    def transform(self):
        self.visit(self.root)

    def visit_keyword(self, node):
        self.generic_visit(node)
        if os.environ.get("APPLY_TRANSPOSE_OPTIMIZATION", None) != "true":
            return node
        if node.arg not in ("data_format", "filter_format"):
            return node
        if not isinstance(node.value, gast.Constant):
            return node
        if node.value.value == "channel_first":
            node.value.value = "channel_last"
        elif node.value.value == "NCHW":
            node.value.value = "NHWC"
        elif node.value.value == "NCS":
            node.value.value = "NSC"
        return node

    def visit_Name(self, node):
        self.generic_visit(node)
        if is_orb_api(self.transformer.object_like.obj):
            if node.id == "self":
                node.id = self.new_name
            return node
        attr_str = ast_to_source_code(node).strip()
        if attr_str in ("torch.Tensor", "torch_frontend.Tensor", "Tensor", "Parameter"):
            return gast.parse("orb.Array").body[0].value
        return node

    def visit_Attribute(self, node):
        self.generic_visit(node)
        attr_str = ast_to_source_code(node).strip()
        if attr_str in ("torch.Tensor", "torch_frontend.Tensor"):
            return gast.parse("orb.Array").body[0].value
        if attr_str in ("nn.Parameter", "torch.nn.Parameter", "torch.nn.parameter.Parameter"):
            return gast.parse("orb.Array").body[0].value
        if attr_str in ("torch.nn.Module", "nn.Module"):
            return gast.parse("orb.Module").body[0].value
        if attr_str == "Tensor":
            return gast.parse("orb.Array").body[0].value
        if attr_str in self.configuration.dtype_mapping:
            return gast.parse(self.configuration.dtype_mapping[attr_str]).body[0].value
        if is_orb_api(self.transformer.object_like.obj):
            if isinstance(node.value, gast.Name) and node.value.id == "self":
                node.value.id = self.new_name
            if "orb_array" in node.attr:
                return node.value
        return node

    def visit_Call(self, node):
        self.generic_visit(node)
        func_name = ast_to_source_code(node.func).strip()
        if func_name == "orb.inplace_update":
            return gast.Attribute(value=node, attr="data", ctx=gast.Load())
        if "Array" in func_name:
            node.keywords = [kwarg for kwarg in node.keywords if kwarg.arg != "requires_grad"]
            return node
        if ast_to_source_code(node).strip() == "np.log2(8)":
            return gast.parse("np.log2(8).astype('float32')").body[0].value
        if ast_to_source_code(node).strip() == "np.zeros((channels, channels))":
            return gast.parse("np.zeros((channels, channels),dtype='float32')").body[0].value
        if (os.environ.get("APPLY_TRANSPOSE_OPTIMIZATION", None) == "true"
                and "_ConvNd" in self.transformer.object_like.name
                and func_name == "orb_empty"):
            if not node.args or not isinstance(node.args[0], gast.Tuple):
                return node
            dims = node.args[0].elts
            if (len(dims) > 2 and isinstance(dims[0], gast.Name)
                    and dims[0].id in ("in_channels", "out_channels")):
                node.args[0].elts = list(reversed(dims))
        return node
