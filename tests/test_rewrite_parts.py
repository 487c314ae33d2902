"""The parts of the rewrite that stand on their own: removing an argument by
its tokens, the walk that finds what changed, and the one tree-equality
walk."""
import ast
import os
import re

import gast
import pytest
from hypothesis import given, strategies as st

from combined_source.utils.rewrite import Unsupported, edits, keywords, positions, trees
from combined_source.utils.rewrite.changes import record


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
    ("f (a,  # c\n   b=1)", 1, "f (a  # c\n   )"),  # space after the callee
])
def test_argument_is_removed_with_one_comma(text, i, expected):
    assert removed(text, i) == expected


_PLAIN_ARGUMENTS = st.recursive(
    st.sampled_from(["a", "b1", "1.5e-3", "...", "x.y", "**kw", "*a", "k=v", "-1", "a if b else c", "lambda q: q"]),
    lambda inner: st.builds(lambda f, args, sep, end: "%s(%s%s)" % (f, sep.join(args), end),
                            st.sampled_from(["f", "g.h", "i[0]", ""]), st.lists(inner, max_size=4),
                            st.sampled_from([",", ", ", " ,\n\t", ",\n    ", "\x0c, "]), st.sampled_from(["", ",", " ,\n"]))
    | st.builds("[{}]".format, inner) | st.builds("{{{}: 1}}".format, inner),
    max_leaves=12)


@given(st.builds(lambda args, sep, end: "f(%s%s)" % (sep.join(args), end), st.lists(_PLAIN_ARGUMENTS, max_size=5),
                 st.sampled_from([",", ", ", ",\n  ", " ,\t"]), st.sampled_from(["", ",", ",\n", " "])))
def test_a_plain_argument_list_is_read_as_its_tokens_are(text):
    plain = keywords.arguments(text, 1)
    tokens = keywords.arguments(" " + text, 1)  # not at the callee's end: read by the tokenizer
    assert [None if i is None else (i[0] - 1, i[1] - 1) for i in tokens[0]] == plain[0]
    assert [(a - 1, b - 1) for a, b in tokens[1]] == plain[1]


@pytest.mark.parametrize("text", ["f(a, b=1", "f(a, '''b)"])
def test_argument_list_that_does_not_tokenize_is_refused(text):
    with pytest.raises(Unsupported):
        keywords.arguments(text, 1)


def spliced(source, change, prepare=None):
    """`source` spliced after `change` of its gast tree (`prepare`d before
    its fields are recorded); None when the splicer gives up."""
    tree = gast.ast_to_gast(ast.parse(source))
    if prepare is not None:
        prepare(tree)
    fields = record(tree)
    change(tree)
    splicer = edits.Splicer(source.encode("utf-8"), fields)
    output = splicer.splice(tree)[2]
    return None if splicer.failed else (source if output is None else output)


def _set(path, name, value):
    """A change: field `name` of the node at `path` below the module set to `value`."""
    def change(tree):
        node = tree
        for step in path:
            node = node[step] if isinstance(step, int) else getattr(node, step)
        setattr(node, name, value() if callable(value) else value)
    return change


@pytest.mark.parametrize("source, change, expected", [
    ("x = a + b\n", _set(("body", 0, "value", "right"), "id", "c"), "x = a + c\n"),  # a name below unchanged nodes
    ("f(a, k=1)\n", _set(("body", 0, "value", "args", 0), "id", "z"), "f(z, k=1)\n"),  # in a list field
    ("def f(x: T): pass\n", _set(("body", 0, "args", "args", 0, "annotation"), "id", "U"),
     "def f(x: U): pass\n"),  # below a name that holds a node
    ("x = 'a'\n", _set(("body", 0, "value"), "value", "b"), "x = 'b'\n"),
    ("x = 1\n", _set(("body", 0, "value"), "value", True), None),  # an equal value of another type is a change
    ("x = ''\n", _set(("body", 0, "value"), "value", []), None),  # so is an empty list for an empty text
    ("x = name\n", _set(("body", 0, "value"), "id", lambda: "".join(["na", "me"])), "x = name\n"),  # equal text
    ("x = y\n", lambda tree: delattr(tree.body[0].value, "type_comment"), "x = y\n"),  # a field gone: None
])
def test_change_walk_finds_each_change(source, change, expected):
    assert spliced(source, change) == expected


def test_change_below_a_name_that_holds_a_node_is_found():
    def prepare(tree):
        name = tree.body[0].value
        name.annotation = gast.copy_location(gast.Name("T", gast.Load(), None, None), name)

    # the annotation's text is not where its position says: the change cannot be spliced
    assert spliced("y\n", _set(("body", 0, "value", "annotation"), "id", "U"), prepare) is None


@pytest.fixture(params=["native", "python"])
def walker(request, monkeypatch):
    """The tree walker's tests run with the native walk and the Python one."""
    if request.param == "python":
        monkeypatch.setattr(trees, "_native_same", trees._python_same)
    elif trees._native_same is trees._python_same:
        pytest.skip("the package was built without its native tree passes")


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
def test_one_walk_compares_every_field(walker, x, y, kwargs, expected):
    assert trees.same(ast.parse(x), ast.parse(y), **kwargs) is expected


def test_contexts_are_skipped_only_when_asked(walker):
    load, store = ast.parse("x").body[0].value, ast.parse("x = 1").body[0].targets[0]
    assert trees.same(load, store) is False
    assert trees.same(load, store, skip=trees.NO_CONTEXT) is True


@pytest.mark.parametrize("source, node, expected", [
    ("a.b(c, k=1)", "a.b(c, k=1)", True),
    ("a.b(c, k=1)", "a.b(c, k=2)", False),
    ("(a, -b)", "[a, -b]", False),
    ("lambda: 1", "lambda: 1", None),  # gast represents it otherwise: not known
])
def test_parse_against_rewritten_node(walker, source, node, expected):
    assert trees.same_as_parsed(expr(source), expr(node, gast)) is expected
    if expected is not None:
        assert trees.same_tree(gast.ast_to_gast(expr(source)), expr(node, gast)) is expected


@pytest.mark.parametrize("settled", [(), (ast.FunctionDef,), (ast.Call, ast.Attribute)])
def test_native_walk_sees_the_pairs_of_the_python_one(settled):
    # The same pairs settled in the same order, and the same difference reported.
    if trees._native_same is trees._python_same:
        pytest.skip("the package was built without its native tree passes")
    path = os.path.join(os.path.dirname(__file__), "realcode", sorted(os.listdir(
        os.path.join(os.path.dirname(__file__), "realcode")))[0])
    with open(path, encoding="utf-8") as f:
        text = f.read()
    x, y = ast.parse(text), ast.parse(text[:len(text) * 3 // 4] + text[len(text) * 3 // 4:].replace("self", "me", 1))
    logs = []
    for walk in (trees._native_same, trees._python_same):
        log = []

        def settle(a, b):
            log.append(("settle", type(a).__name__, getattr(a, "lineno", None)))
            return True if isinstance(a, settled) and getattr(a, "lineno", 0) < 10 else None

        def report(a, b, field):
            log.append(("report", type(a).__name__, getattr(a, "lineno", None), field))

        log.append(walk(x, y, ast.AST, ast.AST, None, trees.NOTHING, settle, report))
        logs.append(log)
    assert logs[0] == logs[1] and logs[0][-1] is False and logs[0][-2][0] == "report"


def _starts_by_search(data, lo=0, hi=None, first=None):
    ends = re.compile(rb"\r\n|\r|\n").finditer(data, lo, len(data) if hi is None else hi)
    return [lo if first is None else first] + [m.end() for m in ends]


@given(st.binary().map(lambda b: bytes(b"ab\r\n"[x % 4] for x in b)), st.data())
def test_line_starts_are_the_parser_line_ends(data, draw):
    """Line starts of a slice: CR LF, a lone CR and LF each end a line, and a
    CR LF cut by the slice's ends counts as a lone line end."""
    lo = draw.draw(st.integers(0, len(data)))
    hi = draw.draw(st.one_of(st.none(), st.integers(lo, len(data))))
    first = draw.draw(st.one_of(st.none(), st.just(-1)))
    assert positions.line_starts(data, lo, hi, first) == _starts_by_search(data, lo, hi, first)


@given(st.text(alphabet="ab\r\n\x0b\x0c\x1c\x85\u2028é"))
def test_text_line_starts_are_the_parser_line_ends(text):
    """Offsets of a text's lines, for ASCII text (counted on its bytes) and
    any other: only CR LF, CR and LF end a line, not the other breaks that
    str.splitlines knows."""
    from combined_source.utils.rewrite import imports

    assert imports._starts(text) == [0] + [m.end() for m in re.finditer(r"\r\n|\r|\n", text)]
