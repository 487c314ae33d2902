"""Planted wrong splices: the check must reject each one, so the text never
reaches the user and the file takes the whole rendering instead."""
import re

import pytest

from test_splice import CONV, DMAP, _module_rewrite, original_tree, rewrite  # noqa: F401 (a fixture)
from combined_source.utils import rewrite as rewriting
from combined_source.utils.rewrite import edits


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

