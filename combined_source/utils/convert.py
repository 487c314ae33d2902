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


# The kinds that gast 0.7's converter builds by a constructor call of its
# own (on the versions where it has a method for them): the gast class, and
# for each of its fields in order, where the value comes from: a field of
# the node, converted (_FIELD) or as it is (_RAW), a constant (_CONST), a new
# empty list (_LIST) or a new node of a class (_NEW); then the function that
# copies the location, and the attributes set to None after it. (gast reads
# an argument's type comment, a str or None, before its other fields;
# reading a parsed node's fields has no effects, so the order here is the
# fields'.)
_FIELD, _RAW, _CONST, _LIST, _NEW = range(5)
_DEF = ((_FIELD, "name"), (_FIELD, "args"), (_FIELD, "body"), (_FIELD, "decorator_list"), (_FIELD, "returns"),
        (_FIELD, "type_comment"), (_LIST, None))
_CONSTRUCTED = {
    "arg": ("Name", ((_RAW, "arg"), (_NEW, gast.Param), (_FIELD, "annotation"), (_FIELD, "type_comment")),
            ast.copy_location, ()),
    "Assign": ("Assign", ((_FIELD, "targets"), (_FIELD, "value"), (_CONST, None)), gast.copy_location,
               ("end_lineno", "end_col_offset")),
    "FunctionDef": ("FunctionDef", _DEF, gast.copy_location, ()),
    "AsyncFunctionDef": ("AsyncFunctionDef", _DEF, gast.copy_location, ()),
    "ClassDef": ("ClassDef", ((_FIELD, "name"), (_FIELD, "bases"), (_FIELD, "keywords"), (_FIELD, "body"),
                              (_FIELD, "decorator_list"), (_LIST, None)), gast.copy_location, ()),
    "alias": ("alias", ((_FIELD, "name"), (_FIELD, "asname")), None,
              ("lineno", "col_offset", "end_lineno", "end_col_offset")),
}
_POSITIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")


def _plan(cls):
    """How nodes of type `cls` are converted: None for gast's converter; for
    a kind gast builds by a constructor call, (gast type, ((field, source,
    argument), ...), location copy or None, attributes set to None, whether
    both types carry all four positions); else (gast type or None, fields,
    attributes, how it is recorded: 1 from the values set, as the gast type
    has exactly these fields; 0 not at all, as it has none; -1 by reading
    the node made)."""
    name = cls.__name__
    method = getattr(_Converter, "visit_" + name, None)
    built = _CONSTRUCTED.get(name)
    if built is not None and vars(Ast3ToGAst).get("visit_" + name) is method is not None:
        target = getattr(gast, built[0])
        sources = tuple((field, how, what) for field, (how, what) in zip(target._fields, built[1]))
        located = all(p in cls._attributes and p in target._attributes for p in _POSITIONS)
        plan = (target, sources, built[2], built[3], located)
    elif method is not None and not (method is _STOCK_CONSTANT and _GENERIC_CONSTANTS):
        plan = None
    else:
        target = getattr(gast, name, None)
        fields = getattr(target, "_fields", ())
        recorded = (1 if fields == cls._fields else -1) if fields else 0
        plan = (target, cls._fields, cls._attributes, recorded)
    _PLANS[cls] = plan
    return plan


def _construct(node, converter, plan):
    """The node of a kind gast builds by a constructor call, built the same way."""
    target, sources, copy, nones, _ = plan
    values = []
    for _, how, what in sources:
        if how == _FIELD:
            values.append(_convert(getattr(node, what), converter))
        elif how == _RAW:
            values.append(getattr(node, what))
        elif how == _CONST:
            values.append(what)
        else:
            values.append([] if how == _LIST else what())
    new = _new(target)
    for (field, _, _), value in zip(sources, values):
        setattr(new, field, value)
    if copy is not None:
        copy(new, node)
    for name in nones:
        setattr(new, name, None)
    if converter.fields is not None:
        converter.fields[new] = tuple(tuple(v) if type(v) is list else v for v in values)
    return new


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
        if plan is not None and len(plan) == 5:
            return _construct(node, converter, plan)
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
