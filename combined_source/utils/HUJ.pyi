import ast

from .KQA import BaseTransformerConfig
from .TEH import Transformer

class BaseCodePostProcessor(ast.NodeTransformer):
    """A tree rewriter over ``gast`` nodes."""

    root: ast.AST
    transformer: Transformer
    configuration: BaseTransformerConfig
    rewrites: int
    def __init__(self, root: ast.AST, transformer: Transformer, configuration: BaseTransformerConfig) -> None: ...
    def transform(self) -> None: ...
    def generic_visit(self, node: ast.AST) -> ast.AST: ...
