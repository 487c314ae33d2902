"""The stand-in's generic_visit walks and rewrites as the standard transformer's does."""
import ast
import warnings

import gast
import pytest

from combined_source.utils import HUJ
from combined_source.utils.HUJ import BaseCodePostProcessor

SOURCE = """
@deco
def f(a, *, b=c):
    global g, h
    x = y[1:n] + f(z, k=w, **kw)
    del x.p, q
    return [v for v in (x, y)]
"""


@pytest.fixture(autouse=True, params=["native", "python"])
def walk(request, monkeypatch):
    """Every test runs with the native walk and with the Python one."""
    if request.param == "python":
        monkeypatch.setattr(HUJ, "_walk", HUJ._python_walk)
    elif HUJ._walk is HUJ._python_walk:
        pytest.skip("the package was built without its native tree passes")


def name(node):
    return type(node).__name__ + ":" + getattr(node, "id", "")


def visitor(base, behaviour):
    """A transformer over `base` whose rewrite methods log their visits and do `behaviour`."""

    class Visitor(base):
        def __init__(self):
            self.log = []

        def visit_Name(self, node):
            self.log.append(name(node))
            self.generic_visit(node)
            return behaviour.get("Name", lambda n: n)(node)

        def visit_Call(self, node):
            self.log.append("Call")
            self.generic_visit(node)
            return behaviour.get("Call", lambda n: n)(node)

    for method in ("visit", "generic_visit"):
        if method in behaviour:
            setattr(Visitor, method, behaviour[method])
    if "visit_Load" in behaviour:
        Visitor.visit_Load = lambda self, node: self.log.append("Load") or node
    return Visitor


def log_through(method):
    def logged(self, node):
        self.log.append(method + " " + type(node).__name__)
        return getattr(super(type(self), self), method)(node)
    return logged


BEHAVIOURS = {
    "unchanged": {},
    "None removes": {"Name": lambda n: None if n.id in ("q", "z", "a", "deco", "x") else n},
    "node replaces": {"Name": lambda n: gast.Constant(n.id, None)},
    # (a spliced-in node is not visited again)
    "list splices": {"Name": lambda n: [gast.Constant(1, None), gast.Name("z2", gast.Load(), None, None)]
                     if n.id in ("z", "q", "deco") else n},
    "other values kept": {"Name": lambda n: "st" if n.id in ("z", "y") else n},
    "empty list": {"Name": lambda n: [] if n.id == "z" else n},
    "fields absent": {"absent": ("ctx", "keywords", "returns", "slice")},
    "visit overridden": {"visit": log_through("visit")},
    "generic_visit overridden": {"generic_visit": log_through("generic_visit")},
    "contexts have a method": {"visit_Load": True},
}


@pytest.mark.parametrize("behaviour", BEHAVIOURS.values(), ids=list(BEHAVIOURS))
def test_walk_and_result_match_the_standard_transformer(behaviour):
    ours = visitor(BaseCodePostProcessor, behaviour)()
    standard = visitor(ast.NodeTransformer, behaviour)()
    trees = [gast.parse(SOURCE), gast.parse(SOURCE)]
    for tree in trees:
        for node in gast.walk(tree):
            for field in behaviour.get("absent", ()):
                if hasattr(node, field):
                    delattr(node, field)
    ours.visit(trees[0])
    standard.visit(trees[1])
    assert ours.log == standard.log
    assert gast.dump(trees[0]) == gast.dump(trees[1])


def test_a_method_set_on_the_instance_is_used():
    tree = gast.parse("f(x)")
    p = visitor(BaseCodePostProcessor, {})()
    p.visit_Name = lambda node: gast.Constant(node.id, None)
    p.visit(tree)
    assert gast.dump(tree.body[0].value.args[0]) == gast.dump(gast.Constant("x", None))


def test_rewrites_before_a_failure_stay_in_the_tree():
    seen = []

    def fail_on_second(node):
        seen.append(node.id)
        if len(seen) == 3:
            raise RuntimeError("second")
        return gast.Constant(node.id, None)

    tree = gast.parse("f(a, b)")
    with pytest.raises(RuntimeError):
        visitor(BaseCodePostProcessor, {"Name": fail_on_second})().visit(tree)
    call = tree.body[0].value
    # The standard transformer would have left the argument list as it was.
    assert [type(n).__name__ for n in [call.func] + call.args] == ["Constant", "Constant", "Name"]


def test_the_method_follows_the_class_name_as_it_is_now():
    class Renamed(gast.Name):
        pass

    tree = gast.parse("f(x)")
    tree.body[0].value.args[0] = Renamed("x", gast.Load(), None, None)
    p = visitor(BaseCodePostProcessor, {})()
    p.visit_Renamed = lambda node: gast.Constant("renamed", None)
    p.visit(tree)
    Renamed.__name__ = "Name"
    tree.body[0].value.args[0] = Renamed("y", gast.Load(), None, None)
    p.visit(tree)
    assert p.log == ["Call", "Name:f", "Call", "Name:f", "Name:y"]


def test_generic_visit_saved_and_put_back_through_the_class_still_binds():
    # A caller that patches the method by hand reads it from the class and
    # sets it back: it must stay a method of the instances.
    saved = BaseCodePostProcessor.generic_visit
    BaseCodePostProcessor.generic_visit = lambda self, node: node
    BaseCodePostProcessor.generic_visit = saved
    try:
        tree = gast.parse("f(x)")
        p = visitor(BaseCodePostProcessor, {"Name": lambda n: gast.Constant(n.id, None)})()
        p.visit(tree)
    finally:
        BaseCodePostProcessor.generic_visit = saved
    assert gast.dump(tree.body[0].value.args[0]) == gast.dump(gast.Constant("x", None))


class MyInt(int):
    pass


SEEN = []  # what Python code the look-ups below ran, in order


class LoggedHash(type):
    def __hash__(cls):
        SEEN.append("hash " + cls.__name__)
        return type.__hash__(cls)

    def __eq__(cls, other):
        SEEN.append("eq " + cls.__name__)
        return type.__eq__(cls, other)


LoggedInt = LoggedHash("LoggedInt", (int,), {})


class LoggedKey(str):
    """A class dict key equal to the legacy method's name only by its own
    `__eq__`."""

    def __hash__(self):
        return hash(str(self))

    def __eq__(self, other):
        SEEN.append("eq key")
        return str(self) == other


class Getattr(BaseCodePostProcessor):
    def __getattr__(self, name):
        self.__dict__.setdefault("log", []).append("getattr " + name)  # each look-up is seen
        if name == "visit_Num":
            return lambda node: node
        raise AttributeError(name)


def legacy(self, node):
    self.log.append("legacy %r" % (node.value,))
    return node


LEGACY = {
    "plain": {},
    "class method": {"visit_Num": legacy},
    "inherited from a base": {"base": {"visit_Str": legacy}},
    "on the instance": {"instance": {"visit_Str": legacy}},
    "property": {"visit_NameConstant": property(lambda self: self.log.append("property") or (lambda n: n))},
    "__getattr__": {"cls": Getattr},
    "generic_visit overridden": {"generic_visit": lambda self, node: self.log.append(
        "generic " + type(node).__name__) or BaseCodePostProcessor.generic_visit(self, node)},
    "a class dict key of a str subclass": {LoggedKey("visit_Num"): legacy},
    "a str subclass key that is not the name": {LoggedKey("visit_Nu"): legacy},
}


@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("setup", LEGACY.values(), ids=list(LEGACY))
def test_constants_are_visited_as_the_standard_visitor_visits_them(monkeypatch, setup):
    """The standard visit_Constant, or the walk's shortcut of it, calls the
    same methods in the same order, whatever the processor defines."""
    base = type("Base", (setup.get("cls", BaseCodePostProcessor),), dict(setup.get("base", {})))
    members = {k: v for k, v in setup.items() if k not in ("cls", "base", "instance")}
    cls = type("Processor", (base,), members)

    def run():
        cls.touched = True  # the interpreter's look-up cache starts afresh for each run
        del SEEN[:]
        p = cls.__new__(cls)
        p.log = []
        for k, v in setup.get("instance", {}).items():
            setattr(p, k, v.__get__(p))
        tree = gast.parse("f(1, 'a', None, b'x', 2.5, ..., True)")
        tree.body[0].value.args.append(gast.Constant(MyInt(3), None))  # a value of a subclass
        odd = type("Constant", (gast.Constant,), {})(7, None)  # a node kind of the same name
        tree.body[0].value.args.append(odd)
        tree.body[0].value.args.append(gast.Constant(LoggedInt(4), None))  # its type's hash is Python code
        with warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            p.visit(tree)
        return p.log, list(SEEN), [str(w.message) for w in warned], gast.dump(tree)

    ours = run()
    monkeypatch.setattr(HUJ, "_walk", HUJ._python_walk)
    assert ours == run()


@pytest.mark.skipif(not hasattr(ast.NodeVisitor, "visit_Constant"), reason="no legacy constant methods from 3.14")
@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::PendingDeprecationWarning")
def test_a_legacy_method_added_or_removed_between_walks_is_seen():
    base = type("Base", (BaseCodePostProcessor,), {})
    cls = type("Processor", (base,), {})
    p = cls.__new__(cls)
    p.log = []

    def visit():
        p.visit(gast.parse("f(1)"))
        return list(p.log)

    assert visit() == []
    base.visit_Num = property(lambda self: self.log.append("property") or (lambda node: node))
    assert visit() == ["property"]  # read once, by the standard visit_Constant
    del base.visit_Num
    assert visit() == ["property"]


NATIVE_GENERIC = HUJ.BaseCodePostProcessor.generic_visit
PYTHON_GENERIC = getattr(NATIVE_GENERIC, "__wrapped__", NATIVE_GENERIC)


def outcome(call):
    try:
        result = call()
    except Exception as e:  # noqa: BLE001 - the error is what is compared
        return "error", type(e), str(e)
    return "result", gast.dump(result) if isinstance(result, gast.AST) else result


def native_and_python(monkeypatch, scenario):
    """What `scenario()` gives with the built generic_visit in place, and with
    the Python function it stands in for."""
    ours = scenario()
    monkeypatch.setattr(BaseCodePostProcessor, "generic_visit", PYTHON_GENERIC)
    monkeypatch.setattr(HUJ, "_GENERIC_VISIT", PYTHON_GENERIC)
    return ours, scenario()


class Logged(BaseCodePostProcessor):
    """A processor whose `visit` and `generic_visit` are read through
    properties that log each read."""

    def __init__(self):
        self.log = []

    @property
    def visit(self):
        self.log.append("visit")
        return super().visit

    @property
    def generic_visit(self):
        self.log.append("generic_visit")
        return super().generic_visit


CALLS = {
    "by position": lambda p, node: type(p).generic_visit(p, node),
    "bound": lambda p, node: p.generic_visit(node),
    "node by keyword": lambda p, node: type(p).generic_visit(p, node=node),
    "both by keyword": lambda p, node: type(p).generic_visit(self=p, node=node),
    "no node": lambda p, node: type(p).generic_visit(p),
    "one too many": lambda p, node: p.generic_visit(node, 1),
    "unknown keyword": lambda p, node: p.generic_visit(node, other=1),
    "through __call__": lambda p, node: type(p).__dict__["generic_visit"].__call__(p, node),
    "a logged processor": lambda p, node: Logged().generic_visit(node) and None,
    "a logged processor's reads": lambda p, node: (lambda q: (q.generic_visit(node), q.log)[1])(Logged()),
    "not a processor": lambda p, node: type(p).generic_visit(object(), node),
}


@pytest.mark.skipif(NATIVE_GENERIC is PYTHON_GENERIC, reason="built without the native generic_visit")
@pytest.mark.parametrize("call", CALLS.values(), ids=list(CALLS))
def test_native_generic_visit_is_called_as_the_function(monkeypatch, call):
    def scenario():
        p = visitor(BaseCodePostProcessor, {"Name": lambda n: gast.Constant(n.id, None)})()
        tree = gast.parse("f(x, [y])")
        return outcome(lambda: call(p, tree)), gast.dump(tree)

    ours, theirs = native_and_python(monkeypatch, scenario)
    assert ours == theirs


@pytest.mark.skipif(NATIVE_GENERIC is PYTHON_GENERIC, reason="built without the native generic_visit")
@pytest.mark.parametrize("missing", ["_STOCK_VISIT", "_walk", "_GENERIC_VISIT"])
def test_native_generic_visit_reads_the_module_globals(monkeypatch, missing):
    seen = []

    def walk(*args):
        seen.append(len(args))
        return args[1]

    def scenario():
        del seen[:]
        with monkeypatch.context() as m:
            m.setattr(HUJ, "_walk", walk)
            first = outcome(lambda: Logged().generic_visit(gast.parse("x")))
            m.delattr(HUJ, missing)
            second = outcome(lambda: Logged().generic_visit(gast.parse("x")))
        return first, second, list(seen)

    ours, theirs = native_and_python(monkeypatch, scenario)
    assert ours == theirs
    assert ours[0][0] == "result" and ours[1][1] is NameError


@pytest.mark.skipif(NATIVE_GENERIC is PYTHON_GENERIC, reason="built without the native generic_visit")
def test_native_generic_visit_shows_the_function(monkeypatch):
    import inspect
    for attribute in ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__", "__code__"):
        assert getattr(NATIVE_GENERIC, attribute) == getattr(PYTHON_GENERIC, attribute)
    for attribute in ("__doc__", "__wrapped__"):  # a name made at run time is not the interned one
        made = "".join(["__", attribute.strip("_"), "__"])
        assert getattr(NATIVE_GENERIC, made) is getattr(NATIVE_GENERIC, attribute)
    assert inspect.signature(NATIVE_GENERIC) == inspect.signature(PYTHON_GENERIC)
    assert repr(NATIVE_GENERIC) == repr(PYTHON_GENERIC)
    monkeypatch.setattr(NATIVE_GENERIC, "mark", 1, raising=False)
    assert PYTHON_GENERIC.mark == 1
    p = visitor(BaseCodePostProcessor, {})()
    assert p.generic_visit.__func__ is NATIVE_GENERIC and p.generic_visit.__self__ is p
