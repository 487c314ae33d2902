"""The change walk natively and in Python: the same edits, sites, notes and
verdicts on real, generated and hostile inputs, and no crash where Python
code run by the walk changes what it walks."""
import gc
import glob
import os
import weakref

import gast
import pytest

from combined_source.utils import rewrite as rewriting
from combined_source.utils.rewrite import changes, edits
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor

pytestmark = pytest.mark.skipif(changes._native_edits is None, reason="built without the native walk")

HERE = os.path.dirname(os.path.abspath(__file__))
CONV = "torch.nn.modules.conv._ConvNd"
TEXTS = [
    "x = torch.Tensor(a, requires_grad=True)  # c\n",
    "def f(self, x: torch.Tensor) -> torch.Tensor:\n    return nn.Parameter(x, data_format='NCHW')\n",
    'y = f"{torch.Tensor!r:>10}" + f"a{x=}b"\n',
    "y = [torch.Tensor, (torch.int64, b)], {1: torch.float32}\n",
    "w = orb_empty((out_channels, c, k))\nz = orb.Array(a, requires_grad=g, **kw)\n",
]


def _sources():
    found = [("text %d" % i, t) for i, t in enumerate(TEXTS)]
    for path in sorted(glob.glob(os.path.join(HERE, "excerpts", "*.py")) + glob.glob(os.path.join(HERE, "realcode", "*.py"))):
        with open(path, encoding="utf-8") as f:
            found.append((os.path.basename(path), f.read()))
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bench"))
    try:
        import workload
        found.append(("generated", workload.source(3)))
    finally:
        sys.path.pop(0)
    return found


def _walk(monkeypatch, text, options, native):
    """What the splicer's walk gives for `text` with the native walk or the Python one."""
    monkeypatch.setattr(changes, "_native_edits", changes._native_edits if native else None)
    found = []
    real = edits.Splicer.edits

    def spy(self, top, site=None):
        got = real(self, top, site)
        found.append((list(got), {k: gast.dump(v) for k, v in self.sites.items()}, list(self.notes), self.failed,
                      self.reason))
        return got

    monkeypatch.setattr(edits.Splicer, "edits", spy)
    result = rewriting.rewrite(text, options, FrontendTorchCodePostProcessor)
    return result, found


@pytest.mark.parametrize("name, text", _sources(), ids=lambda v: v if len(v) < 40 else None)
@pytest.mark.parametrize("options", [rewriting.Options(CONV), rewriting.Options("", True),
                                     rewriting.Options("", False, "arr", {"torch.float32": "orb.float32"})],
                         ids=["transpose", "orb-api", "dtype-map"])
def test_the_native_walk_finds_what_the_python_walk_finds(monkeypatch, name, text, options):
    monkeypatch.setenv(rewriting.TRANSPOSE_ENV, "true")
    with monkeypatch.context() as m:
        native = _walk(m, text, options, True)
    with monkeypatch.context() as m:
        python = _walk(m, text, options, False)
    assert native == python


class _Hostile(changes.Changes):
    """A walk whose `change` does what Python code may do to the walk."""

    def __init__(self, data, fields, mischief):
        super().__init__(data, fields)
        self.mischief = mischief

    def change(self, node, kind, name, old, new, site, edits, push):
        self.mischief(self, node, edits, push)


def _tree():
    tree = gast.parse("x = f(a, b)\ny = g(c)\n")
    fields = changes.record(tree)
    tree.body[0].value.func = gast.Name("h", gast.Load(), None, None)
    tree.body[1].value.args[0] = gast.Constant(1, None)
    return tree, fields


def _junk(self, node, edits, push):
    push(42)


def _forget(self, node, edits, push):
    self.fields.clear()


def _raise(self, node, edits, push):
    raise ValueError("from change")


def _grow(self, node, edits, push):
    edits.append((0, 0, b"x"))
    for child in gast.iter_child_nodes(node):
        if child in self.fields:
            push((child, None))


@pytest.mark.parametrize("mischief, error", [
    (_junk, TypeError), (_forget, KeyError), (_raise, ValueError), (_grow, None),
], ids=["pushes junk", "clears the fields", "raises", "pushes more"])
def test_a_hostile_change_is_an_error_in_both_walks_or_the_same_result(mischief, error):
    results = []
    for walk in ("edits", "_python_edits"):
        tree, fields = _tree()
        splicer = _Hostile(b"x = f(a, b)\ny = g(c)\n", fields, mischief)
        if error is None:
            results.append(getattr(splicer, walk)(tree))
        else:
            with pytest.raises(error):
                getattr(splicer, walk)(tree)
    assert results[:1] == results[1:]


@pytest.mark.parametrize("args", [
    (), (None,) * 8,
    (None, None, None, {}, [], {}, (gast.JoinedStr,), frozenset(), False),
    (None, None, None, {}, {}, {}, (gast.JoinedStr,), [], False),
    (None, None, None, {}, {}, {}, gast.JoinedStr, frozenset(), False),
], ids=["no arguments", "eight", "walked not a dict", "leaves not a set", "string kinds not a tuple"])
def test_the_native_walk_refuses_wrong_arguments(args):
    with pytest.raises(TypeError):
        changes._native_edits(*args)


def test_a_missing_record_is_a_key_error_in_both():
    tree, fields = _tree()
    del fields[tree.body[1]]
    for walk in ("edits", "_python_edits"):
        with pytest.raises(KeyError):
            getattr(changes.Changes(b"", fields), walk)(tree)


# ---- the kinds' fields, kept between walks ---------------------------------------

class _Noted:
    """A walk's receiver that notes each change as (field name, old, new)."""

    def __init__(self):
        self.seen = []

    def change(self, node, kind, name, old, new, site, edits, push):
        self.seen.append((name, old, new))


def _changed_names(node, recorded, native=True):
    """The changes the native walk (or the Python one, with the kind's fields
    read afresh) finds in `node` against its `recorded` fields."""
    noted = _Noted()
    noted.fields = {node: recorded}
    if native:
        changes._native_edits(noted, node, None, noted.fields, changes.WALKED, {}, (), frozenset(), False)
    else:
        changes.GETTERS.pop(type(node), None)  # the Python walk keeps the fields it first read
        changes.Changes._python_edits(noted, node)
    return noted.seen


class _Meta(type):
    order = ("a", "b")

    @property
    def _fields(cls):
        return cls.order


def _reassigned(kind):
    kind._fields = ("b",)


def _in_the_base(kind):
    kind.__bases__[0]._fields = ("b",)


def _list_mutated(kind):
    kind._fields[:] = ["b"]


def _by_the_metaclass(kind):
    _Meta.order = ("b",)


def _deleted_and_inherited(kind):
    del kind._fields  # gast.AST's own: ()


def _kind(how):
    """A node kind with fields (a, b), kept or not, as `how` will change it."""
    if how is _in_the_base:
        return type("Sub", (type("Base", (gast.AST,), {"_fields": ("a", "b")}),), {})
    if how is _by_the_metaclass:
        _Meta.order = ("a", "b")
        return _Meta("Metered", (gast.AST,), {})
    if how is _list_mutated:
        return type("Listed", (gast.AST,), {"_fields": ["a", "b"]})
    return type("Kind", (gast.AST,), {"_fields": ("a", "b")})


@pytest.mark.parametrize("how, after", [
    (_reassigned, [("b", 2, 3)]),
    (_in_the_base, [("b", 2, 3)]),
    (_list_mutated, [("b", 2, 3)]),
    (_by_the_metaclass, [("b", 2, 3)]),
    (_deleted_and_inherited, []),
], ids=lambda v: getattr(v, "__name__", "")[1:] or None)
def test_a_kind_whose_fields_change_is_read_afresh(how, after):
    kind = _kind(how)
    node = kind()
    node.a, node.b = 1, 3
    for _ in range(2):  # the second walk may take the kind's fields as kept
        assert _changed_names(node, (1, 2)) == [("b", 2, 3)]
    how(kind)
    assert _changed_names(node, (2,)) == _changed_names(node, (2,), native=False) == after


def test_kinds_are_not_kept_alive_and_a_new_kind_at_a_dead_ones_place_is_read_afresh():
    refs = []
    for i in range(3000):
        kind = type("Throwaway", (gast.AST,), {"_fields": ("a", "b") if i % 2 else ("b", "a")})
        node = kind()
        node.a, node.b = 1, 3
        assert _changed_names(node, (1, 2) if i % 2 else (2, 1)) == [("b", 2, 3)]
        refs.append(weakref.ref(kind))
        del kind, node
    gc.collect()
    assert not [r for r in refs if r() is not None]
