"""The parts of the rewrite that stand on their own: removing an argument by
its tokens, and the one tree-equality walk."""
import ast

import gast
import pytest

from combined_source.utils.rewrite import Unsupported, keywords, trees


def removed(text, i):
    callee = text.index(")(") + 1 if ")(" in text else 1  # where the callee's text ends
    items, commas = keywords.arguments(text, callee)
    for a, b in reversed(keywords.cuts(text, items, commas, i)):
        text = text[:a] + text[b:]
    return text


@pytest.mark.parametrize("text, i, expected", [
    ("f(a, b=1)", 1, "f(a)"),
    ("f(a=1, c=2)", 0, "f(c=2)"),
    ("f(a, g(x, y=[1, 2]), b=1)", 2, "f(a, g(x, y=[1, 2]))"),  # commas inside brackets are not the call's
    ("f(a,  # keep\n  b=1)", 1, "f(a  # keep\n  )"),
    ("f(\n    a,\n    b=1,  # why\n)", 1, "f(\n    a,\n    # why\n)"),
    ("f(\n    a,\n    b=1,\n    c=2,\n)", 1, "f(\n    a,\n    c=2,\n)"),  # a line left empty goes whole
    ("g(h)(a, b=(\n  1))", 1, "g(h)(a)"),  # the first parenthesis after the callee's end
])
def test_argument_is_removed_with_one_comma(text, i, expected):
    assert removed(text, i) == expected


@pytest.mark.parametrize("text", ["f(a, b=1", "f(a, '''b)"])
def test_argument_list_that_does_not_tokenize_is_refused(text):
    with pytest.raises(Unsupported):
        keywords.arguments(text, 1)


def expr(text, module=ast):
    return module.parse(text).body[0].value


@pytest.mark.parametrize("x, y, kwargs, expected", [
    ("f(a, *b, k=1)", "f(a, *b, k=1)", {}, True),
    ("x = 1", "x = 2", {}, False),
    ("x = 1", "x = 1.0", {}, False),  # equal values of another type
    ("x = True", "x = 1", {}, False),
    ("f(a)", "f(a, b)", {}, False),
    ("f(a)", "f(k=a)", {}, False),
    ("del x", "x", {}, False),  # Del against Load context: other statements
    ("x = 1", "x = 1", dict(settle=lambda a, b: False if isinstance(a, ast.Constant) else None), False),
    ("x = 1", "y = 2", dict(settle=lambda a, b: True if isinstance(a, ast.Assign) else None), True),
])
def test_one_walk_compares_every_field(x, y, kwargs, expected):
    assert trees.same(ast.parse(x), ast.parse(y), **kwargs) is expected


def test_contexts_are_skipped_only_when_asked():
    load, store = ast.parse("x").body[0].value, ast.parse("x = 1").body[0].targets[0]
    assert trees.same(load, store) is False
    assert trees.same(load, store, skip=trees.NO_CONTEXT) is True


@pytest.mark.parametrize("source, node, expected", [
    ("a.b(c, k=1)", "a.b(c, k=1)", True),
    ("a.b(c, k=1)", "a.b(c, k=2)", False),
    ("(a, -b)", "[a, -b]", False),
    ("lambda: 1", "lambda: 1", None),  # gast represents it otherwise: not known
])
def test_parse_against_rewritten_node(source, node, expected):
    assert trees.same_as_parsed(expr(source), expr(node, gast)) is expected
    if expected is not None:
        assert trees.same_tree(gast.ast_to_gast(expr(source)), expr(node, gast)) is expected
