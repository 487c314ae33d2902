"""Conversion of standard syntax trees to ``gast`` trees.

``ast_to_gast`` gives exactly the tree that ``gast.ast_to_gast`` gives (the
same node types, fields, positions and attribute order), with less
interpretive overhead: the node kinds that gast converts field by field are
copied here directly, names too, and every other kind goes to gast's own
converter, whose children come back here. The direct copies are those of
gast 0.7, which builds nodes this way; with another version of gast its
own conversion is used throughout.

The loop over the nodes is native (the package's `_treeops` module) when it
is built; `_convert` below is the same loop in Python, used without it.
"""
import ast

import gast
from gast.ast3 import Ast3ToGAst

_AST = ast.AST
_new = ast.AST.__new__
_copy_location = ast.copy_location
_StdName, _Name = ast.Name, gast.Name


try:
    from . import _treeops
except ImportError:  # the package built without its native parts
    _treeops = None


class _PythonConverter(Ast3ToGAst):
    """gast's converter, for the node kinds it converts in a way of its own;
    their children come back to the direct path. With `fields` (a dict),
    the nodes made are recorded there: see ``ast_to_gast_recorded``."""

    def __init__(self, fields=None, record=None):
        self.fields, self.record = fields, record

    def _visit(self, node):
        return _convert(node, self)


if _treeops is not None:
    class _Converter(Ast3ToGAst, _treeops.Converter):
        """gast's converter combined with the native conversion, which is
        its `_visit` and keeps `fields` and `record`."""

        _visit = _treeops.Converter._visit
else:
    _Converter = _PythonConverter

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
    (gast type or None, fields, attributes, how it is recorded: 1 from the
    values set, as the gast type has exactly these fields; 0 not at all, as
    it has none; -1 by reading the node made)."""
    name = cls.__name__
    method = getattr(_Converter, "visit_" + name, None)
    if method is not None and not (method is _STOCK_CONSTANT and _GENERIC_CONSTANTS):
        plan = None
    else:
        target = getattr(gast, name, None)
        fields = getattr(target, "_fields", ())
        recorded = (1 if fields == cls._fields else -1) if fields else 0
        plan = (target, cls._fields, cls._attributes, recorded)
    _PLANS[cls] = plan
    return plan


def _convert(node, converter):
    if isinstance(node, _AST):
        cls = type(node)
        fields = converter.fields
        if cls is _StdName:
            new = _new(_Name)
            ident, ctx = node.id, _convert(node.ctx, converter)
            new.id, new.ctx, new.annotation, new.type_comment = ident, ctx, None, None
            if fields is not None:
                fields[new] = (ident, ctx, None, None)
            return _copy_location(new, node)
        try:
            plan = _PLANS[cls]
        except KeyError:
            plan = _plan(cls)
        if plan is None:
            new = converter.visit(node)
            if fields is not None:  # the node and any that gast made below it
                converter.record(new, fields)
            return new
        target, names, attributes, recorded = plan
        if target is None:  # not a gast node kind
            return None
        # The children are converted first and the attributes then set one
        # by one (not stored into the instance's dict), so that nodes of a
        # kind share their dict's keys, as gast's do: a node of the same kind
        # converted below a half-filled one would add its keys first and,
        # before 3.11, stop the sharing for the whole kind.
        values = [] if fields is not None and recorded == 1 else None
        converted = []
        for name in names:
            try:
                value = getattr(node, name)
            except AttributeError:  # a field the node was made without
                if values is not None:
                    values.append(None)
                continue
            if isinstance(value, (_AST, list)):
                value = _convert(value, converter)
            converted.append((name, value))
            if values is not None:
                values.append(tuple(value) if type(value) is list else value)
        new = _new(target)
        for name, value in converted:
            setattr(new, name, value)
        for name in attributes:
            try:
                setattr(new, name, getattr(node, name))
            except AttributeError:
                pass
        if values is not None:
            fields[new] = tuple(values)
        elif fields is not None and recorded:
            converter.record(new, fields)
        return new
    if isinstance(node, list):
        return [_convert(n, converter) for n in node]
    return node


def ast_to_gast(node):
    """The ``gast`` tree of the standard tree `node`, as ``gast.ast_to_gast`` makes it."""
    return _SPECIAL._visit(node)


def ast_to_gast_recorded(node, fields, record):
    """``ast_to_gast(node)``, with the fields of every node made recorded into
    the dict `fields` as ``record(tree, fields)`` records them (node -> tuple
    of its fields, lists as tuples; node kinds without fields left out).
    `record` is called for the nodes made by gast's converter, and must skip
    nodes already in `fields`."""
    return _Converter(fields, record)._visit(node)


if _treeops is not None:
    _treeops.configure(_StdName, _Name, _copy_location, _plan, _PLANS)


if gast.__version__ != "0.7.0":
    ast_to_gast = gast.ast_to_gast  # noqa: F811

    def ast_to_gast_recorded(node, fields, record):  # noqa: F811
        tree = gast.ast_to_gast(node)
        record(tree, fields)
        return tree
