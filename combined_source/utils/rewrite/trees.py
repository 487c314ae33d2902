"""Equality of syntax trees, field by field: one walk, parameterised by the
node classes on each side, the kinds that may be compared, the fields left
out and a hook that settles a pair of nodes before their fields are."""
import ast

import gast

_AST = gast.AST

# Node kinds that gast takes over from ast with the same fields (plus fields
# that are None or empty here), so a parse can be compared without converting.
SAME_IN_GAST = {name: getattr(gast, name) for name in (
    "Name", "Attribute", "Call", "keyword", "Constant", "Tuple", "List", "Set", "Dict", "BinOp", "UnaryOp",
    "BoolOp", "Compare", "IfExp", "Starred", "Load", "Store", "Del", "Add", "Sub", "Mult", "MatMult", "Div",
    "Mod", "Pow", "LShift", "RShift", "BitOr", "BitXor", "BitAnd", "FloorDiv", "Invert", "Not", "UAdd", "USub",
    "And", "Or", "Eq", "NotEq", "Lt", "LtE", "Gt", "GtE", "Is", "IsNot", "In", "NotIn")}
NO_CONTEXT = frozenset(("ctx",))
NOTHING: frozenset = frozenset()


def _differ(report, a, b, field):
    if report is not None:
        report(a, b, field)
    return False


def _python_same(x, y, left, right, kinds, skip, settle, report):
    """`same`, in Python (the native module does the same walk)."""
    stack = [(x, y)]
    pop, push = stack.pop, stack.append
    while stack:
        a, b = pop()
        if settle is not None:
            verdict = settle(a, b)
            if verdict is not None:
                if verdict:
                    continue
                return False  # settle tells why
        if kinds is None:
            kind = type(a)
        else:
            kind = kinds.get(type(a).__name__)
            if kind is None:
                return None
        if type(b) is not kind:
            return _differ(report, a, b, None)
        for name in kind._fields:
            if name in skip:
                continue
            p = getattr(a, name, None)
            q = getattr(b, name, None)
            if type(p) is list:
                if type(q) is not list or len(p) != len(q):
                    return _differ(report, a, b, name)
                for u, v in zip(p, q):
                    if isinstance(u, left):
                        if not isinstance(v, right):
                            return _differ(report, a, b, name)
                        push((u, v))
                    elif type(u) is not type(v) or u != v:
                        return _differ(report, a, b, name)
            elif isinstance(p, left):
                if not isinstance(q, right):
                    return _differ(report, a, b, name)
                push((p, q))
            elif type(p) is not type(q) or p != q:
                return _differ(report, a, b, name)
    return True


try:  # the same walk, native, when the package is built with it
    from .._treeops import same as _native_same
except ImportError:
    _native_same = _python_same


def same(x, y, left=ast.AST, right=ast.AST, kinds=None, skip=NOTHING, settle=None, report=None):
    """Whether trees `x` and `y` are equal: the same kinds of node with equal
    fields. `left` and `right` are the node classes of the two trees;
    `kinds`, when given, maps the name of each kind of node on the left that
    may be compared to the kind it must be on the right (anything else makes
    the answer None: not known); fields named in `skip` are not compared;
    `settle(a, b)` may settle a pair before its fields are compared: True
    (equal), False (different), None (compare the fields). On a difference
    found here, `report(a, b, field)` is told the pair and the field (None
    for a difference of kind)."""
    return _native_same(x, y, left, right, kinds, skip, settle, report)


def same_as_parsed(parsed, node):
    """Whether the ast tree `parsed` equals the gast tree `node` in every
    field but the expression contexts; None when `parsed` holds a node kind
    that gast represents differently."""
    return same(parsed, node, ast.AST, _AST, SAME_IN_GAST, NO_CONTEXT)


def same_tree(x, y):
    """Whether two gast trees are equal in every field but the expression
    contexts (a replacement node is in load context wherever it stands)."""
    return same(x, y, _AST, _AST, None, NO_CONTEXT)
