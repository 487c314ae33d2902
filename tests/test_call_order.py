"""What the rewrite methods ask of the host, the environment and the nodes, in order."""
import builtins
import os
import traceback
import types

import gast
import pytest

from conftest import ENV, expr, make_processor, render
from combined_source.utils import ZOK
from combined_source.utils.RUF import ast_to_source_code
from combined_source.utils.W import is_orb_api

NS = ZOK.__dict__
CLS = ZOK.FrontendTorchCodePostProcessor
CONV = "x._ConvNd"


class Host:
    """Recording stand-ins for the module's globals and spies on the objects it reads."""

    def __init__(self, monkeypatch):
        self.log, self.labels, self.quiet = [], {}, False
        host = self

        class Text(str):
            def strip(s):
                host.note("strip")
                return str.strip(s)

        class Truth:
            def __init__(t, value):
                t.value = value

            def __bool__(t):
                host.note("bool", t.value)
                return t.value

        class Environ:
            def get(e, *args):
                host.note("environ.get", *args)
                return os.environ.get(*args)

        class Os:
            @property
            def environ(o):
                host.note("os.environ")
                return Environ()

        class Gast:
            def __getattr__(g, attr):
                host.note("gast." + attr)
                real = getattr(gast, attr)
                if attr not in ("parse", "Attribute", "Load"):
                    return real

                def call(*args, **kwargs):
                    host.note(attr, *args, *("%s=%s" % (k, host.show(v)) for k, v in kwargs.items()))
                    return real(*args, **kwargs)
                return call

        def render_(node):
            host.note("render", host.show(node))
            host.quiet = True
            try:
                return Text(ast_to_source_code(node))
            finally:
                host.quiet = False

        def orb_api_(obj):
            host.note("is_orb_api", obj.__name__)
            return Truth(bool(is_orb_api(obj)))

        for key, value in [("ast_to_source_code", render_), ("is_orb_api", orb_api_),
                           ("os", Os()), ("gast", Gast())]:
            monkeypatch.setitem(NS, key, value)

    def note(self, *entry):
        if not self.quiet:
            self.log.append(" ".join(e if isinstance(e, str) else repr(e) for e in entry))

    def show(self, value):
        if id(value) in self.labels:
            return self.labels[id(value)]
        if isinstance(value, list):
            return "[%s]" % ", ".join(self.show(v) for v in value)
        return repr(value) if isinstance(value, str) else type(value).__name__

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
        host = self

        class Mapping(dict):
            def __contains__(m, key):
                host.note("contains", key)
                return dict.__contains__(m, key)

            def __getitem__(m, key):
                host.note("getitem", key)
                return dict.__getitem__(m, key)

        class Recorded(CLS):
            def generic_visit(p, node):
                host.note("generic_visit", host.show(node))

        p = make_processor(None, api, name, None, cls=Recorded)
        p.configuration.dtype_mapping = Mapping(mapping or {})
        for obj, label in [(p.transformer, "transformer"), (p.transformer.object_like, "object_like"),
                           (p.configuration, "configuration")]:
            self.spy(obj, label)
        self.spy(p, "self")
        return p


GV = ["self.generic_visit", "generic_visit node"]
ENV_READ = ["os.environ", "environ.get APPLY_TRANSPOSE_OPTIMIZATION None"]
API = ["self.transformer", "transformer.object_like", "object_like.obj"]
CALL_HEAD = GV + ["node.func", "render func", "strip"]
NUMPY = ["render node", "strip"] * 2
CONV_HEAD = CALL_HEAD + NUMPY + ENV_READ + ["self.transformer", "transformer.object_like", "object_like.name"]
LAYOUT = ["node.arg", "node.value", "gast.Constant"]
RENAME_RECEIVER = ["node.value", "gast.Name", "node.value", "recv.id", "self.new_name", "node.value",
                   "recv.id = 'arr'", "node.attr"]
SHAPE_HIT = ["node.args", "gast.Tuple", "node.args", "shape.elts", "gast.Name", "d0.id", "node.args"]

ORDER = [  # method, source, api, env, object name, mapping, {label: path below the node}, expected log
    ("visit_keyword", "f(data_format='NCHW')", 0, None, "", {}, {}, GV + ENV_READ),
    ("visit_keyword", "f(layout='NCHW')", 0, "true", "", {}, {}, GV + ENV_READ + ["node.arg"]),
    ("visit_keyword", "f(data_format=NCHW)", 0, "true", "", {}, {}, GV + ENV_READ + LAYOUT),
    ("visit_keyword", "f(filter_format='NCHW')", 0, "true", "", {}, {"const": ".value"},
     GV + ENV_READ + LAYOUT + ["node.value", "const.value"] * 2 + ["node.value", "const.value = 'NHWC'"]),
    ("visit_keyword", "f(data_format='NSC')", 0, "true", "", {}, {"const": ".value"},
     GV + ENV_READ + LAYOUT + ["node.value", "const.value"] * 3),
    ("visit_Name", "self", 1, None, "", {}, {},
     GV + API + ["is_orb_api OrbThing", "bool True", "node.id", "self.new_name", "node.id = 'arr'"]),
    ("visit_Name", "Tensor", 1, None, "", {}, {}, GV + API + ["is_orb_api OrbThing", "bool True", "node.id"]),
    ("visit_Name", "Tensor", 0, None, "", {}, {},
     GV + API + ["is_orb_api TorchThing", "bool False", "render node", "strip", "gast.parse", "parse orb.Array"]),
    ("visit_Name", "self", 0, None, "", {}, {}, GV + API + ["is_orb_api TorchThing", "bool False", "render node", "strip"]),
    ("visit_Attribute", "torch.nn.Module", 1, None, "", {"torch.nn.Module": "m"}, {},
     GV + ["render node", "strip", "gast.parse", "parse orb.Module"]),
    ("visit_Attribute", "x.y", 1, None, "", {"x.y": "z"}, {},
     GV + ["render node", "strip", "self.configuration", "configuration.dtype_mapping", "contains x.y",
           "gast.parse", "self.configuration", "configuration.dtype_mapping", "getitem x.y", "parse z"]),
    ("visit_Attribute", "self.orb_array", 0, None, "", {}, {},
     GV + ["render node", "strip", "self.configuration", "configuration.dtype_mapping", "contains self.orb_array"]
     + API + ["is_orb_api TorchThing", "bool False"]),
    ("visit_Attribute", "self.orb_array", 1, None, "", {}, {"recv": ".value"},
     GV + ["render node", "strip", "self.configuration", "configuration.dtype_mapping", "contains self.orb_array"]
     + API + ["is_orb_api OrbThing", "bool True"] + RENAME_RECEIVER + ["node.value"]),
    ("visit_Attribute", "f().orb_array", 1, None, "", {}, {},
     GV + ["render node", "strip", "self.configuration", "configuration.dtype_mapping", "contains f().orb_array"]
     + API + ["is_orb_api OrbThing", "bool True", "node.value", "gast.Name", "node.attr", "node.value"]),
    ("visit_Call", "f(x)", 0, None, "", {}, {}, CALL_HEAD + NUMPY + ENV_READ),
    ("visit_Call", "orb_empty((in_channels, a, b))", 0, "true", "Conv2d", {}, {}, CONV_HEAD),
    ("visit_Call", "f((in_channels, a, b))", 0, "true", CONV, {}, {}, CONV_HEAD),
    ("visit_Call", "orb.inplace_update(a, b)", 0, None, "", {}, {},
     CALL_HEAD + ["gast.Attribute", "gast.Load", "Load", "Attribute value=node attr='data' ctx=Load"]),
    ("visit_Call", "orb.Array(x, requires_grad=True, dtype=d)", 0, None, "", {},
     {"kw0": ".keywords[0]", "kw1": ".keywords[1]"},
     CALL_HEAD + ["node.keywords", "kw0.arg", "kw1.arg", "node.keywords = [kw1]"]),
    ("visit_Call", "np.log2(8)", 0, None, "", {}, {},
     CALL_HEAD + ["render node", "strip", "gast.parse", "parse np.log2(8).astype('float32')"]),
    ("visit_Call", "np.zeros((channels, channels))", 0, None, "", {}, {},
     CALL_HEAD + NUMPY + ["gast.parse", "parse np.zeros((channels, channels),dtype='float32')"]),
    ("visit_Call", "orb_empty((out_channels, a, b))", 0, "true", CONV, {},
     {"shape": ".args[0]", "d0": ".args[0].elts[0]", "a": ".args[0].elts[1]", "b": ".args[0].elts[2]"},
     CONV_HEAD + SHAPE_HIT + ["shape.elts = [b, a, d0]"]),
    ("visit_Call", "orb_empty((groups, a, b))", 0, "true", CONV, {}, {"shape": ".args[0]", "d0": ".args[0].elts[0]"},
     CONV_HEAD + SHAPE_HIT[:-1]),
    ("visit_Call", "orb_empty((x.y, a, b))", 0, "true", CONV, {}, {"shape": ".args[0]"}, CONV_HEAD + SHAPE_HIT[:5]),
    ("visit_Call", "orb_empty((in_channels, a))", 0, "true", CONV, {}, {"shape": ".args[0]"}, CONV_HEAD + SHAPE_HIT[:4]),
    ("visit_Call", "orb_empty([in_channels, a, b])", 0, "true", CONV, {}, {}, CONV_HEAD + SHAPE_HIT[:2]),
    ("visit_Call", "orb_empty()", 0, "true", CONV, {}, {}, CONV_HEAD + ["node.args"]),
]


@pytest.mark.parametrize("method, source, api, env, name, mapping, paths, expected", ORDER,
                         ids=["%s:%s" % (r[0][6:], r[1]) for r in ORDER])
def test_host_calls_in_order(monkeypatch, transpose, method, source, api, env, name, mapping, paths, expected):
    transpose(env)
    host = Host(monkeypatch)
    node = expr(source)
    if method == "visit_keyword":
        node = node.keywords[0]
    if method == "visit_Call":
        paths = dict(paths, func=".func")
    for label, path in paths.items():
        host.spy(eval("node" + path), label)
    p = host.processor(api, name, mapping)
    host.spy(node, "node")
    visit = getattr(p, method)
    host.log.clear()
    visit(node)
    assert host.log == expected


def test_orb_api_test_is_made_for_every_name(monkeypatch):
    answers = iter([True, False, True, 0, 1])
    monkeypatch.setitem(NS, "is_orb_api", lambda obj: next(answers))
    tree = gast.parse("(self, self, self, self, self)")
    make_processor(tree).transform()
    assert render(tree) == "(arr, self, arr, self, arr)"


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
    pass


def failing_render(bad):
    def render_(node):
        text = ast_to_source_code(node)
        if text.strip() == bad:
            raise Boom("cannot render " + bad)
        return text
    return render_


def failing_environ(calls):
    class Environ(dict):
        def get(self, *args):
            calls.append(args)
            if len(calls) == 2:
                raise Boom("environment unreadable")
            return "true"
    return types.SimpleNamespace(environ=Environ())


FAILURES = [  # method, file, source, global to replace, its stand-in, mapping, what stays rewritten
    ("visit_Name", "rewrite_name.cpp", "f(Tensor)(boom)", "ast_to_source_code", lambda: failing_render("boom"), None,
     "f(orb.Array)(boom)"),
    ("visit_Attribute", "rewrite_attribute.cpp", "torch.Tensor + x.y", "ast_to_source_code",
     lambda: failing_render("x.y"), None, "(orb.Array + x.y)"),
    ("visit_Call", "rewrite_call.cpp", "(orb.Array(requires_grad=1), f(x))", "ast_to_source_code",
     lambda: failing_render("f(x)"), None, "(orb.Array(), f(x))"),
    ("visit_keyword", "rewrite_keyword.cpp", "f(data_format='NCHW', filter_format='NCS')", "os",
     lambda: failing_environ([]), None, "f(data_format='NHWC', filter_format='NCS')"),
]


@pytest.mark.parametrize("method, filename, source, key, stand_in, mapping, after", FAILURES,
                         ids=[f[0] for f in FAILURES])
def test_failure_propagates_unchanged(monkeypatch, method, filename, source, key, stand_in, mapping, after):
    monkeypatch.setitem(NS, key, stand_in())
    tree = gast.parse(source)
    with pytest.raises(Boom) as info:
        make_processor(tree, mapping=mapping).transform()
    assert type(info.value) is Boom and len(info.value.args) == 1
    entries = [(e.name, os.path.basename(e.filename)) for e in traceback.extract_tb(info.value.__traceback__)]
    names = [e[0] for e in entries]
    here = "ZOK.FrontendTorchCodePostProcessor."
    assert (here + method, filename) in entries and names.index(here + "transform") < names.index(here + method)
    monkeypatch.undo()
    assert render(tree) == after


def test_mapping_failure_keeps_exception_object(monkeypatch):
    error = KeyError("mapping broke")

    class Mapping(dict):
        def __contains__(self, key):
            raise error
    node = expr("a.b")
    p = make_processor(None)
    p.configuration.dtype_mapping = Mapping()
    with pytest.raises(KeyError) as info:
        p.visit_Attribute(node)
    assert info.value is error
    assert traceback.extract_tb(info.value.__traceback__)[1].name == "ZOK.FrontendTorchCodePostProcessor.visit_Attribute"
