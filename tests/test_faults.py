"""Hostile hosts: every operation the post-processor uses fails or misbehaves on its N-th use.

A scenario is one statement repeated three times. A clean run logs every use of every host
operation; then each use made while the middle statement (or the root) is walked is faulted
in turn. An exception must arrive unchanged with the method's traceback entry, the statements
walked before stay rewritten, the later ones untouched, and nothing leaks.
"""
import builtins
import contextlib
import os
import sys
import traceback
import tracemalloc
import warnings

import gast
import pytest

from combined_source.utils import ZOK
from combined_source.utils.RUF import ast_to_source_code
from combined_source.utils.W import is_orb_api
from interpreter import settle

PP = ZOK.FrontendTorchCodePostProcessor
QUAL = "ZOK.FrontendTorchCodePostProcessor."
ENV = "APPLY_TRANSPOSE_OPTIMIZATION"
SKIP = object()  # a write hook's answer that drops the assignment
BOOM = "boom"  # expected outcome: the host's own exception object
HOST = None  # the Host of the run in progress
OrbThing = type("OrbThing", (), {"__module__": "orb.nn"})


class Boom(Exception):
    pass


class Host:
    def __init__(self, env=None, armed=None, fault=None):
        self.env, self.armed, self.fault, self.boom = env, armed, fault, Boom("injected")
        self.count, self.log, self.stack, self.native, self.unit, self.units = {}, [], [], True, -1, {}

    def use(self, op, value=None):
        n = self.count[op] = self.count.get(op, 0) + 1
        if self.log is not None:
            self.log.append((op, n, self.unit, self.stack[-1] if self.stack else "transform"))
        return self.fault(self, value) if (op, n) == self.armed else value


def read(op, value=None):
    """Attribute hook: a use only while the module's own code runs, not the host's."""
    h = HOST
    return h.use(op, value) if h is not None and h.native else value


@contextlib.contextmanager
def mode(native):
    saved, HOST.native = HOST.native, native
    try:
        yield
    finally:
        HOST.native = saved


class P(PP):
    """The post-processor under a host traversal that notes which method runs."""

    def visit(self, node):
        h = HOST
        h.use("visit")
        h.unit = h.units.get(id(node), h.unit)
        method = vars(PP).get("visit_" + type(node).__name__)
        if method is None:
            with mode(False):
                return super().generic_visit(node)
        h.stack.append(method.__name__)
        try:
            with mode(True):
                return method(self, node)
        finally:
            h.stack.pop()

    def generic_visit(self, node):
        odd = HOST.use("generic_visit", SKIP)
        with mode(False):
            result = super().generic_visit(node)
        return result if odd is SKIP else odd

    def __getattribute__(self, name):
        value = object.__getattribute__(self, name)
        return read("P." + name, value) if name in ("root", "visit", "transformer", "configuration", "new_name") else value

    def __setattr__(self, name, value):
        if read("P." + name + "=", value) is not SKIP:
            object.__setattr__(self, name, value)


class HostObj:
    def __init__(self, kind, **fields):
        self.__dict__.update(fields, _kind=kind)

    def __getattribute__(self, name):
        value = object.__getattribute__(self, name)
        return value if name[0] == "_" else read(self._kind + "." + name, value)


class Mapping(dict):
    def __contains__(self, key):
        return read("mapping.in", dict.__contains__(self, key))

    def __getitem__(self, key):
        return read("mapping[]", dict.__getitem__(self, key))


def _hooked(base):
    def __getattribute__(self, name):
        value = base.__getattribute__(self, name)
        return read(base.__name__ + "." + name, value) if name in base._fields else value

    def __setattr__(self, name, value):
        if name not in base._fields or read(base.__name__ + "." + name + "=", value) is not SKIP:
            base.__setattr__(self, name, value)

    return type(base.__name__, (base,), dict(__getattribute__=__getattribute__, __setattr__=__setattr__))


HOOKED = {c: _hooked(c) for c in (gast.Name, gast.Attribute, gast.Call, gast.keyword, gast.Constant, gast.Tuple)}


# ---- the module's globals as this host hands them out: each use counted ----
def render(node):
    with mode(False):
        text = ast_to_source_code(node)
    return HOST.use("render", text)


class Environ:
    def get(self, key, default):
        return HOST.use("env", HOST.env if key == ENV else default)


class OsProxy:
    environ = property(lambda self: HOST.use("os.environ", Environ()))


class GastProxy:
    def __getattr__(self, name):
        return HOST.use("gast." + name, parse if name == "parse" else getattr(gast, name))


class Parsed:  # the parse result, a statement of its body, and the body list
    def __init__(self, tree):
        self.tree = tree

    body = property(lambda self: HOST.use("body", Body(self.tree.body)))
    value = property(lambda self: HOST.use("stmt.value", self.tree.value))


class Body(list):
    def __getitem__(self, i):
        return HOST.use("body[0]", Parsed(list.__getitem__(self, i)))


def parse(text):
    return HOST.use("parse", Parsed(gast.parse(text)))


@pytest.fixture
def patched(monkeypatch):
    for key, value in [("ast_to_source_code", render), ("is_orb_api", lambda obj: HOST.use("orb_api", is_orb_api(obj))),
                       ("os", OsProxy()), ("gast", GastProxy())]:
        monkeypatch.setitem(ZOK.__dict__, key, value)


# ---- what a faulty host hands back ----
def RAISE(h=None, value=None, *args, **kwargs):
    raise HOST.boom


def const(v):
    return lambda h, value: v


class EqBomb:
    """Raises on every comparison; hashable, and contains nothing."""
    __eq__ = __ne__ = RAISE
    __hash__ = object.__hash__
    __contains__ = lambda self, item: False


class Text:  # a rendering whose strip() gives `stripped`, or raises
    def __init__(self, stripped):
        self.strip = (lambda: RAISE()) if stripped is RAISE else (lambda: stripped)


E = EqBomb()
TrueSub = type("TrueSub", (str,), {"__eq__": RAISE, "__hash__": str.__hash__})
BoolBomb = type("BoolBomb", (), {"__bool__": RAISE})
ListBomb = type("ListBomb", (list,), {"__getitem__": RAISE, "__len__": RAISE, "__iter__": RAISE})
ClassBomb = type("ClassBomb", (type,), {"__instancecheck__": RAISE, "__call__": RAISE})("Bomb", (), {})
GAST_CLASSES = ["gast.Attribute", "gast.Load", "gast.Name", "gast.Tuple", "gast.Constant"]
LISTS = ["Call.args", "Call.keywords", "Tuple.elts"]
WRITES = ["Name.id=", "Call.keywords=", "Tuple.elts=", "Constant.value="]
READS = ["transformer.object_like", "object_like.obj", "object_like.name", "config.dtype_mapping", "Name.id",
         "Attribute.value", "Attribute.attr", "Call.func", "keyword.arg", "keyword.value", "Constant.value"] + [
            "P." + f for f in ("root", "visit", "transformer", "configuration", "new_name")]
CALLS = ["visit", "generic_visit", "render", "orb_api", "os.environ", "env", "mapping.in", "mapping[]", "gast.parse",
         "parse", "body", "body[0]", "stmt.value"]
FAULTS = [(op, "raise", RAISE, BOOM) for op in CALLS + READS + GAST_CLASSES + LISTS + WRITES] + [
    (op, "eq-bomb", const(E), None) for op in ["Name.id", "Attribute.attr", "keyword.arg", "Constant.value",
                                               "object_like.name", "env"]] + [
    (op, "ignored", const(SKIP), None) for op in WRITES] + [
    (op, "not a class", const(42), TypeError) for op in GAST_CLASSES] + [
    (op, "class bomb", const(ClassBomb), BOOM) for op in GAST_CLASSES] + [
    (op, "tuple", lambda h, v: tuple(v), None) for op in LISTS] + [
    (op, "list bomb", lambda h, v: ListBomb(v), BOOM) for op in LISTS] + [
    (op, "int", const(42), TypeError) for op in LISTS] + [
    ("generic_visit", "junk result", const(42), None),
    ("render", "int", const(42), AttributeError),
    ("render", "strip raises", const(Text(RAISE)), BOOM),
    ("render", "strip eq-bomb", const(Text(E)), None),
    ("render", "strip int", const(Text(7)), (None, TypeError)),
    ("orb_api", "bool raises", const(BoolBomb()), BOOM),
    ("env", "upper", const("TRUE"), None),
    ("env", "bytes", const(b"true"), None),
    ("env", "str subclass", const(TrueSub("true")), None),
    ("mapping.in", "bool raises", const(BoolBomb()), BOOM),
    ("mapping[]", "int", const(42), TypeError),
    ("parse", "None", const(None), AttributeError),
    ("body", "empty", const([]), IndexError),
]

# name: (statement, rewritten, texts seen mid-rewrite, options)
SCENARIOS = {
    "name": ("Tensor", "orb.Array", (), {}),
    "self": ("self", "arr", (), {"api": True}),
    "module": ("torch.nn.Module", "orb.Module", (), {}),
    "mapped": ("torch.float32", "orb.float32", (), {"mapping": {"torch.float32": "orb.float32"}}),
    "orb_array": ("self.orb_array", "arr", ("arr.orb_array",), {"api": True}),
    "inplace": ("orb.inplace_update(a, b)", "orb.inplace_update(a, b).data", (), {}),
    "array": ("orb.Array(x, requires_grad=True)", "orb.Array(x)", (), {}),
    "log2": ("np.log2(8)", "np.log2(8).astype('float32')", (), {}),
    "conv": ("orb_empty((in_channels, c, k))", "orb_empty((k, c, in_channels))", (), {"env": "true", "name": "_ConvNd"}),
    "layout": ("f(data_format='NCHW')", "f(data_format='NHWC')", (), {"env": "true"}),
}


def plain(source, api=False, name="Linear", mapping=None, cls=PP):
    """A post-processor over `source`, its host objects hooked (quiet while no host watches)."""
    ol = HostObj("object_like", obj=OrbThing if api else object, name=name)
    return cls(source and gast.parse(source), HostObj("transformer", object_like=ol),
               HostObj("config", dtype_mapping=Mapping(mapping or {})), "".join(["ar", "r"]))


def tree_for(name, h):
    tree = gast.parse("\n".join([SCENARIOS[name][0]] * 3))
    for n in gast.walk(tree):
        n.__class__ = HOOKED.get(type(n), type(n))
    h.units = {id(s): i for i, s in enumerate(tree.body)}
    return tree


def run(p, tree, h):
    """Transforms `tree` with `p` under host `h`; the exception raised, or None."""
    global HOST
    p.root = tree
    HOST, h.unit, h.stack[:] = h, -1, []
    h.count.clear()
    try:
        p.transform()
    except Exception as e:
        return e
    finally:
        HOST = None


def raised(call):
    try:
        call()
    except Exception as e:
        return e


def entries(exc):
    return [f.name[len(QUAL):] for f in traceback.extract_tb(exc.__traceback__) if f.name.startswith(QUAL)]


def ends(exc):
    """The outermost and the innermost traceback entry of the module."""
    return [entries(exc)[0], entries(exc)[-1]]


def texts(tree):
    return [ast_to_source_code(s).strip() for s in tree.body]


def uses(op):
    """(scenario, use number, statement, method) of each use of `op` worth faulting."""
    for name, (_, done, _, opts) in SCENARIOS.items():
        h = Host(opts.get("env"))
        tree = tree_for(name, h)
        assert run(plain(None, **{k: v for k, v in opts.items() if k != "env"}, cls=P), tree, h) is None
        assert texts(tree) == [done] * 3
        yield from ((name, n, unit, method) for o, n, unit, method in h.log if o == op and unit in (-1, 1))


LOOPS = int(os.environ.get("ZOK_LEAK_LOOPS", "200"))  # memory checkers run with few or none
INTERNED = [sys.intern(s) for s in ("NHWC", "data", "true", ENV, "orb.Array", "id", "elts", "keywords", "strip")]


def assert_no_leak(once, keep, loops=LOOPS):
    """`once`, run `loops` times, leaves the reference counts of `keep`, the live blocks and traced memory as they were."""
    if loops <= 0:  # a memory checker watches instead
        once(), once()
        return
    keep = keep + INTERNED
    # From 3.13 the syntax-tree classes warn about the fields an empty node lacks;
    # warnings recorded by the test runner would count as growth.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        for _ in range(5):
            once()
        settle()
        refs = [sys.getrefcount(o) for o in keep]
        tracemalloc.start()
        try:
            for _ in range(20):
                once()
            settle()
            blocks, memory = sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]
            for _ in range(loops):
                once()
            settle()
            # read before the differences exist: one may be a small int that `keep` holds
            after = [sys.getrefcount(o) for o in keep]
            blocks, memory = sys.getallocatedblocks() - blocks, tracemalloc.get_traced_memory()[0] - memory
        finally:
            tracemalloc.stop()
    # The interned names are shared with all other code: a reference more or
    # less from elsewhere is not one per run.
    n = len(keep) - len(INTERNED)
    assert after[:n] == refs[:n] and all(abs(a - b) < loops // 2 for a, b in zip(after[n:], refs[n:])), (refs, after)
    assert blocks < loops // 2 + 10 and memory < loops * 24 + 4000, (blocks, memory)


@pytest.mark.parametrize("op, kind, fault, expected", FAULTS, ids=["%s-%s" % f[:2] for f in FAULTS])
def test_fault_at_every_use(patched, op, kind, fault, expected):
    cases = list(uses(op))
    for name, n, unit, method in cases:
        src, done, mid, opts = SCENARIOS[name]
        h = Host(opts.get("env"), (op, n), fault)
        tree = tree_for(name, h)
        exc = run(plain(None, **{k: v for k, v in opts.items() if k != "env"}, cls=P), tree, h)
        outcomes = expected if isinstance(expected, tuple) else (expected,)
        if exc is h.boom:
            assert BOOM in outcomes and exc.__context__ is None and exc.args == ("injected",)
        else:
            assert (type(exc) if exc else None) in outcomes, repr(exc)
        assert exc is None or ends(exc) == ["transform", method], entries(exc)
        got = texts(tree)
        assert got[:max(unit, 0)] == [done] * max(unit, 0)
        assert got[unit + 1:] == [src if exc else done] * (2 - unit)
        assert unit < 0 or got[unit] in (src, done) + mid
    # The first of them, over and over: no reference to what was handed in is kept.
    name, n, _, _ = cases[0]
    h = Host(SCENARIOS[name][3].get("env"), (op, n), fault)
    h.log, p = None, plain(None, **{k: v for k, v in SCENARIOS[name][3].items() if k != "env"}, cls=P)
    ol = p.transformer.object_like
    assert_no_leak(lambda: (run(p, tree_for(name, h), h), setattr(h.boom, "__traceback__", None)),
                   [p, p.transformer, ol, ol.obj, ol.name, p.configuration, p.new_name, h, h.boom, E])


# ---- hand-made hostile inputs, each also looped for leaks ----
# 4242: a small int could turn up among the saved reference counts themselves
NODES = [None, 4242, "self", gast.Module([], []), gast.Name(), gast.Call(), gast.keyword(),
         gast.Name("x", gast.Load(), None, None), gast.Attribute(gast.Name("a", gast.Load(), None, None), "b", gast.Load()),
         gast.Call(gast.Name("f", gast.Load(), None, None), [], []), gast.keyword("data_format", gast.Constant("NCHW", None))]


def rendering_error(node):
    """What the host's renderer itself raises for `node` (from 3.15 the syntax-tree classes
    refuse a node that lacks a required field with a TypeError that names it), or None."""
    exc = raised(lambda: ast_to_source_code(node))
    return exc and (type(exc), str(exc))


# Rendering an empty node: from 3.13 the syntax-tree classes warn about the fields it lacks.
@pytest.mark.filterwarnings("ignore:.*missing 1 required positional argument:DeprecationWarning")
@pytest.mark.parametrize("api", [False, True])
@pytest.mark.parametrize("method", ["visit_keyword", "visit_Name", "visit_Attribute", "visit_Call"])
def test_wrong_node_types(monkeypatch, method, api):
    # Nodes of another type, empty nodes and non-nodes: the node comes back, or an
    # AttributeError names what is missing, or the renderer's own error for an empty
    # node passes through unchanged; nothing else, and nothing leaks.
    monkeypatch.setenv(ENV, "true")
    p = plain("x", api=api, name="_ConvNd")
    for node in NODES:
        exc = raised(lambda: getattr(p, method)(node))
        assert exc is None or (type(exc) is AttributeError or (type(exc), str(exc)) == rendering_error(node)) and \
            entries(exc) == [method], exc
        assert_no_leak(lambda: raised(lambda: getattr(p, method)(node)), [p, node], loops=LOOPS // 4)


DEL = object()
# key, value, source, opts, method, error
GLOBALS = [
    ("gast", DEL, "Tensor", {}, "visit_Name", (NameError, "name 'gast' is not defined")),
    ("os", DEL, "f(x)", {}, "visit_Call", (NameError, "name 'os' is not defined")),
    ("ast_to_source_code", DEL, "a.b", {}, "visit_Name", (NameError, "name 'ast_to_source_code' is not defined")),
    ("is_orb_api", DEL, "x", {}, "visit_Name", (NameError, "name 'is_orb_api' is not defined")),
    ("gast", None, "torch.Tensor", {}, "visit_Attribute", (AttributeError, "'NoneType' object has no attribute 'parse'")),
    ("gast", HostObj("gast", parse=gast.parse), "orb.inplace_update(a)", {}, "visit_Call",
     (AttributeError, "'HostObj' object has no attribute 'Attribute'")),
    ("os", None, "f(data_format='NCHW')", {}, "visit_keyword", (AttributeError, "'NoneType' object has no attribute 'environ'")),
    ("os", HostObj("os", environ=None), "f(x)", {}, "visit_Call", (AttributeError, "'NoneType' object has no attribute 'get'")),
    ("ast_to_source_code", 42, "Tensor", {}, "visit_Name", (TypeError, "'int' object is not callable")),
    ("is_orb_api", "x", "self.x", {}, "visit_Name", (TypeError, "'str' object is not callable")),
    # Names the methods never look up, and the builtins fall-back.
    ("reversed", None, "orb_empty((in_channels, c, k))", {"name": "_ConvNd"}, None, "orb_empty((k, c, in_channels))"),
    ("FrontendTorchCodePostProcessor", DEL, "Tensor", {}, None, "orb.Array"),
    ("__builtins__", DEL, "Tensor", {}, None, "orb.Array"),
    ("gast", "builtins", "Tensor", {}, None, "orb.Array"),
]


def junk_global(monkeypatch, key, value):
    """Deletes the module global `key`, or sets it to `value` (to the builtin of that name for "builtins")."""
    monkeypatch.setenv(ENV, "true")
    if value is DEL or value == "builtins":
        monkeypatch.delitem(ZOK.__dict__, key)
        if value == "builtins":
            monkeypatch.setattr(builtins, key, gast, raising=False)
    else:
        monkeypatch.setitem(ZOK.__dict__, key, value)


@pytest.mark.parametrize("key, value, source, opts, method, error", GLOBALS)
def test_globals_deleted_or_junk(monkeypatch, key, value, source, opts, method, error):
    junk_global(monkeypatch, key, value)
    p = plain(source, **opts)
    saved = builtins.reversed
    builtins.reversed = None if key == "reversed" else saved  # the test runner needs it back at once
    try:
        exc = raised(p.transform)
    finally:
        builtins.reversed = saved
    if method is None:
        assert exc is None and ast_to_source_code(p.root).strip() == error
    else:
        assert (type(exc), str(exc)) == error and ends(exc) == ["transform", method]
        assert ast_to_source_code(p.root).strip() == source
    assert_no_leak(lambda: raised(plain(source, **opts).transform), [p], loops=LOOPS // 4)


INIT_FIELDS = ["root", "transformer", "configuration", "new_name"]
INIT_FAULTS = [(RAISE, BOOM), (const(SKIP), None)]


def init_failure(k, fault):
    """A post-processor, its arguments, and a construction whose k-th attribute assignment meets `fault`."""
    h, p, args = Host(armed=("P." + INIT_FIELDS[k] + "=", 1), fault=fault), P.__new__(P), [object(), object(), object(), "me"]
    h.log = None

    def once():
        global HOST
        vars(p).clear()
        HOST, h.count = h, {}
        try:
            return raised(lambda: PP.__init__(p, *args))
        finally:
            HOST = None

    return h, p, args, once


@pytest.mark.parametrize("k", [0, 1, 2, 3])
@pytest.mark.parametrize("fault, expected", INIT_FAULTS)
def test_init_assignment_fails(k, fault, expected):
    # An attribute-setting hook that raises (or drops the value) at the k-th assignment.
    fields = INIT_FIELDS
    h, p, args, once = init_failure(k, fault)
    exc = once()
    assert (exc is h.boom and entries(exc) == ["__init__"]) if expected is BOOM else exc is None
    assert sorted(vars(p)) == sorted(fields[:k] + ([] if expected is BOOM else fields[k + 1:]))
    assert_no_leak(lambda: (once(), setattr(h.boom, "__traceback__", None)), [p, h.boom] + args)


Slots = type("Slots", (), {"__slots__": ("object_like", "obj", "name", "dtype_mapping")})


def slots(**fields):
    s = Slots()
    for k, v in fields.items():
        setattr(s, k, v)
    return s


# source, opts, breaker, method, message
BROKEN = [
    ("Tensor", {}, lambda p: delattr(p, "transformer"), "visit_Name", "'PP' object has no attribute 'transformer'"),
    ("self", {"api": True}, lambda p: delattr(p, "new_name"), "visit_Name", "'PP' object has no attribute 'new_name'"),
    ("torch.float32", {}, lambda p: delattr(p, "configuration"), "visit_Attribute", "'PP' object has no attribute 'configuration'"),
    ("x", {}, lambda p: delattr(p, "root"), "transform", "'PP' object has no attribute 'root'"),
    ("self.x", {}, lambda p: setattr(p, "transformer", slots()), "visit_Name", "object_like"),
    ("x.y", {}, lambda p: setattr(p, "configuration", slots()), "visit_Attribute", "dtype_mapping"),
    ("x", {}, lambda p: setattr(p.transformer, "object_like", slots(name="a")), "visit_Name", "obj"),
    ("f(x)", {"env": "true"}, lambda p: setattr(p.transformer, "object_like", slots(obj=1)), "visit_Call", "name"),
    ("self", {"api": True}, lambda p: delattr(p.root.body[0].value, "id"), "visit_Name", "'Name' object has no attribute 'id'"),
    ("f(data_format='NCHW')", {"env": "true"}, lambda p: delattr(p.root.body[0].value.keywords[0], "arg"), "visit_keyword",
     "'keyword' object has no attribute 'arg'"),
]


def broken(source, opts, breaker):
    """A subclass of the post-processor, and a run over `source` of one whose attributes `breaker` spoilt."""
    cls = type("PP", (PP,), {})

    def once():
        p = plain(source, api=opts.get("api", False), cls=cls)
        breaker(p)
        return p, ("root" in vars(p) and gast.dump(p.root)), raised(p.transform)

    return cls, once


@pytest.mark.parametrize("source, opts, breaker, method, message", BROKEN)
def test_deleted_and_unset_attributes(monkeypatch, source, opts, breaker, method, message):
    if opts.get("env"):
        monkeypatch.setenv(ENV, opts["env"])
    cls, once = broken(source, opts, breaker)
    p, before, exc = once()
    assert type(exc) is AttributeError and message in str(exc) and entries(exc)[-1] == method
    assert ("root" in vars(p) and gast.dump(p.root)) == before
    assert_no_leak(once, [cls], loops=LOOPS // 4)


# ---- re-entrant hosts ----
def test_callbacks_reenter_the_same_post_processor(monkeypatch):
    p = plain("Tensor\nself.orb_array\ntorch.nn.Module")
    main, other, loose, done = p.root, gast.parse("Tensor\nx.y\ntorch.float32"), gast.Name("Parameter", gast.Load(), None, None), []

    def render_and_reenter(node):
        if not done:  # the first use only, not the uses it makes itself
            done.append(None)
            done[0] = p.visit_Name(loose)
            p.root, p.configuration = other, HostObj("config", dtype_mapping={"torch.float32": "f32"})
            done.append(p.transform())
            p.root = main
        return ast_to_source_code(node)

    monkeypatch.setitem(ZOK.__dict__, "ast_to_source_code", render_and_reenter)
    assert p.transform() is None and p.root is main
    assert [ast_to_source_code(t).strip() for t in (main, other, done[0])] == [
        "orb.Array\nself.orb_array\norb.Module", "orb.Array\nx.y\nf32", "orb.Array"]


def _config(mapping):
    return lambda p, mp: setattr(p, "configuration", HostObj("config", dtype_mapping=mapping))


def _api(api):
    return lambda p, mp: setattr(p, "transformer", plain(None, api=api).transformer)


class SwapOnContains(dict):
    """A mapping whose membership test hands the post-processor a new configuration."""

    def __contains__(self, key):
        self.p.configuration = HostObj("config", dtype_mapping={key: "g32"})
        return dict.__contains__(self, key)


@pytest.mark.parametrize("source, opts, where, mutate, expected", [
    # changed by the host's traversal just before the second statement
    ("f(data_format='NCHW')", {}, "walk", lambda p, mp: mp.setenv(ENV, "true"), ["NCHW", "NHWC", "NHWC"]),
    ("f(data_format='NCHW')", {"env": "true"}, "walk", lambda p, mp: mp.delenv(ENV), ["NHWC", "NCHW", "NCHW"]),
    ("torch.float32", {}, "walk", _config({"torch.float32": "f32"}), ["torch.float32", "f32", "f32"]),
    ("self", {}, "walk", _api(True), ["self", "arr", "arr"]),
    ("self", {"api": True}, "walk", lambda p, mp: setattr(p, "new_name", "me"), ["arr", "me", "me"]),
    ("orb_empty((in_channels, c, k))", {"env": "true"}, "walk",
     lambda p, mp: setattr(p.transformer.object_like, "name", "_ConvNd"), ["(in_channels, c, k)"] + ["(k, c, in_channels)"] * 2),
    # changed from inside a host call while the method holds what it read before
    ("self", {"api": True}, "is_orb_api", _api(False), ["arr", "self", "self"]),
    ("torch.float32", {}, "dtype_mapping", None, ["g32", "g32", "g32"]),
])
def test_host_changes_mid_walk(monkeypatch, source, opts, where, mutate, expected):
    if opts.get("env"):
        monkeypatch.setenv(ENV, "true")

    class Q(PP):
        def generic_visit(self, node):
            if where == "walk" and node is self.root.body[1]:
                mutate(self, monkeypatch)
            return super().generic_visit(node)

    p = plain("\n".join([source] * 3), api=opts.get("api", False), cls=Q)
    if where == "is_orb_api":
        monkeypatch.setitem(ZOK.__dict__, where, lambda obj: (mutate(p, monkeypatch), is_orb_api(obj))[1])
    if where == "dtype_mapping":
        p.configuration = HostObj("config", dtype_mapping=SwapOnContains({source: "f32"}))
        p.configuration.dtype_mapping.p = p
    assert p.transform() is None
    got = texts(p.root)
    assert len(got) == 3 and all(e in g for e, g in zip(expected, got)), got
