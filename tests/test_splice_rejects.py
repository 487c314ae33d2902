"""Planted wrong splices: the check must reject each one, so the text never
reaches the user and the file takes the whole rendering instead."""
import re

import pytest

from test_splice import CONV, DMAP, _module_rewrite, original_tree, rewrite  # noqa: F401 (a fixture)
from combined_source.utils import rewrite as rewriting
from combined_source.utils.rewrite import check, edits


def _plant(monkeypatch, fault):
    """Makes the splicer pass its final edits, sorted, through `fault(data, edits)`."""
    apply = edits.Splicer.apply

    def planted(self, edits, lo=0, hi=None):
        if lo == 0 and hi is None:
            edits.sort(key=lambda e: (e[0], e[1]))
            edits[:] = fault(self.data, edits)
        return apply(self, edits, lo, hi)

    monkeypatch.setattr(edits.Splicer, "apply", planted)


def _wrong_text(data, edits):
    (s, e, _), = edits
    return [(s, e, b"orb.Arrays")]


def _spill(data, edits):
    (s, e, text), = edits
    return [(s, e + 4, text + b", xc")]  # also takes ", xb" of the next element


def _brackets(data, edits):
    (s, e, text), = edits
    close = data.index(b"]")
    # the list becomes a tuple: the same fields, only the node kinds differ
    return [(s - 1, e, b"(" + text), (close, close + 1, b")")]


def _lost(data, edits):
    return edits[:-1]  # the last change never made: its text is the same as before


def _unwrapped(data, edits):
    (s, e, text), = edits
    assert text.startswith(b"(")
    return [(s, e, text[1:-1])]  # 2 * a if c else b: the product becomes the condition's branch


def _swap_two(data, edits):
    (s1, e1, t1), (s2, e2, t2) = edits
    return [(s1, e1, b"c"), (s2, e2, t1)]  # the first slot takes the middle element instead of the last


def _wrong_name(data, edits):
    *rest, (s, e, text) = edits
    at = data.index(b"x(")  # the rename lands on the called name instead
    return rest + [(at, at + 1, text)]


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, options, fault", [
    ("y = [torch.Tensor, b]  # c\n", {}, _wrong_text),
    ("y = [torch.Tensor, xb]  # c\n", {}, _spill),
    ("y = [torch.Tensor, b]  # c\n", {}, _brackets),
    ("y = [torch.Tensor, nn.Parameter]  # c\n", {}, _lost),
    ("y = 2 * torch.int64  # c\n", DMAP, _unwrapped),
    ("w = orb_empty((out_channels, c, k))  # c\n", CONV, _swap_two),
    ("def f(self, x):\n    return x(self)  # c\n", dict(orb_api=True), _wrong_name),
], ids=["wrong text", "spill into a neighbour", "spill over the brackets", "lost edit",
                  "dropped parentheses", "swapped shape element", "rename of the wrong name"])
def test_a_planted_wrong_splice_is_rejected(monkeypatch, source, options, fault):
    _plant(monkeypatch, fault)
    result = rewrite(source, **options)
    assert result.whole and re.search(r" at line [12], column \d+\Z", str(result.reason)), result.reason
    assert result.output == rewriting.render(_module_rewrite(source, options))



# Planted wrong splices inside a block, where the check parses the changed
# simple statement on its own: text that parses alone to the rewrite but
# stands at another indentation, or as another statement, in the whole text.
_NESTED = "def f(a):\n    y = 1\n    torch.Tensor  # c\n    return a\n"


def _comment_first(data, edits):
    (s, e, text), = edits
    return [(s, e, b"# moved\n" + text)]  # the statement moves to column 0, out of the function


def _dedented_after(data, edits):
    (s, e, text), = edits
    return [(s, e, text + b"\nz = 1")]  # a second statement, at column 0


def _indented_after(data, edits):
    (s, e, text), = edits
    return [(s, e, text + b"\n    z = 1")]  # a second statement in the function


def _block(data, edits):
    (s, e, text), = edits
    return [(s, e, b"if a:\n    " + text)]  # the statement becomes a block, its body at the block's indentation


def _into_next(data, edits):
    (s, e, text), = edits
    return [(s, e, text + b"(")]  # a bracket that the next statement's line would have to close


def _header_split(data, edits):
    (s, e, text), = edits
    return [(s, e, text + b": y\nif z")]  # the header takes a block of its own; another statement follows


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, fault", [
    (_NESTED, _comment_first),
    (_NESTED, _dedented_after),
    (_NESTED, _indented_after),
    (_NESTED, _block),
    (_NESTED, _into_next),
    ("if torch.Tensor:\n    x = 1\n", _header_split),
    ("class C:\n    def f(self, a: torch.Tensor):\n        return a\n", _header_split),
    ("class C:\n    def f(self):\n        if self:\n            torch.Tensor  # c\n        return 1\n", _comment_first),
    ("def f(a):\n    try:\n        pass\n    except E:\n        torch.Tensor  # c\n", _dedented_after),
], ids=["comment line first", "statement after at column 0", "statement after in the block", "made a block",
        "open bracket", "header split", "method header split", "deeper block", "in an except clause"])
def test_a_planted_wrong_splice_inside_a_block_is_rejected(monkeypatch, source, fault):
    monkeypatch.setattr(check, "APART_SHARE", 1.0)  # parsed apart however small the text around
    monkeypatch.setattr(check, "APART_FROM", 0)
    _plant(monkeypatch, fault)
    result = rewrite(source)
    assert result.whole and re.search(r" at line [1-5], column \d+\Z", str(result.reason)), result.reason
    assert result.output == rewriting.render(_module_rewrite(source, {}))


@pytest.mark.parametrize("source, parsed", [
    ("class C:\n    def f(self, a):\n        y = 1\n        return torch.Tensor(a)  # c\n    z = 2\n",
     ["if 1:\n        return orb.Array(a)  # c\n"]),
    ("def f(a):\n    x = torch.Tensor(\n        a,\n    )\n    y = nn.Parameter\n",
     ["if 1:\n    x = orb.Array(\n        a,\n    )\n", "if 1:\n    y = orb.Array\n"]),
    # a change in a header, and one below it: the statement of the header
    ("class C:\n    @d(torch.Tensor)\n    def f(self, a: torch.Tensor):\n        return torch.Tensor\n",
     ["if 1:\n    @d(orb.Array)\n    def f(self, a: orb.Array):\n     pass\n", "if 1:\n        return orb.Array\n"]),
    ("class C(torch.Tensor):  # c\n\n    x = 1\n", ["class C(orb.Array):  # c\n\n pass\n"]),
    ("def f(a: torch.Tensor): return a\n", []),  # a block on the header's line
    ("def f(a: torch.Tensor): \\\n    return a\n", []),
    ("def f(\n        a: torch.Tensor): pass\n", []),
    ("def f(a):\n    if a:\n        pass\n    else:\n        torch.Tensor  # c\n",
     ["if 1:\n        orb.Array  # c\n"]),
    # the innermost statement that starts its line and ends it
    ("def f(a):\n    y = 1; z = torch.Tensor\n", ["def f(a):\n    y = 1; z = orb.Array\n"]),
    ("def f(a):\n    if a:\n        if torch.Tensor: pass\n",
     ["if 1:\n        if orb.Array: pass\n"]),
    ("def f(a):\n    y = 1\n    z = a \\\n        + torch.Tensor\n", ["if 1:\n    z = a \\\n        + orb.Array\n"]),
    ("def f(a):\n    z = (1,\n    torch.Tensor)  # c\n", ["if 1:\n    z = (1,\n    orb.Array)  # c\n"]),
    ("if a:\n    x = torch.Tensor \\\n    ; y = 1\n", ["if a:\n    x = orb.Array \\\n    ; y = 1\n"]),
    ("if a:\n    y = 1; \\\n    x = torch.Tensor\n", ["if a:\n    y = 1; \\\n    x = orb.Array\n"]),
    ("x = torch.Tensor\n", []),  # at the top level: the statement itself, already parsed
], ids=["one statement of a method", "two statements", "a header and its body", "a top-level header",
        "a one-line definition", "a continued header line", "a block after a header's last line", "in an else clause",
        "after a semicolon", "a one-line block", "continued lines", "in brackets", "before a continued semicolon",
        "on a continued line", "top level"])
def test_the_check_parses_the_changed_statements_apart(monkeypatch, source, parsed):
    monkeypatch.setattr(check, "APART_SHARE", 1.0)
    monkeypatch.setattr(check, "APART_FROM", 0)
    texts = []
    real = check.parse
    monkeypatch.setattr(check, "parse", lambda text: texts.append(text) or real(text))
    result = rewrite(source)
    assert not result.whole and texts == (parsed or [result.output])


def test_statements_that_are_most_of_their_top_level_statement_are_parsed_with_it(monkeypatch):
    monkeypatch.setattr(check, "APART_FROM", 0)
    texts = []
    real = check.parse
    monkeypatch.setattr(check, "parse", lambda text: texts.append(text) or real(text))
    result = rewrite("def f(a):\n    return torch.Tensor\n")
    assert not result.whole and texts == [result.output]
