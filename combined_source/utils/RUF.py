"""Rendering of ``gast`` nodes back to source text.

The reference rendering converts the node back to a standard tree and
unparses it (``astunparse`` on Python 3.8, ``ast.unparse`` from 3.9). The
expressions the rewrite rules render (names, attribute chains, constants,
calls, subscripts, tuples, lists, sets, dicts, comprehensions, arithmetic,
comparisons, boolean operators, conditional expressions) take a direct path that
writes exactly the text the reference gives on the running Python, with
its parentheses, spacing and spelling of constants, in a fraction of the
time. Anything else, and any node that is not exactly as the parser makes
it (another type, a field missing or of an unexpected type), goes the
reference way, so the result is always the reference's. The package's `_treeops`
module, when built, writes natively every kind the direct path writes.
"""
import ast
import sys

import gast

try:
    _unparse = ast.unparse
except AttributeError:  # Python 3.8 has no ast.unparse
    from astunparse import unparse as _unparse

# Binding strength of ast.unparse, weakest first: a node is parenthesized
# when its context binds more strongly than its operator.
_TEST, _NOT, _BOR, _BXOR, _BAND, _SHIFT, _ARITH, _TERM, _FACTOR, _POWER, _ATOM = 4, 7, 9, 10, 11, 12, 13, 14, 15, 16, 18
_TUPLE, _OR, _AND, _CMP = 2, 5, 6, 8
_BINARY = {gast.Add: ("+", _ARITH), gast.Sub: ("-", _ARITH), gast.Mult: ("*", _TERM), gast.MatMult: ("@", _TERM),
           gast.Div: ("/", _TERM), gast.Mod: ("%", _TERM), gast.FloorDiv: ("//", _TERM), gast.Pow: ("**", _POWER),
           gast.LShift: ("<<", _SHIFT), gast.RShift: (">>", _SHIFT), gast.BitOr: ("|", _BOR),
           gast.BitXor: ("^", _BXOR), gast.BitAnd: ("&", _BAND)}
_BINARY = {k: (" %s " % text, p) for k, (text, p) in _BINARY.items()}
_UNARY = {gast.USub: ("-", _FACTOR), gast.UAdd: ("+", _FACTOR), gast.Invert: ("~", _FACTOR), gast.Not: ("not ", _NOT)}
_COMPARE = {gast.Eq: "==", gast.NotEq: "!=", gast.Lt: "<", gast.LtE: "<=", gast.Gt: ">", gast.GtE: ">=",
            gast.Is: "is", gast.IsNot: "is not", gast.In: "in", gast.NotIn: "not in"}
_COMPARE = {k: " %s " % text for k, text in _COMPARE.items()}
_BOOLEAN = {gast.And: (" and ", _AND), gast.Or: (" or ", _OR)}
_INF = "1e" + repr(sys.float_info.max_10_exp + 1)
_NAN = "(%s-%s)" % (_INF, _INF)
_OLD = sys.version_info < (3, 9)  # astunparse's rendering
# 3.9 and 3.10 keep the parentheses of a subscript's tuple holding a starred element.
_STARRED_SLICE_PARENS = sys.version_info < (3, 11)
# Before 3.11 every tuple is parenthesized, a comprehension's target too.
_TUPLE_PARENS = sys.version_info < (3, 11)
_END = "\n" if _OLD else ""  # astunparse ends its text with a line break

_Name, _Attribute, _Call, _Constant, _keyword = gast.Name, gast.Attribute, gast.Call, gast.Constant, gast.keyword
_Tuple, _List, _Subscript, _Starred, _Slice = gast.Tuple, gast.List, gast.Subscript, gast.Starred, gast.Slice
_BinOp, _UnaryOp = gast.BinOp, gast.UnaryOp
_Compare, _BoolOp, _IfExp, _Dict = gast.Compare, gast.BoolOp, gast.IfExp, gast.Dict
_Set, _ListComp, _GeneratorExp, _SetComp, _DictComp = gast.Set, gast.ListComp, gast.GeneratorExp, gast.SetComp, gast.DictComp
_comprehension = gast.comprehension
_BRACKETS = {_ListComp: ("[", "]"), _GeneratorExp: ("(", ")"), _SetComp: ("{", "}")}


class _Unhandled(Exception):
    """A node the direct path leaves to the reference rendering."""


def _constant(value):
    if isinstance(value, (float, complex)):
        text = repr(value).replace("inf", _INF)
        return text if _OLD else text.replace("nan", _NAN)
    return repr(value)


def _items(elts):
    """The elements of a tuple: a trailing comma after a single one."""
    if len(elts) == 1:
        return _expr(elts[0], _TEST) + ","
    return ", ".join([_expr(e, _TEST) for e in elts])


def _arguments(node):
    args, keywords = node.args, node.keywords
    if type(args) is not list or type(keywords) is not list:
        raise _Unhandled
    parts = [_expr(a, _TEST) for a in args]
    for k in keywords:
        if type(k) is not _keyword:
            raise _Unhandled
        arg = k.arg
        if arg is None:
            parts.append("**" + _expr(k.value, _TEST))
        elif type(arg) is str:
            parts.append(arg + "=" + _expr(k.value, _TEST))
        else:
            raise _Unhandled
    return ", ".join(parts)


def _slice(s):
    """The text between a subscript's brackets."""
    if type(s) is _Tuple:
        elts = s.elts
        if type(elts) is not list:
            raise _Unhandled
        if _OLD:
            # A tuple holding a slice is an extended slice there; any other
            # tuple keeps its parentheses.
            if any(isinstance(e, gast.slice) for e in elts):
                return ", ".join([_expr(e, _TEST) for e in elts])
            return "(" + _items(elts) + ")"
        if elts and not (_STARRED_SLICE_PARENS and any(isinstance(e, _Starred) for e in elts)):
            return _items(elts)
    return _expr(s, _TEST)


def _generators(generators):
    """The `for` and `if` clauses of a comprehension."""
    if type(generators) is not list:
        raise _Unhandled
    parts = []
    for g in generators:
        if type(g) is not _comprehension:
            raise _Unhandled
        is_async, ifs = g.is_async, g.ifs
        if type(is_async) is not int or type(ifs) is not list:
            raise _Unhandled
        parts.append((" async for " if is_async else " for ") + _expr(g.target, _TUPLE) + " in " + _expr(g.iter, _OR))
        parts += [" if " + _expr(c, _OR) for c in ifs]
    return "".join(parts)


def _expr(node, prec):
    """The text of expression `node` where the context binds with strength
    `prec` (only operators look at it: they are the nodes that can need
    parentheses here)."""
    t = type(node)
    if t is _Name:
        text = node.id
        if type(text) is not str:
            raise _Unhandled
        return text
    if t is _Attribute:
        value, attr = node.value, node.attr
        if type(attr) is not str:
            raise _Unhandled
        text = _expr(value, _ATOM)
        # 1 .real: a space keeps the dot from joining the number
        if type(value) is _Constant and isinstance(value.value, int):
            return text + " ." + attr
        return text + "." + attr
    if t is _Call:
        return _expr(node.func, _ATOM) + "(" + _arguments(node) + ")"
    if t is _Constant:
        value = node.value
        if isinstance(value, tuple):
            return "(" + (_constant(value[0]) + "," if len(value) == 1 else ", ".join(map(_constant, value))) + ")"
        if value is ...:
            return "..."
        return ("u" if node.kind == "u" else "") + _constant(value)
    if t is _Tuple or t is _List:
        elts = node.elts
        if type(elts) is not list:
            raise _Unhandled
        if t is _List:
            return "[" + ", ".join([_expr(e, _TEST) for e in elts]) + "]"
        # Only a comprehension's target binds as weakly as a tuple.
        if prec <= _TUPLE and elts and not _TUPLE_PARENS:
            return _items(elts)
        return "(" + _items(elts) + ")"
    if t is _Subscript:
        return _expr(node.value, _ATOM) + "[" + _slice(node.slice) + "]"
    if t is _BinOp:
        op, p = _BINARY[type(node.op)]
        if _OLD:
            return "(" + _expr(node.left, p) + op + _expr(node.right, p) + ")"
        q = p + 1 if p < _ATOM else p
        if p == _POWER:  # right-associative
            text = _expr(node.left, q) + op + _expr(node.right, p)
        else:
            text = _expr(node.left, p) + op + _expr(node.right, q)
        return "(" + text + ")" if prec > p else text
    if t is _UnaryOp:
        op, p = _UNARY[type(node.op)]
        if _OLD:
            return "(" + op.rstrip() + " " + _expr(node.operand, p) + ")"
        text = op + _expr(node.operand, p)
        return "(" + text + ")" if prec > p else text
    if t is _Starred:
        return "*" + _expr(node.value, _BOR)
    if t is _Slice:
        lower, upper, step = node.lower, node.upper, node.step
        text = (_expr(lower, _TEST) if lower else "") + ":" + (_expr(upper, _TEST) if upper else "")
        return text + ":" + _expr(step, _TEST) if step else text
    if t is _Compare:
        ops, comparators = node.ops, node.comparators
        if type(ops) is not list or type(comparators) is not list or len(ops) != len(comparators):
            raise _Unhandled
        parts = [_expr(node.left, _BOR)]
        for op, e in zip(ops, comparators):
            parts.append(_COMPARE[type(op)])
            parts.append(_expr(e, _BOR))
        text = "".join(parts)
        return "(" + text + ")" if _OLD or prec > _CMP else text
    if t is _BoolOp:
        op, p = _BOOLEAN[type(node.op)]
        values = node.values
        if type(values) is not list:
            raise _Unhandled
        # Each operand binds one step more strongly than the one before it.
        text = op.join([_expr(v, min(p + 1 + i, _ATOM)) for i, v in enumerate(values)])
        return "(" + text + ")" if _OLD or prec > p else text
    if t is _IfExp:
        text = _expr(node.body, _OR) + " if " + _expr(node.test, _OR) + " else " + _expr(node.orelse, _TEST)
        return "(" + text + ")" if _OLD or prec > _TEST else text
    if t is _Dict:
        keys, values = node.keys, node.values
        if type(keys) is not list or type(values) is not list or len(keys) != len(values):
            raise _Unhandled
        return "{" + ", ".join(["**" + _expr(v, _BOR) if k is None else _expr(k, _TEST) + ": " + _expr(v, _TEST)
                                for k, v in zip(keys, values)]) + "}"
    if t is _ListComp or t is _GeneratorExp or t is _SetComp:
        start, end = _BRACKETS[t]
        return start + _expr(node.elt, _TEST) + _generators(node.generators) + end
    if t is _DictComp:
        value = node.value
        if value is None:  # 3.15's {**d for d in ds}
            raise _Unhandled
        return "{" + _expr(node.key, _TEST) + ": " + _expr(value, _TEST) + _generators(node.generators) + "}"
    if t is _Set:
        elts = node.elts
        if type(elts) is not list or not elts:  # {} would be a dict
            raise _Unhandled
        return "{" + ", ".join([_expr(e, _TEST) for e in elts]) + "}"
    raise _Unhandled


def reference_source_code(node):
    """The reference rendering: back to a standard tree, then unparsed."""
    return _unparse(gast.gast_to_ast(node))


def _python_source_code(node):
    """Render any ``gast`` node (expression, statement or module) to source."""
    try:
        return _expr(node, _TEST) + _END
    except Exception:  # not handled here (or malformed): the reference decides, errors included
        return _unparse(gast.gast_to_ast(node))


try:
    from . import _treeops
except ImportError:  # the package built without its native parts
    _treeops = None

if _treeops is not None:
    # Every kind of the direct path natively; anything unusual by
    # `_python_source_code`.
    _NATIVE_KINDS = {k.__name__: k for k in (_Tuple, _List, _Subscript, _Starred, _Slice, _BinOp, _UnaryOp, _Compare,
                                             _BoolOp, _IfExp, _Dict, _Set, _ListComp, _GeneratorExp, _SetComp,
                                             _DictComp, _comprehension, *_BINARY, *_UNARY, *_COMPARE, *_BOOLEAN)}
    _treeops.configure_render(_Name, _Attribute, _Call, _Constant, _keyword, _python_source_code, _END or None,
                              _NATIVE_KINDS)
    ast_to_source_code = _treeops.render
else:
    ast_to_source_code = _python_source_code
