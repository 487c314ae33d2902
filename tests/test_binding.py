"""Argument binding of the six methods, construction and transform."""
import gast
import pytest

from combined_source.utils.ZOK import FrontendTorchCodePostProcessor as C

from conftest import expr, make_processor, render
from interpreter import non_str_keywords


class Key(str):
    """A str subclass as a keyword name."""


class BadKey(str):
    def __eq__(self, other):
        raise ValueError("no comparing")

    __hash__ = str.__hash__


@pytest.fixture
def p():
    return make_processor(expr("x"))


N = expr("x")
TAKES = {"__init__": ("at least 4 positional arguments", "at most 5 positional arguments"),
         "transform": ("exactly 1 positional argument",) * 2}


def count(method, given, many=False):
    takes = TAKES.get(method, ("exactly 2 positional arguments",) * 2)[many]
    return "%s() takes %s (%d given)" % (method, takes, given)


def multiple(method, key):
    return "%s() got multiple values for keyword argument '%s'" % (method, key)


def unexpected(method, key):
    return "%s() got an unexpected keyword argument '%s'" % (method, key)


# (call given the post-processor p, exception type, exact message)
ERRORS = [
    (lambda p: C(1, 2), TypeError, count("__init__", 3)),
    (lambda p: C(1, 2, 3, 4, 5), TypeError, count("__init__", 6, many=True)),
    (lambda p: C(1, 2, 3, 4, 5, bogus=1), TypeError, count("__init__", 6, many=True)),
    (lambda p: C(root=1, transformer=2), TypeError, count("__init__", 3)),
    (lambda p: C(1, 2, bogus=1), TypeError, count("__init__", 3)),  # missing before wrong
    (lambda p: C(1, 2, 3, bogus=1), TypeError, unexpected("__init__", "bogus")),
    (lambda p: C(1, 2, 3, root=1), TypeError, multiple("__init__", "root")),
    (lambda p: C(1, 2, 3, 4, new_name=5), TypeError, multiple("__init__", "new_name")),
    (lambda p: C.__init__(), TypeError, count("__init__", 0)),
    (lambda p: C.__init__(root=1, transformer=2, configuration=3), TypeError, count("__init__", 0)),
    (lambda p: p.__init__(1, 2, 3, self=p), TypeError, multiple("__init__", "self")),
    (lambda p: p.transform(1), TypeError, count("transform", 2, many=True)),
    (lambda p: C.transform(), TypeError, count("transform", 0)),
    (lambda p: C.transform(p, self=p), TypeError, multiple("transform", "self")),
    (lambda p: p.transform(bogus=1), TypeError, unexpected("transform", "bogus")),
    (lambda p: p.visit_Name(), TypeError, count("visit_Name", 1)),
    (lambda p: p.visit_keyword(N, N), TypeError, count("visit_keyword", 3, many=True)),
    (lambda p: C.visit_Call(), TypeError, count("visit_Call", 0)),
    (lambda p: C.visit_Call(node=N), TypeError, count("visit_Call", 0)),
    (lambda p: p.visit_Name(nod=N), TypeError, count("visit_Name", 1)),
    (lambda p: p.visit_keyword(node=N, extra=1), TypeError, unexpected("visit_keyword", "extra")),
    (lambda p: p.visit_Attribute(N, node=N), TypeError, multiple("visit_Attribute", "node")),
    # the first offending keyword, in the caller's order, decides
    (lambda p: p.visit_Name(N, bogus=1, node=2), TypeError, unexpected("visit_Name", "bogus")),
    (lambda p: p.visit_Name(N, node=2, bogus=1), TypeError, multiple("visit_Name", "node")),
    (lambda p: p.visit_Name(N, **{"bogus": 1, 2: 3}), TypeError, non_str_keywords(unexpected("visit_Name", "bogus"))),
    (lambda p: p.visit_Name(N, **{Key("bogus"): 1}), TypeError, unexpected("visit_Name", "bogus")),
    # non-string names: the method's own check on the vectorcall path (from
    # 3.9 the caller's check comes first), the generic dictionary check when
    # the call goes through tp_call
    (lambda p: p.visit_Name(N, **{1: 2}), TypeError, non_str_keywords("visit_Name() keywords must be strings")),
    (lambda p: C.visit_Name(p, N, **{1: 2}), TypeError, non_str_keywords("visit_Name() keywords must be strings")),
    (lambda p: p.visit_Name.__call__(N, **{1: 2}), TypeError, non_str_keywords("visit_Name() keywords must be strings")),
    (lambda p: C.visit_Name.__call__(p, N, **{1: 2}), TypeError, "keywords must be strings"),
    (lambda p: p.visit_Name(**{1: 2}), TypeError, non_str_keywords(count("visit_Name", 1))),
    # a str subclass compares by its own __eq__, whose error ends the call
    (lambda p: p.visit_Name(**{BadKey("node"): N}), ValueError, "no comparing"),
    (lambda p: p.visit_Name(N, **{BadKey("x"): N}), ValueError, "no comparing"),
]


@pytest.mark.parametrize("call, exc, message", ERRORS)
def test_binding_errors(p, call, exc, message):
    with pytest.raises(exc) as info:
        call(p)
    assert type(info.value) is exc and str(info.value) == message


# (call, expected (root, transformer, configuration, new_name))
CONSTRUCTIONS = [
    (lambda: C(1, 2, 3), (1, 2, 3, "arr")),
    (lambda: C(1, 2, 3, "me"), (1, 2, 3, "me")),
    (lambda: C(1, 2, 3, new_name=None), (1, 2, 3, None)),
    (lambda: C(new_name="n", configuration=3, transformer=2, root=1), (1, 2, 3, "n")),
    (lambda: C(None, None, None), (None, None, None, "arr")),
    (lambda: C(1, 2, **{Key("configuration"): 3, Key("new_name"): 4}), (1, 2, 3, 4)),
]


@pytest.mark.parametrize("call, attrs", CONSTRUCTIONS)
def test_construction(call, attrs):
    p = call()
    assert (p.root, p.transformer, p.configuration, p.new_name) == attrs
    assert not hasattr(p, "rewrites")  # the base initialiser never ran


@pytest.mark.parametrize("call", [
    lambda p, n: p.visit_Call(n),
    lambda p, n: C.visit_Call(self=p, node=n),
    lambda p, n: C.visit_Call(p, node=n),
    lambda p, n: p.visit_Call(**{Key("node"): n}),
])
def test_keyword_and_positional_calls_agree(call):
    node = expr("torch.Tensor(x, requires_grad=True)")
    assert call(make_processor(None), node) is node
    assert render(node) == "orb.Array(x)"


def recording(cls_log, fail_on=None):
    class Recorder(C):
        def __setattr__(self, key, value):
            cls_log.append(("set", key))
            if key == fail_on:
                raise RuntimeError(key)
            super().__setattr__(key, value)

        def __getattribute__(self, key):
            cls_log.append(("get", key))
            return super().__getattribute__(key)

    return Recorder


def test_init_assigns_in_order_and_stops_at_a_failure():
    log = []
    recording(log)(1, 2, 3)
    assert [k for op, k in log if op == "set"] == ["root", "transformer", "configuration", "new_name"]
    log.clear()
    cls = recording(log, fail_on="configuration")
    p = cls.__new__(cls)
    with pytest.raises(RuntimeError, match="^configuration$"):
        p.__init__(1, 2, 3)
    assert (p.root, p.transformer, hasattr(p, "new_name")) == (1, 2, False)


def test_transform_reads_visit_then_root_and_assigns_nothing():
    log = []
    tree = gast.parse("y = torch.Tensor(x)")
    p = make_processor(tree, cls=recording(log))
    transform = p.transform
    log.clear()
    assert transform() is None
    assert log[:2] == [("get", "visit"), ("get", "root")]
    assert not [e for e in log if e[0] == "set"]
    assert p.root is tree and render(tree) == "y = orb.Array(x)"


def test_replaced_root_is_lost():
    root = expr("orb.inplace_update(x)")
    p = make_processor(root)
    assert p.transform() is None
    assert p.root is root and render(root) == "orb.inplace_update(x)"
    assert render(p.visit_Call(root)) == "orb.inplace_update(x).data"  # what was dropped


def test_deleted_root():
    log = []
    p = make_processor(expr("x"), cls=recording(log))
    del p.root
    log.clear()
    with pytest.raises(AttributeError, match="'Recorder' object has no attribute 'root'"):
        C.transform(p)
    assert log[:2] == [("get", "visit"), ("get", "root")]
