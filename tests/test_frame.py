"""The method objects: attributes, binding, traceback entries, leaks."""
import sys
import traceback
import tracemalloc

import gast
import pytest

from combined_source.utils import ZOK
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor as C

from conftest import expr, make_processor
from interpreter import CALLER_CHECKS_KEYWORDS, settle

# name, co_varnames, __defaults__, source file of its traceback entries
METHODS = [
    ("__init__", ("self", "root", "transformer", "configuration", "new_name"), ("arr",), "frame.cpp"),
    ("transform", ("self",), None, "frame.cpp"),
    ("visit_keyword", ("self", "node"), None, "rewrite_keyword.cpp"),
    ("visit_Name", ("self", "node", "attr_str"), None, "rewrite_name.cpp"),
    ("visit_Attribute", ("self", "node", "attr_str"), None, "rewrite_attribute.cpp"),
    ("visit_Call", ("self", "node", "func_name", "dims", "kwarg"), None, "rewrite_call.cpp"),
]
NPARAMS = {"__init__": 5, "transform": 1}


@pytest.mark.parametrize("name, varnames, defaults, filename", METHODS)
def test_function_attributes(name, varnames, defaults, filename):
    f = C.__dict__[name]
    assert type(f).__module__ == "ZOK" and type(f).__name__ == "native_function"
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (
        name, "FrontendTorchCodePostProcessor." + name, "ZOK", None)
    assert f.__defaults__ == defaults and f.__globals__ is vars(ZOK)
    assert f.__code__.co_varnames == varnames
    assert f.__code__.co_argcount == NPARAMS.get(name, 2)
    assert f.__code__.co_filename == filename
    assert f.__code__.co_name == name
    if sys.version_info >= (3, 11):
        assert f.__code__.co_qualname == "FrontendTorchCodePostProcessor." + name
    # descriptor: the function itself through the class, a bound method through an instance
    p = make_processor(expr("x"))
    assert f.__get__(None, C) is f and getattr(C, name) is f
    bound = getattr(p, name)
    assert bound.__func__ is f and bound.__self__ is p


def test_defaults_assignment_does_not_change_the_default():
    f = C.__dict__["__init__"]
    try:
        f.__defaults__ = ("zzz",)
        assert f.__defaults__ == ("zzz",)
        assert C(1, 2, 3).new_name == "arr"
        f.__defaults__ = None
        assert f.__defaults__ is None and C(1, 2, 3).new_name == "arr"
    finally:
        f.__defaults__ = ("arr",)


class Bare:
    """No visit, no generic_visit, no attribute dictionary."""

    __slots__ = ()


# (method, failing call): each raises inside the method itself, so the
# method's entry is the last one of the traceback.
FAILING = [
    ("__init__", lambda p: C(1)),
    ("__init__", lambda p: C.__init__(Bare(), 1, 2, 3)),
    ("transform", lambda p: p.transform(1)),
    ("transform", lambda p: C.transform(Bare())),
    ("visit_keyword", lambda p: C.visit_keyword(Bare(), expr("f(a=1)").keywords[0])),
    ("visit_Name", lambda p: p.visit_Name(bogus=1)),
    ("visit_Name", lambda p: C.visit_Name(Bare(), expr("x"))),
    ("visit_Attribute", lambda p: C.visit_Attribute(Bare(), expr("a.b"))),
    pytest.param("visit_Call", lambda p: p.visit_Call(expr("x"), **{1: 2}), marks=pytest.mark.skipif(
        CALLER_CHECKS_KEYWORDS, reason="the caller rejects the keyword name before the method runs")),
    ("visit_Call", lambda p: C.visit_Call(Bare(), expr("f()"))),
]


@pytest.mark.parametrize("method, call", FAILING)
def test_traceback_entry(method, call):
    filename = {m[0]: m[3] for m in METHODS}[method]
    with pytest.raises((TypeError, AttributeError)) as info:
        call(make_processor(expr("x")))
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.name, last.filename) == ("ZOK.FrontendTorchCodePostProcessor." + method, filename)
    assert last.lineno > 0


def test_nested_entries_in_call_order():
    p = make_processor(gast.parse("f(x)"))
    p.transformer = None  # visit_Name's orb-API test reads transformer.object_like
    with pytest.raises(AttributeError) as info:
        p.transform()
    tb = traceback.extract_tb(info.value.__traceback__)
    ours = [f.name.rpartition(".")[2] for f in tb if f.name.startswith("ZOK.")]
    assert ours == ["transform", "visit_Call", "visit_Name"] and tb[-1].name.endswith("visit_Name")


SOURCE = "y = torch.Tensor(x, requires_grad=True)\nz = orb.inplace_update(torch.nn.Parameter(y))"


def exercise(objs, rounds):
    """Construction, rewriting transforms and failing calls of each kind."""
    root, transformer, config, new_name, node = objs
    for _ in range(rounds):
        p = C(root, transformer, config, new_name=new_name)
        C(gast.parse(SOURCE), transformer, config).transform()
        p.visit_Call(expr("torch.Tensor(x, requires_grad=True)"))
        C.visit_Name(self=p, node=node)
        for call in (lambda: C(root, transformer), lambda: p.visit_Name(node, bogus=node),
                     lambda: p.visit_Name(node, **{1: node}), lambda: C.transform(Bare()),
                     lambda: C.visit_Call.__call__(p, node, **{1: node}),
                     lambda: C.__init__(Bare(), root, transformer, config)):
            try:
                call()
            except (TypeError, AttributeError):
                pass


def leak_objects():
    p = make_processor(None)
    return gast.parse(SOURCE), p.transformer, p.configuration, "".join(["n", "ame"]), expr("x")


def test_reference_counts_unchanged():
    objs = leak_objects()
    exercise(objs, 10)
    settle()
    before = [sys.getrefcount(o) for o in objs]
    exercise(objs, 1000)
    settle()
    assert [sys.getrefcount(o) for o in objs] == before


def test_memory_does_not_grow():
    objs = leak_objects()
    exercise(objs, 200)
    settle()
    tracemalloc.start()
    try:
        exercise(objs, 100)
        settle()
        start = tracemalloc.take_snapshot()
        exercise(objs, 2000)
        settle()
        grown = sum(d.size_diff for d in tracemalloc.take_snapshot().compare_to(start, "filename"))
    finally:
        tracemalloc.stop()
    assert grown < 32 * 1024, grown
