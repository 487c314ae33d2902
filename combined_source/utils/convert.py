"""Conversion of standard syntax trees to ``gast`` trees.

``ast_to_gast`` gives exactly the tree that ``gast.ast_to_gast`` gives (the
same node types, fields, positions and attribute order), with less
interpretive overhead: the node kinds that gast converts field by field are
copied here directly, names too, and every other kind goes to gast's own
converter, whose children come back here. The direct copies are those of
gast 0.7, which builds nodes this way; with another version of gast its
own conversion is used throughout.
"""
import ast

import gast
from gast.ast3 import Ast3ToGAst

_AST = ast.AST
_new = ast.AST.__new__
_copy_location = ast.copy_location
_StdName, _Name = ast.Name, gast.Name


class _Converter(Ast3ToGAst):
    """gast's converter, for the node kinds it converts in a way of its own;
    their children come back to the direct path."""

    def _visit(self, node):
        return _convert(node)


_SPECIAL = _Converter()
_STOCK_CONSTANT = getattr(ast.NodeVisitor, "visit_Constant", None)
# The standard visitor's visit_Constant only goes to legacy methods that
# gast's converter does not have on these versions: constants are then
# converted field by field.
_GENERIC_CONSTANTS = getattr(_Converter, "visit_Constant", None) is _STOCK_CONSTANT and not any(
    hasattr(_SPECIAL, "visit_" + legacy) for legacy in ("Num", "Str", "Bytes", "NameConstant", "Ellipsis"))
_PLANS = {}


def _plan(cls):
    """How nodes of type `cls` are converted: None for gast's converter, else
    (gast type or None, fields, attributes)."""
    name = cls.__name__
    method = getattr(_Converter, "visit_" + name, None)
    if method is not None and not (method is _STOCK_CONSTANT and _GENERIC_CONSTANTS):
        plan = None
    else:
        plan = (getattr(gast, name, None), cls._fields, cls._attributes)
    _PLANS[cls] = plan
    return plan


def _convert(node):
    if isinstance(node, _AST):
        cls = type(node)
        if cls is _StdName:
            new = _new(_Name)
            new.id, new.ctx, new.annotation, new.type_comment = node.id, _convert(node.ctx), None, None
            return _copy_location(new, node)
        try:
            plan = _PLANS[cls]
        except KeyError:
            plan = _plan(cls)
        if plan is None:
            return _SPECIAL.visit(node)
        target, names, attributes = plan
        if target is None:  # not a gast node kind
            return None
        # Attributes are set one by one (not stored into the instance's dict),
        # so that nodes of a kind share their dict's keys, as gast's do.
        new = _new(target)
        for name in names:
            try:
                value = getattr(node, name)
            except AttributeError:  # a field the node was made without
                continue
            setattr(new, name, _convert(value) if isinstance(value, (_AST, list)) else value)
        for name in attributes:
            try:
                setattr(new, name, getattr(node, name))
            except AttributeError:
                pass
        return new
    if isinstance(node, list):
        return [_convert(n) for n in node]
    return node


def ast_to_gast(node):
    """The ``gast`` tree of the standard tree `node`, as ``gast.ast_to_gast`` makes it."""
    return _convert(node)


if gast.__version__ != "0.7.0":
    ast_to_gast = gast.ast_to_gast  # noqa: F811
