"""What the rewrite methods ask of the host, the environment and the nodes, in order."""
import builtins
import gc
import os
import traceback
import types

import gast
import pytest

from conftest import ENV, expr, make_processor, render
from interpreter import canonical
from combined_source.utils import ZOK
from combined_source.utils.RUF import ast_to_source_code
from combined_source.utils.W import is_orb_api

NS = ZOK.__dict__
CLS = ZOK.FrontendTorchCodePostProcessor
CONV = "x._ConvNd"


@pytest.fixture(autouse=True)
def _collect_spies():
    # Spy classes and recorded failures form reference cycles; free them here
    # rather than at some later test's collection.
    yield
    Boom.raised.clear()
    gc.collect()


class Obj:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class Host:
    """Stand-ins for the module's globals, and spies on objects, that log what the methods ask, in order."""

    def __init__(self, monkeypatch):
        self.log, self.labels, self.quiet = [], {}, False
        note = self.note

        class Text(str):
            def strip(s):
                note("strip")
                return str.strip(s)

        class Truth(Obj):
            def __bool__(t):
                note("bool", t.value)
                return t.value

        def recorded(label, real):
            def call(*args, **kwargs):
                note(label, *args, *("%s=%s" % (k, self.show(v)) for k, v in kwargs.items()))
                return real(*args, **kwargs)
            return call

        class Gast:
            def __getattr__(g, attr):
                note("gast." + attr)
                real = getattr(gast, attr)
                return recorded(attr, real) if attr in ("parse", "Attribute", "Load") else real

        def render_(node):
            note("render", self.show(node))
            self.quiet = True
            try:
                return Text(ast_to_source_code(node))
            finally:
                self.quiet = False

        def orb_api_(obj):
            note("is_orb_api", obj.__name__)
            return Truth(value=bool(is_orb_api(obj)))

        environ = self.spy(Obj(get=recorded("get", os.environ.get)), "environ")
        for key, value in [("ast_to_source_code", render_), ("is_orb_api", orb_api_), ("gast", Gast()),
                           ("os", self.spy(Obj(environ=environ), "os"))]:
            monkeypatch.setitem(NS, key, value)

    def note(self, *entry):
        if not self.quiet:
            self.log.append(" ".join(e if isinstance(e, str) else repr(e) for e in entry))

    def show(self, value):
        if isinstance(value, list):
            return "[%s]" % ", ".join(map(self.show, value))
        return self.labels.get(id(value), repr(value) if isinstance(value, str) else type(value).__name__)

    def spy(self, obj, label):
        host, base = self, type(obj)

        def getattribute(o, attr):
            if not attr.startswith("_"):
                host.note("%s.%s" % (label, attr))
            return base.__getattribute__(o, attr)

        def setattr_(o, attr, value):
            host.note("%s.%s" % (label, attr), "=", host.show(value))
            base.__setattr__(o, attr, value)

        obj.__class__ = type(base.__name__, (base,), {"__getattribute__": getattribute, "__setattr__": setattr_})
        self.labels[id(obj)] = label
        return obj

    def processor(self, api=False, name="", mapping=None):
        note = self.note

        class Mapping(dict):
            def __contains__(m, key):
                note("contains", key)
                return dict.__contains__(m, key)

            def __getitem__(m, key):
                note("getitem", key)
                return dict.__getitem__(m, key)

        class Recorded(CLS):
            def generic_visit(p, node):
                note("generic_visit", self.show(node))

        p = make_processor(None, api, name, cls=Recorded)
        p.configuration.dtype_mapping = Mapping(mapping or {})
        for obj, label in [(p.transformer, "transformer"), (p.transformer.object_like, "object_like"),
                           (p.configuration, "configuration"), (p, "self")]:
            self.spy(obj, label)
        return p


GV = ["self.generic_visit", "generic_visit node"]
ENV_READ = ["os.environ", "environ.get", "get APPLY_TRANSPOSE_OPTIMIZATION None"]
API = ["self.transformer", "transformer.object_like", "object_like.obj"]
ORB, TORCH = API + ["is_orb_api OrbThing", "bool True"], API + ["is_orb_api TorchThing", "bool False"]
MAPPED = GV + ["render node", "strip", "self.configuration", "configuration.dtype_mapping"]
CALL = GV + ["node.func", "render func", "strip"]
NUMPY = ["render node", "strip"] * 2
CONV_HEAD = CALL + NUMPY + ENV_READ + ["self.transformer", "transformer.object_like", "object_like.name"]
LAYOUT = GV + ENV_READ + ["node.arg", "node.value", "gast.Constant"]
SHAPE = ["node.args", "gast.Tuple", "node.args", "shape.elts", "gast.Name", "d0.id", "node.args"]
SPY_SHAPE = dict(shape=".args[0]", d0=".args[0].elts[0]", a=".args[0].elts[1]", b=".args[0].elts[2]")


def order(method, source, expected, api=0, env=None, name="", mapping=None, **paths):
    return pytest.param(method, source, api, env, name, mapping, paths, expected, id=method[6:] + ":" + source)


ORDER = [
    order("visit_keyword", "f(data_format='NCHW')", GV + ENV_READ),
    order("visit_keyword", "f(layout='NCHW')", GV + ENV_READ + ["node.arg"], env="true"),
    order("visit_keyword", "f(data_format=NCHW)", LAYOUT, env="true"),
    order("visit_keyword", "f(filter_format='NCHW')", LAYOUT + ["node.value", "const.value"] * 2
          + ["node.value", "const.value = 'NHWC'"], env="true", const=".value"),
    order("visit_keyword", "f(data_format='NSC')", LAYOUT + ["node.value", "const.value"] * 3, env="true", const=".value"),
    order("visit_Name", "self", GV + ORB + ["node.id", "self.new_name", "node.id = 'arr'"], api=1),
    order("visit_Name", "Tensor", GV + ORB + ["node.id"], api=1),
    order("visit_Name", "Tensor", GV + TORCH + ["render node", "strip", "gast.parse", "parse orb.Array"]),
    order("visit_Name", "self", GV + TORCH + ["render node", "strip"]),
    order("visit_Attribute", "torch.nn.Module", GV + ["render node", "strip", "gast.parse", "parse orb.Module"],
          api=1, mapping={"torch.nn.Module": "m"}),
    order("visit_Attribute", "x.y", MAPPED + [
        "contains x.y", "gast.parse", "self.configuration", "configuration.dtype_mapping", "getitem x.y", "parse z"],
          api=1, mapping={"x.y": "z"}),
    order("visit_Attribute", "self.orb_array", MAPPED + ["contains self.orb_array"] + TORCH),
    order("visit_Attribute", "self.orb_array", MAPPED + ["contains self.orb_array"] + ORB + [
        "node.value", "gast.Name", "node.value", "recv.id", "self.new_name", "node.value", "recv.id = 'arr'",
        "node.attr", "node.value"], api=1, recv=".value"),
    order("visit_Attribute", "f().orb_array", MAPPED + ["contains f().orb_array"] + ORB + [
        "node.value", "gast.Name", "node.attr", "node.value"], api=1),
    order("visit_Call", "f(x)", CALL + NUMPY + ENV_READ),
    order("visit_Call", "orb_empty((in_channels, a, b))", CONV_HEAD, env="true", name="Conv2d"),
    order("visit_Call", "f((in_channels, a, b))", CONV_HEAD, env="true", name=CONV),
    order("visit_Call", "orb.inplace_update(a, b)",
          CALL + ["gast.Attribute", "gast.Load", "Load", "Attribute value=node attr='data' ctx=Load"]),
    order("visit_Call", "orb.Array(x, requires_grad=True, dtype=d)",
          CALL + ["node.keywords", "kw0.arg", "kw1.arg", "node.keywords = [kw1]"], kw0=".keywords[0]", kw1=".keywords[1]"),
    order("visit_Call", "np.log2(8)", CALL + ["render node", "strip", "gast.parse", "parse np.log2(8).astype('float32')"]),
    order("visit_Call", "np.zeros((channels, channels))",
          CALL + NUMPY + ["gast.parse", "parse np.zeros((channels, channels),dtype='float32')"]),
    order("visit_Call", "orb_empty((out_channels, a, b))", CONV_HEAD + SHAPE + ["shape.elts = [b, a, d0]"],
          env="true", name=CONV, **SPY_SHAPE),
    order("visit_Call", "orb_empty((groups, a, b))", CONV_HEAD + SHAPE[:-1], env="true", name=CONV, **SPY_SHAPE),
    order("visit_Call", "orb_empty((x.y, a, b))", CONV_HEAD + SHAPE[:5], env="true", name=CONV, shape=".args[0]"),
    order("visit_Call", "orb_empty((in_channels, a))", CONV_HEAD + SHAPE[:4], env="true", name=CONV, shape=".args[0]"),
    order("visit_Call", "orb_empty([in_channels, a, b])", CONV_HEAD + SHAPE[:2], env="true", name=CONV),
    order("visit_Call", "orb_empty()", CONV_HEAD + SHAPE[:1], env="true", name=CONV),
]


@pytest.mark.parametrize("method, source, api, env, name, mapping, paths, expected", ORDER)
def test_host_calls_in_order(monkeypatch, transpose, method, source, api, env, name, mapping, paths, expected):
    transpose(env)
    host = Host(monkeypatch)
    node = expr(source)
    node = node.keywords[0] if method == "visit_keyword" else node
    for label, path in dict(paths, func=".func").items():
        if method == "visit_Call" or label != "func":
            host.spy(eval("node" + path), label)
    visit = getattr(host.processor(api, name, mapping), method)
    host.spy(node, "node")
    host.log.clear()
    visit(node)
    assert host.log == expected


def test_orb_api_test_is_made_for_every_name(monkeypatch):
    answers = iter([True, False, True, 0, 1])
    monkeypatch.setitem(NS, "is_orb_api", lambda obj: next(answers))
    tree = gast.parse("(self, self, self, self, self)")
    make_processor(tree).transform()
    assert render(tree) == "(arr, self, arr, self, arr)"


class Falsy:
    def __bool__(self):
        return False


class Empty:
    def __len__(self):
        return 0


@pytest.mark.parametrize("method, source, renamed", [
    ("visit_Name", "self", "arr"), ("visit_Attribute", "self.weight", "arr.weight")])
def test_orb_api_result_is_taken_by_its_truth_value(monkeypatch, method, source, renamed):
    # Results other than True and False: None, empty and falsy objects are
    # false, anything else true.
    answers = [None, 0.0, "", [], (), Falsy(), Empty(), "x", [0], 2, 0.5, object()]
    got = []
    for answer in answers:
        monkeypatch.setitem(NS, "is_orb_api", lambda obj, answer=answer: answer)
        got.append(render(getattr(make_processor(None), method)(expr(source))))
    assert got == [source] * 7 + [renamed] * 5


@pytest.mark.parametrize("key, first, second, node, method", [
    ("is_orb_api", lambda o: 1, lambda o: 0, "self", "visit_Name"),
    ("ast_to_source_code", lambda n: " Parameter\n", lambda n: "x", "x", "visit_Name"),
    ("os", types.SimpleNamespace(environ={ENV: "true"}), types.SimpleNamespace(environ={}),
     "f(data_format='NCS')", "visit_Call")])
def test_rebinding_a_global_takes_effect_at_the_next_call(monkeypatch, key, first, second, node, method):
    results = []
    for value in (first, second):
        monkeypatch.setitem(NS, key, value)
        results.append(render(getattr(make_processor(None), method)(expr(node))))
    assert results[0] != results[1] and node in results


def test_reversed_is_the_builtin_captured_at_import(monkeypatch, transpose):
    transpose("true")
    calls, real = [], reversed

    def rebound(seq):
        calls.append(seq)
        return real(seq)
    call = expr("orb_empty((in_channels, a, b))")
    p = make_processor(None, name=CONV)
    monkeypatch.setitem(NS, "reversed", rebound)
    monkeypatch.setattr(builtins, "reversed", rebound)
    p.visit_Call(call)
    seen = list(calls)
    monkeypatch.undo()
    assert seen == [] and render(call) == "orb_empty((b, a, in_channels))"


class Boom(Exception):
    raised = []

    def __init__(self, *args):
        super().__init__(*args)
        Boom.raised.append(self)


def failing_render(bad):
    def render_(node):
        text = ast_to_source_code(node)
        if text.strip() == bad:
            raise Boom("cannot render " + bad)
        return text
    return render_


class FailingEnviron(dict):
    def get(self, *args):
        self[len(self)] = args
        if len(self) == 2:
            raise Boom("environment unreadable")
        return "true"


FAILURES = [  # method, its file, source, the global that fails at the second node, what stays rewritten
    ("visit_Name", "rewrite_name.cpp", "f(Tensor)(boom)", "ast_to_source_code", lambda: failing_render("boom"),
     "f(orb.Array)(boom)"),
    ("visit_Attribute", "rewrite_attribute.cpp", "torch.Tensor + x.y", "ast_to_source_code",
     lambda: failing_render("x.y"), "(orb.Array + x.y)"),
    ("visit_Call", "rewrite_call.cpp", "(orb.Array(requires_grad=1), f(x))", "ast_to_source_code",
     lambda: failing_render("f(x)"), "(orb.Array(), f(x))"),
    ("visit_keyword", "rewrite_keyword.cpp", "f(data_format='NCHW', filter_format='NCS')", "os",
     lambda: Obj(environ=FailingEnviron()), "f(data_format='NHWC', filter_format='NCS')"),
]


@pytest.mark.parametrize("method, filename, source, key, stand_in, after", FAILURES, ids=[f[0] for f in FAILURES])
def test_failure_propagates_unchanged(monkeypatch, method, filename, source, key, stand_in, after):
    monkeypatch.setitem(NS, key, stand_in())
    tree = gast.parse(source)
    with pytest.raises(Boom) as info:
        make_processor(tree).transform()
    assert info.value is Boom.raised[-1] and len(Boom.raised[-1].args) == 1
    entries = [(e.name, os.path.basename(e.filename)) for e in traceback.extract_tb(info.value.__traceback__)]
    names = [e[0] for e in entries]
    here = "ZOK.FrontendTorchCodePostProcessor."
    assert (here + method, filename) in entries and names.index(here + "transform") < names.index(here + method)
    monkeypatch.undo()
    assert render(tree) == canonical(after)
