"""Planted wrong splices: the check must reject each one, so the text never
reaches the user and the file takes the whole rendering instead."""
import re
import subprocess
import sys

import pytest

from test_splice import CONV, DMAP, _module_rewrite, original_tree, rewrite  # noqa: F401 (a fixture)
from combined_source.utils import SpliceRejected, rewrite_source
from combined_source.utils import rewrite as rewriting
from combined_source.utils.rewrite import check, edits, inplace, positions, trees


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



# -- wrong splices of every kind the check treats on its own ------------------

@pytest.fixture(params=["native", "python"])
def walk(request, monkeypatch):
    """Runs a test with the native tree walk and with the Python one."""
    if request.param == "python":
        monkeypatch.setattr(trees, "_native_same", trees._python_same)
    elif trees._native_same is trees._python_same:
        pytest.skip("the package was built without its native tree passes")


def _mistype(needle, wrong, which=0):
    """A fault: the `which`-th edit whose new text holds `needle` has it
    written as `wrong` (the rest of the splice is right)."""
    def fault(data, edits):
        hits = [i for i, e in enumerate(edits) if needle in e[2]]
        s, e, text = edits[hits[which]]
        return edits[:hits[which]] + [(s, e, text.replace(needle, wrong, 1))] + edits[hits[which] + 1:]
    return fault


API = dict(orb_api=True)
ARR, ARX = b"arr", b"arx"  # the new name, and a wrong one

# (source, options, fault, the oldest version that parses it); the changed
# nodes that the parse gives in another form than the rewritten tree has
# them (parameters, lambda arguments, handler names, f-strings) included
KINDS = [
    ("def f(self, x):\n    return x  # c\n", API, _mistype(ARR, ARX), (3, 8)),
    ("def f(a, self):\n    return self\n", API, _mistype(ARR, ARX), (3, 8)),
    ("g = lambda self: self.w  # c\n", API, _mistype(ARR, ARX), (3, 8)),
    ("g = lambda a, *, self=1: self\n", API, _mistype(ARR, ARX), (3, 8)),
    ("def f(a, *, self: Tensor = None):\n    return self\n", API, _mistype(ARR, ARX), (3, 8)),
    ("def f(*self: Tensor, **kw):\n    pass\n", API, _mistype(ARR, ARX), (3, 8)),
    ("def f(a, **self: Tensor):\n    pass\n", API, _mistype(ARR, ARX), (3, 8)),
    ("def f(self, /, b):\n    return b\n", API, _mistype(ARR, ARX), (3, 8)),
    ("def f(x: Tensor, y: torch.Tensor):\n    pass\n", {}, _mistype(b"orb.Array", b"orb.Arrays", 1), (3, 8)),
    ("try:\n    pass\nexcept E as self:  # c\n    pass\n", API, _mistype(ARR, ARX), (3, 8)),
    ("try:\n    pass\nexcept (E,\n        F) as self:\n    g(self)\n", API, _mistype(ARR, ARX), (3, 8)),
    ("y = f'{self.w}'  # c\n", API, _mistype(ARR, ARX), (3, 8)),
    ("y = f'{self.w=}'\n", API, _mistype(ARR, ARX), (3, 8)),
    ("y = f'{x!r:>{self.n}}'\n", API, _mistype(ARR, ARX), (3, 8)),
    ("y = (f'a{x}'  # c\n     f'{self.w}b' 'c')\n", API, _mistype(ARR, ARX), (3, 8)),
    ("y = f'a{f\"{Tensor}\"}b'\n", {}, _mistype(b"orb.Array", b"orb.Arrays"), (3, 8)),
    ("y = f'{ {\"k\": Tensor}[\"k\"] }'\n", {}, _mistype(b"orb.Array", b"orb.Arrays"), (3, 12)),
    ("@dec(Tensor)  # c\nclass M:\n    pass\n", {}, _mistype(b"orb.Array", b"orb.Arrays"), (3, 8)),
    ("class M:\n    @dec(nn.Parameter)\n    def w(self): return self\n", API, _mistype(ARR, ARX), (3, 8)),
    ("match x:\n    case torch.Tensor(a=1):\n        pass\n", {}, _mistype(b"orb.Array", b"orb.Arrays"), (3, 10)),
    ("def f[T: Tensor](x: T) -> T:\n    pass\n", {}, _mistype(b"orb.Array", b"orb.Arrays"), (3, 12)),
    ("for Tensor in xs:\n    pass\n", {}, _mistype(b"orb.Array", b"orb.Arrays"), (3, 8)),
]


@pytest.mark.usefixtures("original_tree", "walk")
@pytest.mark.parametrize("source, options, fault, since", KINDS)
def test_a_wrong_splice_of_every_kind_is_rejected(monkeypatch, source, options, fault, since):
    if sys.version_info < since:
        pytest.skip("the grammar of this version does not have it")
    assert not rewrite(source, **options).whole  # right, it is spliced
    _plant(monkeypatch, fault)
    result = rewrite(source, **options)
    assert result.whole and result.reason.line is not None, result.reason
    assert result.output == rewriting.render(_module_rewrite(source, options))


# -- a check that fails by raising ---------------------------------------------

def _raiser(*args, **kwargs):
    raise RuntimeError("planted")


# Where the check of each source below goes: its changed expressions alone
# (the first two), or its statements (the last, which renames a parameter).
_BY_STATEMENTS = {(edits.Splicer, "compare"), (check, "same_as_parsed"), (check, "parse")}
_IN_PLACE = {(edits.Splicer, "parsed_in_place"), (edits.Splicer, "deferred_proved"), (inplace, "same_as_parsed"),
             (inplace, "_elements")}


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("owner, name", [
    (edits.Splicer, "check"), (edits.Splicer, "verify_statements"), (edits.Splicer, "compare"),
    (edits.Splicer, "comments_kept"), (edits.Splicer, "covered"), (trees, "_native_same"),
    (check, "same_as_parsed"), (check, "parse"), (edits.Splicer, "in_place")] + sorted(_IN_PLACE, key=str))
@pytest.mark.parametrize("source", ["x = torch.Tensor  # c\n", "import torch\nx = 1\ny = (torch.Tensor,  # c\n     1)\n",
                                    "def f(self):\n    return self\n"])
def test_a_check_that_raises_rejects_the_splice(monkeypatch, request, owner, name, source):
    monkeypatch.setattr(inplace, "_PARSED", {})  # texts parsed by earlier tests are not parsed again
    if (owner, name) in _BY_STATEMENTS:
        request.getfixturevalue("by_statements")
    elif (owner, name) in _IN_PLACE and source.startswith("def"):
        pytest.skip("checked by its statement")
    if owner is check and name == "parse":
        monkeypatch.setattr(rewriting, "LARGE_TEXT", 1 << 40)  # the first parse is the real one
        monkeypatch.setattr(rewriting, "parse", check.parse)
    monkeypatch.setattr(owner, name, _raiser)
    result = rewrite(source, orb_api=True)
    assert result.whole and result.reason.what.startswith("check fault: RuntimeError: planted"), result.reason
    with pytest.raises(SpliceRejected, match="check fault: RuntimeError: planted"):
        rewrite_source(source, orb_api=True)


PLANTED_CHECK = """
import sys
from combined_source.utils.rewrite import edits
def check(self, *args):
    raise RuntimeError("planted")
edits.Splicer.check = check
from combined_source.utils.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("args, rc", [(["-i", "-j", "1"], 2), (["--check", "-j", "1"], 2),
                                      (["-i", "--allow-reformat", "-j", "1"], 0)])
def test_a_check_that_raises_leaves_the_file_alone_end_to_end(tmp_path, args, rc):
    source = "x = torch.Tensor  # c\n"
    (tmp_path / "a.py").write_text(source)
    proc = subprocess.run([sys.executable, "-c", PLANTED_CHECK, *args, "a.py"], cwd=str(tmp_path),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert proc.returncode == rc, proc.stderr
    assert "check fault: RuntimeError: planted" in proc.stderr
    after = (tmp_path / "a.py").read_text()
    assert after == (source if rc else "x = orb.Array\n")  # rendered whole only when asked


# -- the splicer's give-up, end to end -----------------------------------------

SHAPE = "def f(self):\n    return \u017felf.w  # c\n"  # NFKC: the parser reads the long s as "self"


@pytest.mark.parametrize("guards", ["both", "check only", "splicer only"])
@pytest.mark.parametrize("source, whole", [
    (SHAPE, "def f(arr):\n    return arr.w\n"),
    ("def f(self):\n    return \u017felf.w, f'{self.n}'\n", "def f(arr):\n    return (arr.w, f'{arr.n}')\n"),
    ("def f(self):\n    return [f'{self.n=}'], \u017felf\n", "def f(arr):\n    return ([f'self.n={arr.n!r}'], arr)\n"),
    ("def f(self):\n    return f'{self.n}', \u017felf.w\n", "def f(arr):\n    return (f'{arr.n}', arr.w)\n"),
    ("def f(self):\n    g(\u017felf, requires_grad=True)\n    return orb.Array(self, requires_grad=1)\n",
     "def f(arr):\n    g(arr, requires_grad=True)\n    return orb.Array(arr)\n"),
])
@pytest.mark.usefixtures("original_tree")
def test_an_identifier_written_in_another_form_is_never_spliced(monkeypatch, guards, source, whole):
    if guards == "check only":  # the splicer overwrites what the parser read as the old name
        monkeypatch.setattr(edits.Splicer, "rename", _blind_rename)
    elif guards == "splicer only":
        monkeypatch.setattr(edits.Splicer, "check", lambda self, *args: True)
    result = rewrite(source, orb_api=True)
    assert result.whole and result.output == whole
    if guards != "check only":  # the splicer gives up, and says why, whatever follows the place
        assert result.reason[:2] == ("cannot splice: identifier written in another form (in Name)", 2)
    with pytest.raises(SpliceRejected):
        rewrite_source(source, orb_api=True)


def _blind_rename(self, node, old, new, edits, site):
    start = self.span(node)[0]
    edits.append((start, start + len(old.encode("utf-8")), new.encode("utf-8")))


@pytest.mark.parametrize("args, rc, after", [(["-i"], 2, SHAPE),
                                             (["-i", "--allow-reformat"], 0, "def f(arr):\n    return arr.w\n")])
def test_the_give_up_leaves_the_file_alone_end_to_end(tmp_path, args, rc, after):
    (tmp_path / "s.py").write_text(SHAPE, encoding="utf-8")
    proc = subprocess.run([sys.executable, "-m", "combined_source.utils", "--orb-api", *args, "s.py"],
                          cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    err = proc.stderr.decode()
    assert proc.returncode == rc and "s.py:2:12: " in err and "identifier written in another form" in err, err
    assert (tmp_path / "s.py").read_text(encoding="utf-8") == after


# -- non-ASCII text around byte positions --------------------------------------

@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, options, expected", [
    ("x = orb.Array(é, requires_grad=True, dtype='ü')  # ñ\n", {}, "x = orb.Array(é, dtype='ü')  # ñ\n"),
    ("x = orb.Array('日本',\n    requires_grad=True)  # €\n", {}, "x = orb.Array('日本')  # €\n"),
    ("x = orb.Array(\n    ä,  # ö\n    requires_grad=True,\n    dtype=ß,\n)\n", {},
     "x = orb.Array(\n    ä,  # ö\n    dtype=ß,\n)\n"),
    # f-strings of several literals (on 3.8 the changed literals are written anew)
    ("y = (f'é{x}'  # ç\n     f'ü{self.w}' f'{self.n}€')\n", API,
     "y = (f'é{x}'  # ç\n     f'ü{arr.w}' f'{arr.n}€')\n"),
    ("s = 'ő'; y = (f'{self.w}'  # c\n              f'ñ{x}')\n", API,
     "s = 'ő'; y = (f'{arr.w}'  # c\n              f'ñ{x}')\n"),
    ("y = ('é' f'{x}'\n     'ü' f'{self.n!r}' f'ß{torch.Tensor}')  # ñ\n", API,
     "y = ('é' f'{x}'\n     'ü' f'{arr.n!r}' f'ß{orb.Array}')  # ñ\n"),
])
@pytest.mark.usefixtures("original_tree")
def test_non_ascii_text_around_a_change_is_spliced(source, options, expected):
    result = rewrite(source, **options)
    assert (result.output, result.whole) == (expected, False), result.reason


# -- overlapping edits ----------------------------------------------------------

@pytest.mark.parametrize("edits_, lo, hi, expected", [
    ([(0, 1, b"X"), (1, 2, b"Y")], 0, None, b"XYcdef"),  # adjacent edits are fine
    ([(2, 2, b"+"), (0, 1, b"X")], 0, None, b"Xb+cdef"),  # an insertion; edits come in any order
    ([(0, 3, b"X"), (2, 4, b"Y")], 0, None, None),  # overlapping
    ([(1, 4, b"X"), (2, 3, b"Y")], 0, None, None),  # one inside the other
    ([(1, 3, b"X"), (1, 3, b"Y")], 0, None, None),  # the same span twice
    ([(1, 3, b"X")], 2, 5, None),  # starts before the part
    ([(3, 6, b"X")], 2, 5, None),  # ends after it
])
def test_apply_refuses_overlapping_edits(edits_, lo, hi, expected):
    text = positions.Text(b"abcdef")
    if expected is None:
        with pytest.raises(positions.Unsupported):
            text.apply(edits_, lo, hi)
    else:
        assert text.apply(edits_, lo, hi) == expected


def _overlap(data, edits):
    s, e, text = edits[0]
    return edits + [(s + 1, e + 1, text)]


def _spill_into_next(data, edits):
    (s1, e1, t1), (s2, e2, t2) = edits[:2]
    return [(s1, s2 + 1, t1), (s2, e2, t2)] + edits[2:]


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("fault", [_overlap, _spill_into_next])
@pytest.mark.parametrize("source, options", [
    ("y = [torch.Tensor, nn.Parameter]  # c\n", {}),
    ("w = orb_empty((out_channels, c, k))  # c\n", CONV),
    ("def f(self, x):\n    return x(self)\n", API),
])
def test_overlapping_edits_are_never_applied(monkeypatch, fault, source, options):
    _plant(monkeypatch, fault)
    result = rewrite(source, **options)
    assert result.whole and result.reason.what == "cannot splice: overlapping changes", result.reason


# -- wrong splices that only the walk's own tests see ---------------------------

def _retext(text):
    """A fault: the one edit's text becomes `text`."""
    def fault(data, edits):
        (s, e, _), = edits
        return [(s, e, text)]
    return fault


def _widen(before, after, text):
    """A fault: the one edit also takes `before` bytes before it and `after`
    bytes after it, and writes `text` (its own text at the place of ``%s``)."""
    def fault(data, edits):
        (s, e, t), = edits
        return [(s - before, e + after, text.replace(b"%s", t))]
    return fault


def _drop(needle):
    """A fault: the edit whose new text holds `needle` is never made."""
    def fault(data, edits):
        return [e for e in edits if needle not in e[2]]
    return fault


VALUES = dict(dtype_map={"torch.float32": "x + y", "torch.int64": "-x", "torch.int8": "g(x)", "torch.int16": "1",
                         "torch.bool": "x < y"})

# (source, options, fault): the spliced text parses, to a tree that differs
# from the rewritten one only in a node's kind, a list's length or a value's
# type, or in the end of a node that the splice moved
WALK_FAULTS = [
    ("y = torch.float32  # c\n", VALUES, _retext(b"x - y")),  # an operator of another kind
    ("y = torch.int64  # c\n", VALUES, _retext(b"~x")),
    ("y = torch.bool  # c\n", VALUES, _retext(b"x > y")),
    ("y = torch.Tensor + b  # c\n", {}, _widen(0, 3, b"%s - ")),  # the operator beside the change
    ("y = [torch.Tensor, 1]  # c\n", {}, _widen(0, 3, b"%s, 1.0")),  # a value of another type beside it
    ("y = [torch.Tensor, True]  # c\n", {}, _widen(0, 6, b"%s, 1")),
    ("y = torch.int16  # c\n", VALUES, _retext(b"1.0")),  # ... and in the changed node
    ("y = torch.int16  # c\n", VALUES, _retext(b"True")),
    ("y = [torch.Tensor, b]  # c\n", {}, _widen(0, 0, b"%s, b")),  # a list of another length
    ("y = f(torch.Tensor, b)  # c\n", {}, _widen(0, 0, b"%s, b")),
    ("y = torch.int8  # c\n", VALUES, _retext(b"g(x, x)")),
    ("y = [b, torch.Tensor]  # c\n", {}, _widen(2, 0, b"c, %s")),  # an unchanged node that ends elsewhere
    ("y = f(x, torch.Tensor)  # c\n", {}, _widen(2, 0, b"1, %s")),
    ("def f(a, self):\n    pass\n", API, _widen(2, 0, b"b, %s")),
    ("y = {k: torch.Tensor}  # c\n", {}, _widen(2, 0, b"2: %s")),
    # a change never made: only the test that every change was compared sees it
    ("def f(self, x):\n    return x  # c\n", API, _drop(ARR)),
    ("g = lambda self: 1\n", API, _drop(ARR)),
    ("try:\n    pass\nexcept E as self:  # c\n    pass\n", API, _drop(ARR)),
    ("y = f(torch.Tensor, nn.Parameter)  # c\n", {}, lambda data, edits: edits[:1]),
    ("g(x, data_format='NCHW')  # c\n", CONV, lambda data, edits: []),
]


@pytest.mark.usefixtures("original_tree", "walk")
@pytest.mark.parametrize("source, options, fault", WALK_FAULTS)
def test_a_wrong_splice_that_parses_is_rejected(monkeypatch, source, options, fault):
    assert not rewrite(source, **options).whole  # right, it is spliced
    _plant(monkeypatch, fault)
    result = rewrite(source, **options)
    assert result.whole and result.reason.line is not None, result.reason
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


@pytest.mark.usefixtures("original_tree", "statements_apart")
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
    _plant(monkeypatch, fault)
    result = rewrite(source)
    # a comment moved by the fault is caught by the comment count, which names the line only
    assert result.whole and re.search(r" at line [1-5](, column \d+)?\Z", str(result.reason)), result.reason
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
@pytest.mark.usefixtures("statements_apart")
def test_the_check_parses_the_changed_statements_apart(monkeypatch, source, parsed):
    texts = []
    real = check.parse
    monkeypatch.setattr(check, "parse", lambda text: texts.append(text) or real(text))
    result = rewrite(source)
    assert not result.whole and texts == (parsed or [result.output])


@pytest.mark.usefixtures("by_statements")
def test_statements_that_are_most_of_their_top_level_statement_are_parsed_with_it(monkeypatch):
    monkeypatch.setattr(check, "APART_FROM", 0)
    monkeypatch.setattr(check, "APART_PER_EDIT", 0)
    texts = []
    real = check.parse
    monkeypatch.setattr(check, "parse", lambda text: texts.append(text) or real(text))
    result = rewrite("def f(a):\n    return torch.Tensor\n")
    assert not result.whole and texts == [result.output]


_PADDING = "".join("    y%d = a + %d\n" % (i, i) for i in range(12))


@pytest.mark.parametrize("source, apart", [
    # one edit in a small function: its statement alone is parsed
    ("def f(a):\n" + _PADDING + "    return torch.Tensor\n", ["if 1:\n    return orb.Array\n"]),
    # three edits in a function of fewer bytes than their search costs: parsed whole
    ("def f(a: torch.Tensor, b: torch.Tensor) -> torch.Tensor:\n" + _PADDING[:150], None),
], ids=["one edit", "many edits for its size"])
@pytest.mark.usefixtures("by_statements")
def test_small_top_level_statements_are_parsed_apart_by_their_edits(monkeypatch, source, apart):
    texts = []
    real = check.parse
    monkeypatch.setattr(check, "parse", lambda text: texts.append(text) or real(text))
    result = rewrite(source)
    assert not result.whole and texts == (apart or [result.output])
