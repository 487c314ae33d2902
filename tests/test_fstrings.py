"""F-strings (and 3.14's t-strings) whose parts the rules change: each is
spliced into text that parses to the rewritten tree, with the string's
prefix and quotes kept where they can hold it, on every version."""
import ast
import sys

import gast
import pytest
from hypothesis import given, settings, strategies as st

from test_splice import _module_rewrite, original_tree, rewrite  # noqa: F401 (a fixture)
from combined_source.utils.rewrite import fstrings
from combined_source.utils.rewrite.trees import same_tree

API = dict(orb_api=True)
ME = dict(orb_api=True, new_name="me")
OLD = sys.version_info < (3, 9)  # every changed f-string is written anew

# (source, options, the oldest version that parses it, the output: a text,
# or (on 3.8, from 3.9) where 3.8 writes the whole string anew)
CASES = [
    # a {expr=} part whose expression is renamed or replaced: its text stays as literal text
    ('class A:\n    def f(self):\n        log(f"init: {self.n = }, {self.m = }")\n', ME, (3, 8),
     'class A:\n    def f(me):\n        log(f"init: self.n = {me.n!r}, self.m = {me.m!r}")\n'),
    ('a = f"{Tensor=}"\n', {}, (3, 8), 'a = f"Tensor={orb.Array!r}"\n'),
    ("a = f'{Tensor  =  }'\n", {}, (3, 8), "a = f'Tensor  =  {orb.Array!r}'\n"),
    # ... with a format specifier, a conversion, both, a nested field in the specifier
    ('a = f"{Tensor=:>10}"\n', {}, (3, 8), 'a = f"Tensor={orb.Array:>10}"\n'),
    ('a = f"{Tensor=!s}"\n', {}, (3, 8), 'a = f"Tensor={orb.Array!s}"\n'),
    ('a = f"{Tensor = !r:>{w}}"\n', {}, (3, 8), 'a = f"Tensor = {orb.Array!r:>{w}}"\n'),
    ('a = f"{torch.Tensor=:{Tensor}}"\n', {}, (3, 8), 'a = f"torch.Tensor={orb.Array:{orb.Array}}"\n'),
    # ... beside an unchanged {expr=} part, which stays one
    ('a = f"{x = !r:>3} {Tensor = }"\n', {}, (3, 8), 'a = f"{x = !r:>3} Tensor = {orb.Array!r}"\n'),
    ('a = f"{x=}, {y=!s} {Tensor=}"\n', {}, (3, 8), 'a = f"{x=}, {y=!s} Tensor={orb.Array!r}"\n'),
    # ... whose text holds braces, quotes, a lambda's colon, non-ASCII
    ('a = f"{ {1: Tensor}[1] = }"\n', {}, (3, 8), 'a = f" {{1: Tensor}}[1] = { {1: orb.Array}[1] !r}"\n'),
    ("def f(self):\n    a = f'{self.d[\"k\"]=}'\n", API, (3, 8), None),
    ("def f(self):\n    a = f\"{self.d['k']=}\"\n", API, (3, 8),
     "def f(arr):\n    a = f\"self.d['k']={arr.d['k']!r}\"\n"),
    ('a = f"{(lambda: Tensor)()=}"\n', {}, (3, 8), None),
    ('a = f"é{{x}}\\x1b{Tensor=}"\n', {}, (3, 8), 'a = f"é{{x}}\\x1bTensor={orb.Array!r}"\n'),
    # prefixes and quotes: raw, upper case, triple-quoted over several lines
    ('a = rf"\\d{Tensor=}"\n', {}, (3, 8), 'a = rf"\\dTensor={orb.Array!r}"\n'),
    ("a = Rf'\\d{Tensor}'\n", {}, (3, 8), "a = Rf'\\d{orb.Array}'\n"),
    ('a = f"""a\n{Tensor=}\n"""\n', {}, (3, 8), 'a = f"""a\nTensor={orb.Array!r}\n"""\n'),
    ("a = F'''x\\ty\n{Tensor}'''\n", {}, (3, 8), ("a = F'''x\\ty\n{orb.Array}'''\n", "a = F'''x\\ty\n{orb.Array}'''\n")),
    # escapes in the literal text (3.8 writes the whole string anew)
    ('class A:\n    def f(self):\n        a = f"\\r{self.n}"\n', API, (3, 8),
     'class A:\n    def f(arr):\n        a = f"\\r{arr.n}"\n'),
    ('d = f"\\\\n{Tensor}"\n', {}, (3, 8), 'd = f"\\\\n{orb.Array}"\n'),
    ('d = f"\\n{Tensor}"\n', {}, (3, 8), 'd = f"\\n{orb.Array}"\n'),
    ("d = f'\\'{Tensor}\\''\n", {}, (3, 8), "d = f'\\'{orb.Array}\\''\n"),
    ('d = f"\\ud800\\0{Tensor}"\n', {}, (3, 8), ('d = f"\\ud800\\x00{orb.Array}"\n', 'd = f"\\ud800\\0{orb.Array}"\n')),
    ('d = f"\\N{DEGREE SIGN}{Tensor}"\n', {}, (3, 8), ('d = f"°{orb.Array}"\n', 'd = f"\\N{DEGREE SIGN}{orb.Array}"\n')),
    # several literals: only the changed one is written anew, comments between them stay
    ('a = (f"{x}"  # c\n     f"{Tensor=}" "b")\n', {}, (3, 8), 'a = (f"{x}"  # c\n     f"Tensor={orb.Array!r}" "b")\n'),
    # nested f-strings
    ("a = f\"a{f'{Tensor=}'}b\"\n", {}, (3, 8), "a = f\"a{f'Tensor={orb.Array!r}'}b\"\n"),
    ("a = f\"{f'{Tensor}'=}\"\n", {}, (3, 8), None),
    # 3.12's grammar: quotes reused inside, backslashes, lines and comments in a field
    ('def f(self):\n    a = f"{self.d["k"]=}"\n', API, (3, 12),
     "def f(arr):\n    a = f\"self.d[\\\"k\\\"]={arr.d['k']!r}\"\n"),
    ('def f(self):\n    a = f"{self.d["k"]}"\n', API, (3, 12), 'def f(arr):\n    a = f"{arr.d["k"]}"\n'),
    ('a = f"{\n  Tensor\n=}"\n', {}, (3, 12), 'a = f"\\n  Tensor\\n={orb.Array!r}"\n'),
    ('a = f"""{Tensor  # c\n}"""\n', {}, (3, 12), 'a = f"""{orb.Array  # c\n}"""\n'),
    ('a = f"{"\\n".join(Tensor)=}"\n', {}, (3, 12), None),
    ('a = f"{f"{f"{Tensor=}"}"}"\n', {}, (3, 12), 'a = f"{f"{f"Tensor={orb.Array!r}"}"}"\n'),
    # t-strings: a field holds its expression's text, which is what is written now
    ('a = t"{Tensor}"\n', {}, (3, 14), 'a = t"{orb.Array}"\n'),
    ('a = t"{Tensor=}" t\'{x}\'\n', {}, (3, 14), 'a = t"Tensor={orb.Array!r}" t\'{x}\'\n'),
    ("def f(self):\n    a = t'x {self.n = :>{w}} {y!s}'\n", API, (3, 14),
     "def f(arr):\n    a = t'x self.n = {arr.n:>{w}} {y!s}'\n"),
]


def _interpolations(tree):
    return [n for n in gast.walk(tree) if type(n).__name__ == "Interpolation"]


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, options, since, expected", CASES)
def test_changed_fstring_is_spliced(source, options, since, expected):
    if sys.version_info < since:
        pytest.skip("the grammar of this version does not have it")
    result = rewrite(source, **options)
    assert (result.whole, result.reason) == (False, None)
    if type(expected) is tuple:
        expected = expected[0] if OLD else expected[1]
    if expected is not None:
        assert result.output == expected
    want = _module_rewrite(source, options) if "new_name" not in options else None
    if want is not None:
        got = gast.ast_to_gast(ast.parse(result.output))
        for mine, theirs in zip(_interpolations(want), _interpolations(got)):
            mine.str = theirs.str  # the module keeps the text the field had
        assert same_tree(got, want)


@pytest.mark.parametrize("source, since, why", [
    # the text of a {expr=} part holds a comment, which its literal text does not keep
    ('a = f"""{Tensor=  # c\n}"""\n', (3, 12), "a comment inside an f-string written anew"),
])
def test_fstring_that_cannot_be_written_is_left(source, since, why):
    if sys.version_info < since:
        pytest.skip("the grammar of this version does not have it")
    result = rewrite(source)
    assert result.whole and why in result.reason.what


@pytest.mark.parametrize("text, spans", [
    ('f"a" "b"', [(0, 4), (5, 8)]),
    ("rb'x'  # c\n F'{y}'", [(0, 5), (12, 18)]),
    ("'''a\nb'''\r\nf'{\"c\"}'", [(0, 9), (11, 19)]),
    ("f'''{x}", None),
])
def test_literals(text, spans):
    assert fstrings.literals(text) == spans


@settings(max_examples=400, deadline=None)
@given(st.lists(st.tuples(st.text(), st.sampled_from(["x", "a.b", "d['k']", '{1: 2}', "lambda: 1", "(y := 2)"]),
                          st.sampled_from([-1, 114, 115]), st.sampled_from([None, ">10", "{w}"])), max_size=3),
       st.sampled_from(["f", "rf", "F", "fR"]), st.sampled_from(['"', "'", '"""', "'''"]))
def test_rendered_text_holds_the_value(parts, prefix, quote):
    """Literal text and fields in any mix, written with any prefix and
    quote: what is written parses to the very string; only a raw string,
    or an expression holding the quote before 3.12, may be refused."""
    values = []
    for text, expr, conversion, spec in parts:
        if text:
            values.append(gast.Constant(text, None))
        if spec is not None:
            spec = gast.ast_to_gast(ast.parse("f'{x:%s}'" % spec, mode="eval")).body.values[0].format_spec
        values.append(gast.FormattedValue(gast.ast_to_gast(ast.parse(expr, mode="eval")).body, conversion, spec))
    node = gast.JoinedStr(values)
    text = fstrings.render(node, prefix, quote)
    if text is None:
        assert "r" in prefix.lower() or (sys.version_info < (3, 12) and any(quote[0] in p[1] for p in parts))
        return
    parsed = gast.ast_to_gast(ast.parse("(" + text + ")", mode="eval")).body
    assert same_tree(parsed, node), text
