import ast

def ast_to_gast(node: ast.AST) -> ast.AST:
    """The ``gast`` tree of the standard tree `node`, as ``gast.ast_to_gast`` makes it."""
