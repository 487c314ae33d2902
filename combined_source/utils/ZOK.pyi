"""The native post-processor of generated orb code.

The runtime objects carry no docstrings; the ones here say what each does.
"""
import ast

from .HUJ import BaseCodePostProcessor
from .KQA import BaseTransformerConfig
from .TEH import Transformer

class FrontendTorchCodePostProcessor(BaseCodePostProcessor):
    """Rewrites a ``gast`` tree of generated orb code in place: torch types
    become orb types, mapped dtype chains are replaced, ``self`` is renamed for
    orb API objects, calls are adjusted, and with the environment variable
    ``APPLY_TRANSPOSE_OPTIMIZATION=true`` layouts become channel-last."""

    new_name: str
    def __init__(
        self,
        root: ast.AST,
        transformer: Transformer,
        configuration: BaseTransformerConfig,
        new_name: str = "arr",
    ) -> None:
        """Keeps the four arguments as attributes; checks and converts none of
        them, and runs no base class initialiser."""
    def transform(self) -> None:
        """Walks ``self.root`` once and rewrites its subtree in place. A root
        that a rule would replace stays as it is: read the result from the tree
        that was passed in."""
    def visit_keyword(self, node: ast.AST) -> ast.AST:
        """Rewrites a ``keyword`` node's children, then, with the transpose
        optimisation on, a channel-first ``data_format`` or ``filter_format``
        constant to channel-last; returns the node."""
    def visit_Name(self, node: ast.AST) -> ast.expr:
        """Renames ``self`` to ``new_name`` for orb API objects, or returns a
        new ``orb.Array`` node in place of a torch tensor or parameter type
        name; otherwise returns the node."""
    def visit_Attribute(self, node: ast.AST) -> ast.expr:
        """Returns a new node for a torch type chain or a mapped dtype chain,
        the receiver in place of an ``orb_array`` access, or the node itself
        (its ``self`` receiver renamed for orb API objects)."""
    def visit_Call(self, node: ast.AST) -> ast.expr:
        """Adjusts a call: ``.data`` after ``orb.inplace_update``, no
        ``requires_grad`` for array constructions, float32 for two numpy
        expressions, reversed convolution weight shapes with the transpose
        optimisation on. Returns the call or the node that replaces it."""
