"""The check's proof by changed expressions parsed on their own: whatever it
proves, the parse of the whole spliced text proves too, and it leaves to
that parse each place where the text around an expression could read its
new text otherwise."""
import ast
import sys

import gast
import pytest

from test_splice import DMAP, rewrite
from combined_source.utils.rewrite import check, edits, inplace
from combined_source.utils.rewrite.positions import line_starts

PY38 = sys.version_info < (3, 9)
MATCH = sys.version_info >= (3, 10)


def _span(source, old, kind=ast.expr):
    """The key and byte span of the first node of `kind` written as `old`."""
    starts = line_starts(source.encode("utf-8"))
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, kind) and ast.get_source_segment(source, node) == old:
            key = (node.lineno, node.col_offset, node.end_lineno, node.end_col_offset, type(node).__name__)
            return key, (starts[node.lineno - 1] + node.col_offset, starts[node.end_lineno - 1] + node.end_col_offset)
    raise LookupError(old)


def _verdicts(source, old, text, now, mark=None, inside=None):
    """(whether the splice of `text` for the expression `old` of `source`,
    rewritten as the expression `now`, was proved by changed expressions,
    the check's verdict, the verdict of the whole text's parse). `mark`
    names the splicer's set the site is in ("loose", "bound"); `inside`
    is the text of an f-string around it."""
    data = source.encode("utf-8")
    key, (start, end) = _span(source, old)
    module = ast.parse(source)
    results = []
    for lines in (check.statement_lines(module), None):  # by statements (or expressions), by the whole text
        splicer = edits.Splicer(data, {})
        splicer.sites = {key: gast.parse(now).body[0].value}
        if mark:
            getattr(splicer, mark).add(key)
        if inside:
            splicer.formatted.append(_span(source, inside)[1])
        spliced = splicer.apply([(start, end, text.encode("utf-8"))])
        ok = splicer.check(module, lines, source, [(start, end, text.encode("utf-8"))], spliced, spliced.decode())
        results.append((splicer.expressions is not None, ok))
    (in_place, ok), (_, whole) = results
    return in_place, ok, whole


@pytest.mark.parametrize("source, old, text, now, mark, inside, proved", [
    ("x = torch.Tensor(a)\n", "torch.Tensor", "orb.Array", "orb.Array", None, None, True),
    ("y = f(torch.int64, 1)\n", "torch.int64", "a if c else b", "a if c else b", "loose", None, True),
    ("y = torch.int64.x\n", "torch.int64", "(a if c else b)", "a if c else b", None, None, True),
    ("x = [a,\n     b]\n", "b", "f(b)[0]", "f(b)[0]", None, None, True),
    # a compound expression where not any expression is taken
    ("y = -torch.int64\n", "torch.int64", "a if c else b", "a if c else b", None, None, False),
    ("y = {**torch.int64}\n", "torch.int64", "a if c else b", "a if c else b", None, None, False),
    # text that the characters around it would read otherwise
    ("x = 1 if y else'NCHW'\n", "'NCHW'", "r'NHWC'", "'NHWC'", None, None, False),
    ("x = 'a'if b else c\n", "'a'", "zz", "zz", None, None, False),
    ("x = a.real\n", "a", "1", "1", None, None, False),
    ("x = f(a,\n      b)\n", "a", "a  # c", "a", None, None, False),
    # a bound target, the part of an f-string, a decorator (3.8), a match pattern
    ("(a := 1)\n", "a", "f(a)", "f(a)", "bound", None, False),
    ("x = f'{y}'\n", "y", "'y'", "'y'", None, "f'{y}'", False),
    ("@torch.Tensor\ndef f():\n    pass\n", "torch.Tensor", "a[0]", "a[0]", None, None, not PY38),
    ("class C:\n    @torch.Tensor(1)\n    def f(self):\n        pass\n", "torch.Tensor", "a[0]", "a[0]", None, None,
     not PY38),
    ("@f(x,\n   torch.int64)\ndef g():\n    pass\n", "torch.int64", "a if c else b", "a if c else b", "loose", None,
     True),
    ("@\\\ntorch.Tensor\ndef g():\n    pass\n", "torch.Tensor", "a[0]", "a[0]", None, None, not PY38),
    ("y = (a\n     @ torch.Tensor)\n", "torch.Tensor", "orb.Array", "orb.Array", None, None, not PY38),
    pytest.param("match v:\n    case torch.Tensor:\n        pass\n", "torch.Tensor", "f(a)", "f(a)", None, None, False,
                 marks=pytest.mark.skipif(not MATCH, reason="no match statement")),
], ids=["an attribute", "any expression as an argument", "parenthesized", "an element on a later line",
        "under an operator", "unpacked in a dict", "a prefix joins a word", "a word joins a word",
        "a number before a dot", "a comment", "a walrus target", "in an f-string", "a decorator",
        "a called decorator", "a decorator's argument", "a decorator's name going on", "an operator starting a line",
        "a match pattern"])
def test_the_check_proves_by_expressions_only_what_the_whole_text_proves(source, old, text, now, mark, inside,
                                                                         proved):
    in_place, ok, whole = _verdicts(source, old, text, now, mark, inside)
    assert in_place is proved and ok is whole
    assert ok or not proved


@pytest.mark.parametrize("source", [
    "y = {**torch.int64}\n", "y = f(**torch.int64)\n", "y = {torch.int64: 1}\n", "y = f(k=torch.int64)\n",
    "y = -torch.int64\n", "y = torch.int64[1]\n", "def f() -> torch.int64: pass\n",
])
def test_a_replacement_by_any_expression_is_proved_only_where_its_field_takes_one(monkeypatch, source):
    result = rewrite(source, **DMAP)
    ast.parse(result.output)
    monkeypatch.setattr(check.Check, "in_place", lambda self, *args: None)
    assert rewrite(source, **DMAP) == result


@pytest.mark.parametrize("source, expected", [
    ("y = {**torch.int64}  # c\n", "y = {**(a if c else b)}  # c\n"),
    ("y = {1: 2, **torch.int64, 3: torch.int64}  # c\n", "y = {1: 2, **(a if c else b), 3: a if c else b}  # c\n"),
])
def test_an_unpacked_dict_value_is_written_in_parentheses(source, expected):
    result = rewrite(source, **DMAP)
    assert not result.whole and result.output == expected


@pytest.mark.parametrize("source, note", [
    ("class C:\n    def f(self, a):\n        y = f(torch.int64, a)\n        return torch.float32\n", (4, 16)),
    # the word outside the changed expressions on the line: read in the statement's parse
    ("def f(a):\n    y = g(orb.x, torch.float32)\n", (2, 11)),
    ("def f(a):\n    y = g('orb', torch.float32)\n", (2, 18)),
    ("def f(a):\n    y = g(torch.float32, orb)\n", (2, 11)),
    ("def f(a):\n    y = [orb for orb in torch.float32]\n", (2, 10)),
])
def test_a_rewrite_is_proved_by_its_expressions_and_the_warning_reads_them(monkeypatch, source, note):
    texts = []
    real = check.parse
    monkeypatch.setattr(check, "parse", lambda text: texts.append(text) or real(text))
    result = rewrite(source, **DMAP)
    assert not result.whole and texts == []  # no statement parsed again
    assert result.notes == (note + ("orb is used but not imported",),)
    monkeypatch.setattr(check.Check, "in_place", lambda self, *args: None)
    assert rewrite(source, **DMAP) == result  # the same as the statements' parses give


def test_a_text_is_parsed_once_and_one_that_is_no_element_fails_its_group_alone(monkeypatch):
    monkeypatch.setattr(inplace, "_PARSED", {})
    calls = []
    real = inplace._elements
    monkeypatch.setattr(inplace, "_elements", lambda texts: calls.append(texts) or real(texts))
    now = gast.parse("orb.Array").body[0].value
    good, bad = [(None, now, b"orb.Array", False, 0)], [(None, now, b"orb.Array if", False, 0)]
    assert [nodes is not None for nodes in check.Check.parsed_in_place([good, bad, good])] == [True, False, True]
    assert calls == [[b"orb.Array", b"orb.Array if"], [b"orb.Array"], [b"orb.Array if"]]
    assert [nodes is not None for nodes in check.Check.parsed_in_place([bad, good])] == [False, True]
    assert len(calls) == 3  # both known
