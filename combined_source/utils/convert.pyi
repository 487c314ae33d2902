import ast
from typing import Any, Callable, Dict, Tuple

def ast_to_gast(node: ast.AST) -> ast.AST:
    """The ``gast`` tree of the standard tree `node`, as ``gast.ast_to_gast`` makes it."""

def ast_to_gast_recorded(
    node: ast.AST, fields: Dict[Any, Tuple[Any, ...]], record: Callable[[Any, Dict[Any, Tuple[Any, ...]]], Any]
) -> ast.AST:
    """``ast_to_gast(node)``, with the fields of every node made recorded into `fields`."""
