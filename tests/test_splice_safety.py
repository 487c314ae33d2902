"""What the rewrite must never hand out, and what it must tell: a rewritten
tree with no valid source is refused even when rendering whole is allowed,
and every assignment target the rules replaced is reported."""
import sys
import warnings

import pytest

from test_splice import DMAP, original_tree, rewrite  # noqa: F401 (a fixture)
from combined_source.utils import NoValidSource, RewriteWarning, SpliceRejected, rewrite_source
from combined_source.utils import rewrite as rewriting
from combined_source.utils.rewrite import comments, edits
from combined_source.utils.rewrite.findings import Finding

API = dict(orb_api=True)

# -- a rewritten tree with no valid source ------------------------------------

# (source, line and column of the change that cannot be held)
NO_SOURCE = [
    ("import torch\n(Tensor := x)\ny: torch.Tensor = 1  # c\n", (2, 2)),
    ("y = [(Tensor := 1) for v in w]  # c\n", (1, 7)),
    ("def f(a=(Tensor := 2)):\n    return a\n", (1, 10)),
    ("\ufeffx = 1\r\nif (Tensor := f()):\r\n    pass\r\n", (2, 5)),
    ("s = 'é'; z = (Tensor := 1)\n", (1, 16)),  # the column counts bytes, as every rejection's does
]


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, place", NO_SOURCE)
@pytest.mark.parametrize("reformat", [False, True])
def test_a_tree_with_no_valid_source_is_never_handed_out(source, place, reformat):
    with pytest.raises(NoValidSource) as caught:
        rewriting.rewrite(source, rewriting.Options(), rewriting_processor(), reformat=reformat)
    e = caught.value
    assert isinstance(e, SpliceRejected) and (e.line, e.column) == place
    assert e.reason.startswith("the rewritten tree has no valid source: ") and str(e).startswith(e.reason)
    with pytest.raises(NoValidSource):
        rewrite_source(source, allow_reformat=True)


def rewriting_processor():
    from combined_source.utils.ZOK import FrontendTorchCodePostProcessor

    return FrontendTorchCodePostProcessor


@pytest.mark.parametrize("rendering, refused", [
    ("orb.Array: int = (\n", True),  # any rendering that does not parse, not only a walrus
    ("x = 1\0\n", True),
    ("orb.Array: int = 1\n", False),
])
def test_the_whole_rendering_is_parsed_before_it_is_used(monkeypatch, rendering, refused):
    monkeypatch.setattr(rewriting, "render", lambda tree: rendering)
    source = "Tensor: int = 1  # c\n"  # rejected as a splice: the whole rendering is the way out
    if refused:
        with pytest.raises(NoValidSource):
            rewrite_source(source, allow_reformat=True)
    else:
        with pytest.warns(RewriteWarning):
            assert rewrite_source(source, allow_reformat=True) == rendering
    with pytest.raises(NoValidSource if refused else SpliceRejected) as caught:
        rewrite_source(source)  # without reformatting, the message says whether it would help
    assert isinstance(caught.value, NoValidSource) is refused


def test_a_renderer_fault_without_reformatting_is_a_plain_rejection(monkeypatch):
    def broken(tree):
        raise AttributeError("renderer")

    monkeypatch.setattr(rewriting, "render", broken)
    with pytest.raises(SpliceRejected) as caught:
        rewrite_source("Tensor: int = 1  # c\n")
    assert type(caught.value) is SpliceRejected
    with pytest.raises(AttributeError):  # asked to render whole: the fault shows
        rewrite_source("Tensor: int = 1  # c\n", allow_reformat=True)


# -- rewritten assignment targets ---------------------------------------------

# (source, options, output, places and texts of the reported targets)
TARGETS = [
    ("for Tensor in xs:\n    pass\n", {}, "for orb.Array in xs:\n    pass\n", [(1, 5, "Tensor")]),
    ("async def f():\n    async for torch.Tensor in xs:\n        pass\n", {}, None, [(2, 15, "torch.Tensor")]),
    ("with a as torch.Tensor, b as (c, Tensor):\n    pass\n", {}, "with a as orb.Array, b as (c, orb.Array):\n    pass\n",
     [(1, 11, "torch.Tensor"), (1, 34, "Tensor")]),
    ("async def f():\n    async with a as Tensor:\n        pass\n", {}, None, [(2, 21, "Tensor")]),
    ("Tensor = x = nn.Parameter = 1  # c\n", {}, "orb.Array = x = orb.Array = 1  # c\n",
     [(1, 1, "Tensor"), (1, 14, "nn.Parameter")]),
    ("x, *Tensor = [torch.Tensor] = y\n", {}, "x, *orb.Array = [orb.Array] = y\n",
     [(1, 5, "Tensor"), (1, 15, "torch.Tensor")]),
    ("Tensor += 1\n", {}, "orb.Array += 1\n", [(1, 1, "Tensor")]),
    ("y = [1 for Tensor in a]; z = {k: 1 for k, torch.Tensor in b}\n", {}, None,
     [(1, 12, "Tensor"), (1, 43, "torch.Tensor")]),
    ("g = (1 for Tensor in a if Tensor)\n", {}, "g = (1 for orb.Array in a if orb.Array)\n", [(1, 12, "Tensor")]),
    ("del Tensor, x[1], nn.Parameter\n", {}, "del orb.Array, x[1], orb.Array\n",
     [(1, 5, "Tensor"), (1, 19, "nn.Parameter")]),
    ("torch.float32 = (\n    1)\n", DMAP, "orb.float32 = (\n    1)\n", [(1, 1, "torch.float32")]),
    ("é, Tensor = 1, 2\n", {}, "é, orb.Array = 1, 2\n", [(1, 4, "Tensor")]),  # columns count characters
    ("y = f'{[1 for Tensor in a]}'\n", {}, None, [(1, 15, "Tensor")] if sys.version_info >= (3, 9) else None),
    # not targets: what is read inside a target, and a renamed name
    ("Tensor[0] = torch.Tensor.x = 1\n", {}, "orb.Array[0] = orb.Array.x = 1\n", []),
    ("def f(self):\n    self = 1\n    for self in x: del self\n", API,
     "def f(arr):\n    arr = 1\n    for arr in x: del arr\n", []),
    ("y = (v := Tensor)\n", {}, "y = (v := orb.Array)\n", []),
]


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, options, output, targets", TARGETS)
def test_every_rewritten_assignment_target_is_found(source, options, output, targets):
    result = rewrite(source, **options)
    assert not result.whole and result.output is not None
    if output is not None:
        assert result.output == output
    found = [f for f in result.findings if f.rule == "assignment-target"]
    if targets is None:  # 3.8 places the parts of an f-string elsewhere: the number is what counts
        assert len(found) == 1
        return
    assert [(f.line, f.column, f.old) for f in found] == targets
    for f in found:
        assert type(f) is Finding and f.message == "rewrote an assignment target: %s -> %s" % (f.old, f.new)
        assert f.new in ("orb.Array", "orb.float32") and f.new in result.output.splitlines()[f.line - 1]
        assert (f.end_line, f.end_column) == (f.line + f.old.count("\n"), f.column + len(f.old))


def test_rewrite_source_tells_the_targets_as_warnings():
    source = "for Tensor in xs:\n    with a as torch.Tensor: pass\n"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = rewrite_source(source)
    assert out == "for orb.Array in xs:\n    with a as orb.Array: pass\n"
    got = [(w.category, w.message.line, w.message.column, w.message.rule, str(w.message)) for w in caught]
    assert got == [(RewriteWarning, 1, 5, "assignment-target",
                    "line 1, column 5: rewrote an assignment target: Tensor -> orb.Array"),
                   (RewriteWarning, 2, 15, "assignment-target",
                    "line 2, column 15: rewrote an assignment target: torch.Tensor -> orb.Array")]
    assert caught[0].filename == __file__  # placed at the caller
    with warnings.catch_warnings():
        warnings.simplefilter("error", RewriteWarning)  # a caller can make them errors
        with pytest.raises(RewriteWarning):
            rewrite_source(source)
        assert rewrite_source("x = Tensor\n") == "x = orb.Array\n"  # reading a name is no target


def test_targets_of_a_file_rendered_whole_are_told_too():
    with pytest.warns(RewriteWarning, match=r"line 1, column 1: rewrote an assignment target: Tensor -> orb.Array"):
        assert rewrite_source("Tensor: int = 1  # c\n", allow_reformat=True) == "orb.Array: int = 1\n"


# -- comments inside replaced text --------------------------------------------

CONV_T = dict(transpose=True, object_name="torch.nn.modules.conv._ConvNd")

# (source, options, output, the oldest version that parses it)
COMMENTS = [
    ("v = (torch  # the module\n     .Tensor)\n", {}, "v = (orb.Array  # the module\n     )\n", (3, 8)),
    ('conv(x, data_format=("NC"  # c\n                     "HW"))\n', CONV_T,
     "conv(x, data_format=('NHWC'  # c\n                     ))\n", (3, 8)),
    ("conv(x, filter_format='channel_'  # c\r\n    'first')\r\n", CONV_T,
     "conv(x, filter_format='channel_last'  # c\r\n    )\r\n", (3, 8)),
    # a dtype-map key is replaced whole, and its comments stay too
    ("y = (torch  # t\r\n     .float32)\r\n", DMAP, "y = (orb.float32  # t\r\n     )\r\n", (3, 8)),
    ("y = (2 * torch  # t\n     .int64)\n", DMAP, "y = (2 * (a if c else b)  # t\n     )\n", (3, 8)),
    # several comments, each on its line; a comment after the expression stays where it is
    ("w = (torch  # t1\n     # t2\n     .Tensor)  # after\n", {}, "w = (orb.Array  # t1\n     # t2\n     )  # after\n",
     (3, 8)),
    # a removed argument's comment stays after what is left on its line, or on a line of its own
    ("x = torch.Tensor(a, requires_grad=(True  # rg\n))\n", {}, "x = orb.Array(a  # rg\n)\n", (3, 8)),
    ("z = orb.Array(\n    a,\n    requires_grad=(True  # own\n    ),\n)\n", {}, "z = orb.Array(\n    a,\n    # own\n)\n",
     (3, 8)),
    # a new node around original parts: the comment between them ends the line
    ("y = np.zeros((channels,  # c\n              channels))\n", {},
     "y = np.zeros((channels, channels), dtype='float32')  # c\n", (3, 8)),
    ("y = f(np.log2(  # c\n    8))\n", {}, "y = f(np.log2(8).astype('float32')  # c\n    )\n", (3, 8)),
    ("def f(self):\n    return (self  # s\n            .orb_array)\n", API,
     "def f(arr):\n    return (arr  # s\n            )\n", (3, 8)),
    ("y = (f'{self.w=}'  # c\n     f'x')\n", API, None, (3, 8)),
    ('y = f"""{torch  # c\n.Tensor}"""\n', {}, 'y = f"""{orb.Array  # c\n}"""\n', (3, 12)),
    # a '#' inside a string is no comment
    ("y = (torch.Tensor, '# no')[0]  # c\n", {}, "y = (orb.Array, '# no')[0]  # c\n", (3, 8)),
]


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, options, output, since", COMMENTS)
def test_a_comment_inside_a_replaced_expression_is_kept(source, options, output, since):
    if sys.version_info < since:
        pytest.skip("the grammar of this version does not have it")
    result = rewrite(source, **options)
    assert not result.whole and result.output is not None, result.reason
    if output is not None:
        assert result.output == output
    assert comments.counted(result.output) == comments.counted(source)
    assert rewrite(result.output, **options).output is None  # a second run changes nothing


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, options, place", [(s, o, p) for (s, o, _, _), p in zip(COMMENTS[:9], [
    (1, 6), (1, 22), (1, 23), (1, 6), (1, 10), (1, 6), (1, 19), (3, 1), (1, 5)])])
def test_a_splice_that_loses_a_comment_is_rejected(monkeypatch, source, options, place):
    monkeypatch.setattr(edits.Splicer, "with_comments", lambda self, start, end, text, missing: text)
    result = rewrite(source, **options)
    assert result.whole and result.reason.what == "a comment of the replaced text is lost", result.reason
    assert (result.reason.line, result.reason.column) == place
    with pytest.raises(SpliceRejected):
        rewrite_source(source, **options)


@pytest.mark.parametrize("old, new, lead, indents, expected", [
    ("a  # x\n  .b", "c", "(", ["", "  "], "c  # x\n  "),
    ("a  # x\r\n  # y\r\n  .b", "c", "", ["", "  ", "  "], "c  # x\r\n  # y\r\n  "),
    ("  k=(1  # x\n  ),\n", "", "", ["  ", "  "], "  # x\n"),  # a whole line goes: the comment takes it
    (", k=(1  # x\n)", "", "f(a", ["", ""], "  # x\n"),
    ("a  # x\n.b", "c  # x", "", ["", ""], "c  # x"),  # the new text holds it already
    ("a + '# x'", "c", "", [""], "c"),
    ("a  # x\n'''", "c", "", ["", ""], None),  # cannot be read: left to the check
])
def test_kept_comments_are_placed_after_the_replacement(old, new, lead, indents, expected):
    assert comments.kept(old, new, lead, indents) == expected


def test_a_comment_that_moves_with_its_element_is_not_written_twice():
    source = "y = orb_empty((in_channels, x, torch.Tensor(x,  # note\n    requires_grad=x)))\n"
    result = rewrite(source, **CONV_T)
    assert result.output == "y = orb_empty((orb.Array(x  # note\n    ), x, in_channels))\n"
