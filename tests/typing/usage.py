"""The package as a typed user sees it; checked with ``mypy --strict``.

The ``type: ignore`` lines are calls that must be rejected: with unused
ignores reported, a stub that let them pass fails the check.
"""
import ast
from typing import Dict

import gast

import combined_source.utils as utils
from combined_source.utils.HUJ import BaseCodePostProcessor
from combined_source.utils.KQA import BaseTransformerConfig
from combined_source.utils.RUF import ast_to_source_code
from combined_source.utils.TEH import ObjectLike, Transformer
from combined_source.utils.W import is_orb_api
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor


def rewrite(text: str, object_name: str = "", new_name: str = "arr") -> str:
    tree: ast.Module = gast.parse(text)
    transformer = Transformer(ObjectLike(object(), object_name))
    config = BaseTransformerConfig({"torch.float32": "orb.float32"})
    processor: BaseCodePostProcessor = FrontendTorchCodePostProcessor(tree, transformer, config, new_name)
    processor.transform()
    return ast_to_source_code(tree).strip()


def rewrite_one(node: ast.Name, call: ast.Call) -> ast.expr:
    config = BaseTransformerConfig()
    p = FrontendTorchCodePostProcessor(node, Transformer(ObjectLike(None, ""), config), config)
    renamed: ast.expr = p.visit_Name(node)
    mapped: ast.expr = p.visit_Attribute(ast.Attribute(renamed, "x", ast.Load()))
    keyword: ast.AST = p.visit_keyword(ast.keyword("data_format", ast.Constant("NCHW")))
    assert keyword is not None and mapped is not None
    name: str = p.new_name
    assert name
    return p.visit_Call(call)


version: str = utils.__version__
text: str = utils.rewrite_source("x = torch.Tensor(a)", object_name="o", transpose=True, dtype_map={"a": "b"})
api: bool = is_orb_api(object())
try:
    whole: str = utils.rewrite_source("y = (Tensor := 1)", allow_reformat=False)
except utils.SpliceRejected as e:
    where: str = "%s at %s:%s" % (e.reason, e.line or 0, e.column or 0)
    as_value: ValueError = e
mapping: Dict[str, str] = BaseTransformerConfig().dtype_mapping

FrontendTorchCodePostProcessor(ast.Module([], []))  # type: ignore[call-arg]
FrontendTorchCodePostProcessor(ast.Module([], []), 1, 2)  # type: ignore[arg-type]
FrontendTorchCodePostProcessor.transform(None)  # type: ignore[arg-type]
utils.rewrite_source("x", transpose="yes")  # type: ignore[arg-type]
utils.rewrite_source("x", allow_reformat=None)  # type: ignore[arg-type]
unknown = utils.__author__  # type: ignore[attr-defined]
