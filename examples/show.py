"""Rewrites the bundled example with the post-processor and prints it."""
import os
import pathlib

import gast

from combined_source.utils.KQA import BaseTransformerConfig
from combined_source.utils.RUF import ast_to_source_code
from combined_source.utils.TEH import ObjectLike, Transformer
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor

source = pathlib.Path(__file__).with_name("conv_module.py").read_text()
os.environ["APPLY_TRANSPOSE_OPTIMIZATION"] = "true"
tree = gast.parse(source)
transformer = Transformer(ObjectLike(object(), "torch.nn.modules.conv._ConvNd"))
config = BaseTransformerConfig({"torch.float32": "orb.float32"})
FrontendTorchCodePostProcessor(tree, transformer, config).transform()
print(ast_to_source_code(tree).strip())
