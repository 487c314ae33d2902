import ast

def ast_to_source_code(node: ast.AST) -> str:
    """Render any ``gast`` node (expression, statement or module) to source."""
def reference_source_code(node: ast.AST) -> str:
    """The reference rendering: back to a standard tree, then unparsed."""
