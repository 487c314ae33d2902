"""Rendering of ``gast`` nodes back to source text."""
import ast

import gast

try:
    _unparse = ast.unparse
except AttributeError:  # Python 3.8 has no ast.unparse
    from astunparse import unparse as _unparse


def ast_to_source_code(node):
    """Render any ``gast`` node (expression, statement or module) to source."""
    return _unparse(gast.gast_to_ast(node))
