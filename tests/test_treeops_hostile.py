"""The native tree passes against their Python twins on hostile input.

Each case runs once with the native conversion, traversal, comparison and
renderer, and once with the Python code they stand in for (convert.py's
`_convert`, HUJ.py's `_python_walk`, trees.py's `_python_same`, RUF.py's
`_python_source_code`); the two runs must return the same thing, raise the
same exception and make the same calls in the same order. The inputs run
Python code where the native loops would rather not see any: visitors that
change the tree under the walk, properties with side effects, `__class__`
that runs code, list and str subclasses, a collector pass inside callbacks,
cyclic and deeply nested values. Inputs that used to kill the interpreter run
in a child process, so that a crash fails its case instead of the suite.
"""
import ast
import contextlib
import gc
import os
import subprocess
import sys
import textwrap

import gast
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from combined_source.utils import HUJ, RUF, convert
from combined_source.utils.rewrite import trees

pytestmark = pytest.mark.skipif(convert._treeops is None or HUJ._walk is HUJ._python_walk,
                                reason="the package was built without its native tree passes")

NATIVE = {"convert": convert._Converter, "walk": HUJ._walk, "same": trees._native_same,
          "render": RUF.ast_to_source_code}
PYTHON = {"convert": convert._PythonConverter, "walk": HUJ._python_walk, "same": trees._python_same,
          "render": RUF._python_source_code}


@contextlib.contextmanager
def passes(which):
    """The package's tree passes set to the native ones or to their twins."""
    chosen = NATIVE if which == "native" else PYTHON
    saved = convert._Converter, convert._SPECIAL, HUJ._walk, trees._native_same, RUF.ast_to_source_code
    convert._Converter, convert._SPECIAL = chosen["convert"], chosen["convert"]()
    HUJ._walk, trees._native_same, RUF.ast_to_source_code = chosen["walk"], chosen["same"], chosen["render"]
    try:
        yield
    finally:
        convert._Converter, convert._SPECIAL, HUJ._walk, trees._native_same, RUF.ast_to_source_code = saved


def shape(v, seen=frozenset()):
    """A comparable picture of a result: nodes with their attributes in the
    order they were set, lists, records, plain values; cycles marked."""
    if isinstance(v, (ast.AST, list, dict)):
        if id(v) in seen:
            return "<cycle>"
        seen = seen | {id(v)}
    if type(v).__name__ == "Evil":  # whose __class__ runs code
        return "Evil"
    if isinstance(v, ast.AST):
        return (type(v).__module__, type(v).__name__, [(k, shape(x, seen)) for k, x in vars(v).items()])
    if isinstance(v, list):
        return (type(v).__name__, [shape(x, seen) for x in v])
    if isinstance(v, dict):
        return (type(v).__name__, [(shape(k, seen), shape(x, seen)) for k, x in v.items()])
    if isinstance(v, tuple):
        return tuple(shape(x, seen) for x in v)
    if isinstance(v, (str, int, float, bytes, type(None))):
        return type(v).__name__, repr(v)
    return type(v).__name__


def outcome(case, which):
    log = []
    with passes(which):
        try:
            result = case(log)
        except Exception as e:
            return "raised", type(e).__name__, log
    return "returned", shape(result), log


def differential(case):
    assert outcome(case, "native") == outcome(case, "python")


# ---- hostile pieces ------------------------------------------------------------

SENTINEL = object()


def touch_referrers(target=SENTINEL):
    """What a hostile callback may do: find the containers that hold `target`
    and read every slot of the tuples among them."""
    gc.collect()
    for r in gc.get_referrers(target):
        if type(r) is tuple:
            list(r)


class Evil:
    """A value whose `__class__` runs code: it touches the containers that
    hold the sentinel, logs, and claims to be a node."""

    def __init__(self, log, claims=object):
        self.log, self.claims = log, claims

    @property
    def __class__(self):
        self.log.append("__class__")
        touch_referrers()
        return self.claims


class Str(str):
    pass


class LoggedList(list):
    """A list that logs how it is read and changed."""

    def __init__(self, items, log):
        super().__init__(items)
        self.log = log

    def __iter__(self):
        self.log.append("iter")
        return super().__iter__()

    def __len__(self):
        self.log.append("len")
        return super().__len__()

    def __getitem__(self, i):
        self.log.append(("get", i if isinstance(i, int) else "slice"))
        return super().__getitem__(i)

    def __setitem__(self, i, v):
        self.log.append(("set", i if isinstance(i, int) else (i.start, i.stop)))
        super().__setitem__(i, v)

    def __delitem__(self, i):
        self.log.append(("del", i))
        super().__delitem__(i)


class LoggedDict(dict):
    """A fields record whose assignments are logged and collect garbage."""

    def __init__(self, log, collect=True):
        super().__init__()
        self.log, self.collect = log, collect

    def __setitem__(self, key, value):
        self.log.append(("record", type(key).__name__, len(value)))
        if self.collect:
            gc.collect()
        super().__setitem__(key, value)


def located(node, line=1):
    return ast.fix_missing_locations(ast.copy_location(node, ast.Name("x", ast.Load(), lineno=line, col_offset=0,
                                                                      end_lineno=line, end_col_offset=1)))


def parsed(source):
    return ast.parse(textwrap.dedent(source))


# ---- the conversion ------------------------------------------------------------

def recorder(log):
    def record(tree, fields):
        log.append(("record", type(tree).__name__))
        touch_referrers()
    return record


def convert_list_fields(log):
    # A node class whose _fields and _attributes are lists.
    class BinOp(ast.AST):
        _fields = ["left", "op", "right"]
        _attributes = ["lineno", "col_offset"]
    node = BinOp(left=ast.Name("a", ast.Load()), op=ast.Add(), right=ast.Constant(1), lineno=3, col_offset=4)
    return convert.ast_to_gast(node)


def convert_own_attributes(which):
    # The location copy reads the node's own _attributes, not its class's.
    def case(log):
        if which == "Name":
            node = located(ast.Name("a", ast.Load()), 5)
        elif which == "arg":
            node = located(ast.arg("a", None, None), 5)
        else:
            node = located(parsed("def f(): pass").body[0], 5)
        node._attributes = () if which == "Name" else ("lineno",)
        return convert.ast_to_gast(node)
    return case


def convert_dict_subclass(log):
    fields = LoggedDict(log)
    tree = parsed("def f(a, b=1):\n    return g(a) + [b, *c]\n")
    convert.ast_to_gast_recorded(tree, fields, recorder(log))
    return fields


def convert_record_reinit(log):
    # The record callback starts the converter over with another record:
    # the nodes under way keep the record they started with.
    first, second = {}, {}
    converter = None

    def record(tree, fields):
        log.append(("record", type(tree).__name__, fields is first))
        converter.__init__(second, record)
        gc.collect()

    converter = convert._Converter(first, record)
    tree = converter._visit(parsed("""
        try:
            x = a
        except E as e:
            try:
                pass
            except F as f:
                y = b
        """))
    return tree, first, second


def convert_evil_values(log):
    # __class__ that runs code, at every place a field value is looked at.
    return convert.ast_to_gast(ast.BinOp(left=SENTINEL, op=ast.Add(), right=Evil(log)))


def convert_evil_claims_node(log):
    return convert.ast_to_gast(ast.Expr(value=Evil(log, claims=ast.AST)))


def convert_recorded_evil(log):
    node = ast.BinOp(left=SENTINEL, op=ast.Add(), right=ast.List([Evil(log), SENTINEL], ast.Load()))
    return convert.ast_to_gast_recorded(node, {}, recorder(log))


def convert_logged_list(log):
    node = ast.Call(func=ast.Name("f", ast.Load()), args=LoggedList([ast.Name(Str("a"), ast.Load()), 3], log),
                    keywords=[])
    return convert.ast_to_gast(node)


def convert_constructed_evil(log):
    node = ast.FunctionDef(name=SENTINEL, args=ast.arguments([], [], None, [], [], None, []),
                           body=[Evil(log), ast.Pass()], decorator_list=[], returns=None, type_comment=None)
    return convert.ast_to_gast_recorded(located(node), {}, recorder(log))


def convert_gast_path_evil(log):
    # A kind gast's own converter makes; its children come back to the loop.
    handler = ast.ExceptHandler(type=Evil(log), name="e", body=[ast.Pass()])
    return convert.ast_to_gast_recorded(located(handler), {}, recorder(log))


def convert_cyclic_node(log):
    node = ast.UnaryOp(op=ast.Not(), operand=None)
    node.operand = node
    return convert.ast_to_gast(node)


def convert_cyclic_list(log):
    items = [ast.Name("a", ast.Load())]
    items.append(items)
    return convert.ast_to_gast(ast.List(elts=items, ctx=ast.Load()))


CONVERSIONS = {
    "list-fields": convert_list_fields,
    "own-attributes-Name": convert_own_attributes("Name"),
    "own-attributes-arg": convert_own_attributes("arg"),
    "own-attributes-FunctionDef": convert_own_attributes("FunctionDef"),
    "dict-subclass-record": convert_dict_subclass,
    "record-starts-over": convert_record_reinit,
    "evil-claims-node": convert_evil_claims_node,
    "list-subclass": convert_logged_list,
    "gast-path-evil": convert_gast_path_evil,
    "cyclic-node": convert_cyclic_node,
    "cyclic-list": convert_cyclic_list,
}


@pytest.mark.parametrize("case", list(CONVERSIONS.values()), ids=list(CONVERSIONS))
def test_conversion_matches_python(case):
    differential(case)


# ---- the traversal -------------------------------------------------------------

class Processor(HUJ.BaseCodePostProcessor):
    """A processor that logs each rewrite call and does what `acts` says
    for a name: "drop" it, "twin" it (two names), "wrap" it in a call,
    "raise", "collect" garbage, or edit the list it stands in."""

    def __init__(self, log, acts):
        self.log, self.acts = log, acts

    def visit_Name(self, node):
        act = self.acts.get(node.id)
        self.log.append(("Name", node.id, act))
        if act == "drop":
            return None
        if act == "twin":
            return (gast.Name(node.id + "1", gast.Load(), None, None),
                    gast.Name(node.id + "2", gast.Load(), None, None))
        if act == "wrap":
            return gast.Call(gast.Name("w", gast.Load(), None, None), [node], [])
        if act == "raise":
            raise ValueError(node.id)
        if act == "collect":
            gc.collect()
        if act == "shrink":
            self.root.body[:] = self.root.body[:1]
        if act == "grow":
            self.root.body.append(gast.Expr(gast.Name("late", gast.Load(), None, None)))
        return node

    def visit_Call(self, node):
        self.log.append(("Call", len(getattr(node, "args", ()))))
        return self.generic_visit(node)


def walked(source, acts, prepare=None, visit=None):
    def case(log):
        tree = gast.parse(textwrap.dedent(source))
        processor = Processor(log, acts)
        processor.root = tree
        if visit is not None:
            processor.visit = visit.__get__(processor)
        if prepare is not None:
            prepare(tree, log)
        try:
            processor.generic_visit(tree)
        finally:
            log.append(shape(tree))
        return tree
    return case


def logged_body(tree, log):
    tree.body = LoggedList(tree.body, log)


def logged_args(tree, log):
    call = tree.body[0].value
    call.args = LoggedList(call.args, log)


class Sneaky(gast.Name):
    """A name whose `__class__` runs code and says it is a call."""

    @property
    def __class__(self):
        self.log.append("__class__")
        gc.collect()
        return gast.Call


def sneaky(tree, log):
    node = Sneaky("s", gast.Load(), None, None)
    node.log = log
    tree.body[0].value = node


class NameStr(str):
    """A class name whose `"visit_" + name` runs code."""
    log = None

    def __radd__(self, other):
        NameStr.log.append(("radd", other, str(self)))
        return other + str(self)


class FakeClass:
    def __init__(self, name):
        self.name = name

    @property
    def __name__(self):
        NameStr.log.append("__name__")
        return NameStr(self.name)


def odd_class(name):
    class Odd(gast.Name):
        @property
        def __class__(self):
            return FakeClass(name)

    def prepare(tree, log):
        NameStr.log = log
        tree.body[0].value = Odd("o", gast.Load(), None, None)
    return prepare


def self_holding(tree, log):
    tree.body[0].value = tree.body[0]


def custom_visit(self, node):
    self.log.append(("visit", type(node).__name__))
    return node if not isinstance(node, gast.Name) else self.visit_Name(node)


SOURCE = """
a
b + f(c, d, e)
g(h, i)
"""

WALKS = {
    "drop-twin-wrap": walked(SOURCE, {"a": "drop", "c": "twin", "d": "drop", "e": "wrap"}),
    "raise-midway": walked(SOURCE, {"c": "twin", "d": "raise"}),
    "collect": walked(SOURCE, {"a": "collect", "h": "collect"}),
    "shrink-under-walk": walked(SOURCE, {"c": "shrink"}),
    "grow-under-walk": walked(SOURCE, {"a": "grow", "late": "drop"}),
    "list-subclass-body": walked(SOURCE, {"a": "drop", "b": "twin"}, logged_body),
    "list-subclass-args": walked("f(a, b, c)", {"a": "twin", "b": "drop"}, logged_args),
    "class-runs-code": walked("x", {}, sneaky),
    "class-name-str-subclass": walked("x", {"o": "twin"}, odd_class("Name")),
    "class-name-unknown": walked("x", {}, odd_class("Nothing")),
    "self-holding-node": walked("x", {}, self_holding),
    "custom-visit": walked(SOURCE, {"c": "twin", "a": "drop"}, visit=custom_visit),
}


@pytest.mark.parametrize("case", list(WALKS.values()), ids=list(WALKS))
def test_traversal_matches_python(case):
    differential(case)


# ---- the comparison ------------------------------------------------------------

class Checking(type):
    """A metaclass whose instance test logs and goes by a name list."""
    log = None

    def __instancecheck__(cls, v):
        Checking.log.append(("isinstance", cls.__name__, type(v).__name__))
        return type(v).__name__ in cls.accepts


def node_class(name, accepts):
    return Checking(name, (), {"accepts": accepts})


def picky_trees(x, y, log):
    """Trees of node classes under a base whose instance test turns some of
    its own subclasses down."""
    base = Checking("Base", (ast.AST,), {"accepts": ("Pair",)})
    pair = type("Pair", (base,), {"_fields": ("left", "right")})
    leaf = type("Leaf", (base,), {"_fields": ()})
    for tree in (x, y):
        tree.body = [pair(left=pair(left=leaf(), right=leaf()), right=leaf())]
    return base


class LoudValue:
    def __init__(self, log, v):
        self.log, self.v = log, v

    def __ne__(self, other):
        self.log.append(("ne", self.v))
        gc.collect()
        return self.v != other.v


def compared(a, b, left=ast.AST, right=ast.AST, kinds=None, skip=frozenset(), settle=None, prepare=None):
    def case(log):
        Checking.log = log
        x, y = ast.parse(a), ast.parse(b)
        if prepare is not None:
            made = prepare(x, y, log)
            if made is not None:
                return trees.same(x, y, made, made, None, skip, None, None), log.append("done")

        def report(p, q, field):
            log.append(("report", type(p).__name__, type(q).__name__, field))
        return trees.same(x, y, left() if callable(left) and not isinstance(left, type) else left,
                          right() if callable(right) and not isinstance(right, type) else right, kinds,
                          skip, settle(log) if settle else None, report)
    return case


def shrinking_settle(log):
    def settle(a, b):
        log.append(("settle", type(a).__name__, type(b).__name__))
        if isinstance(a, ast.Call):
            del b.args[1:]  # the lists being compared shrink under the loop
            gc.collect()
        return None
    return settle


def loud_constants(x, y, log):
    for tree in (x, y):
        for node in ast.walk(tree):
            if isinstance(node, ast.Constant):
                node.value = LoudValue(log, node.value)


class LoggedKinds(dict):
    def get(self, key, default=None):
        Checking.log.append(("kind", key))
        return super().get(key, default)


class LoggedSkip:
    def __contains__(self, name):
        Checking.log.append(("skip?", name))
        return name == "ctx"


EVERY_NODE = ("Module", "Expr", "Call", "Name", "Constant", "Load", "BinOp", "Add", "keyword")
SAMES = {
    "instancecheck-left": compared("f(a, 1)", "f(a, 1)", left=lambda: node_class("L", EVERY_NODE[:5])),
    "instancecheck-right": compared("f(a, 1)", "f(a, 2)", right=lambda: node_class("R", ("Name",))),
    "instancecheck-both": compared("f(a + b, k=1)", "f(a + b, k=1)", lambda: node_class("L", EVERY_NODE),
                                   lambda: node_class("R", EVERY_NODE)),
    "instancecheck-own-subclasses": compared("x", "x", prepare=picky_trees),
    "settle-shrinks-lists": compared("f(a, b, c)", "f(a, b, c)", settle=shrinking_settle),
    "loud-values": compared("f(1, 2, 3)", "f(1, 2, 4)", prepare=loud_constants),
    "kinds-dict-subclass": compared("f(a)", "f(a)", kinds=LoggedKinds(
        {"Module": ast.Module, "Expr": ast.Expr, "Call": ast.Call, "Name": ast.Name, "Load": ast.Load})),
    "kinds-unknown": compared("f(a + 1)", "f(a + 1)", kinds={"Module": ast.Module, "Expr": ast.Expr,
                                                            "Call": ast.Call, "Name": ast.Name}),
    "skip-container": compared("f(a)", "f(b)", skip=LoggedSkip()),
}


@pytest.mark.parametrize("case", list(SAMES.values()), ids=list(SAMES))
def test_comparison_matches_python(case):
    differential(case)


# ---- the renderer --------------------------------------------------------------

class LoudKind(str):
    def __eq__(self, other):
        LOUD.append(("kind ==", other))
        return str.__eq__(self, other)

    __hash__ = str.__hash__


LOUD = []


def rendered(make):
    def case(log):
        del LOUD[:]
        text = RUF.ast_to_source_code(make(log))
        log.extend(LOUD)
        return text
    return case


def chain(depth):
    node = gast.Name("a", gast.Load(), None, None)
    for _ in range(depth):
        node = gast.Attribute(node, "b", gast.Load())
    return node


def nested(depth, make):
    node = gast.Name("a", gast.Load(), None, None)
    for _ in range(depth):
        node = make(node)
    return node


RENDERS = {
    "str-subclass-id": rendered(lambda log: gast.Name(Str("a"), gast.Load(), None, None)),
    "str-subclass-value": rendered(lambda log: gast.Constant(Str("s"), None)),
    "loud-kind": rendered(lambda log: gast.Constant("s", LoudKind("u"))),
    "list-subclass-args": rendered(lambda log: gast.Call(gast.Name("f", gast.Load(), None, None),
                                                         LoggedList([gast.Constant(1, None)], log), [])),
    "keyword-of-another-kind": rendered(lambda log: gast.Call(gast.Name("f", gast.Load(), None, None), [],
                                                              [gast.Name("k", gast.Load(), None, None)])),
    "deep-chain": rendered(lambda log: chain(100_000)),
    "list-subclass-elts": rendered(lambda log: gast.Tuple(LoggedList([gast.Constant(1.5, None)], log), gast.Load())),
    "list-subclass-ifs": rendered(lambda log: gast.ListComp(gast.Name("x", gast.Load(), None, None), [
        gast.comprehension(gast.Name("x", gast.Store(), None, None), gast.Name("y", gast.Load(), None, None),
                           LoggedList([gast.Name("z", gast.Load(), None, None)], log), 0)])),
    "deep-operators": rendered(lambda log: nested(100_000, lambda inner: gast.BinOp(
        gast.Constant(1, None), gast.Sub(), inner))),
    "deep-comprehensions": rendered(lambda log: nested(100_000, lambda inner: gast.GeneratorExp(inner, [
        gast.comprehension(gast.Name("x", gast.Store(), None, None), gast.Name("y", gast.Load(), None, None), [],
                           0)]))),
}


@pytest.mark.parametrize("case", list(RENDERS.values()), ids=list(RENDERS))
def test_renderer_matches_python(case):
    differential(case)


# ---- field reads -----------------------------------------------------------------
# Every pass reads a node's fields from its dict where the kind's classes
# hold no descriptor of the name; these make the reads go other ways, some
# after a first plain read of the same kind and name.

class Collider:
    """A key of a node's dict that collides with a field's name and logs
    each comparison (raising AttributeError when told to)."""

    def __init__(self, log, name, raises=False):
        self.log, self.name, self.raises = log, name, raises

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.log.append(("eq", other))
        if self.raises:
            raise AttributeError("from __eq__")
        return False


class LoggedGetter:
    """A descriptor without __set__: the instance's dict comes first."""

    def __init__(self, log):
        self.log = log

    def __get__(self, node, kind):
        self.log.append(("__get__", kind.__name__))
        return "from descriptor"


def logged_property(log, name):
    def get(node):
        log.append(("get", name))
        return node.__dict__.get(name, "from property")
    return property(get, lambda node, v: node.__dict__.__setitem__(name, v))


def of_own_kind(node, **namespace):
    """`node` made an instance of a subclass of its kind (same name)."""
    node.__class__ = type(type(node).__name__, (type(node),), namespace)
    return type(node)


def hostile_constant(how):
    """A tree holding the call ``f(1, x)`` whose constant is made hostile by
    `how`, in the standard or the gast classes."""
    def make(mod, log):
        tree = mod.parse("f(1, x)\n")
        node = tree.body[0].value.args[0]
        if how == "property":
            of_own_kind(node, value=logged_property(log, "value"))
        elif how == "method":
            del node.value
            of_own_kind(node, value=LoggedGetter(log))
        elif how == "default":
            del node.kind
            of_own_kind(node, kind="from class")
        elif how == "none-default":  # the standard kinds give their optional fields None
            del node.kind
        elif how == "missing":
            del node.value
        elif how in ("collider", "collider-raises"):
            node.__dict__[Collider(log, "value", how == "collider-raises")] = 0
        elif how in ("collider-missing", "collider-raises-missing"):
            del node.value
            node.__dict__[Collider(log, "value", how == "collider-raises-missing")] = 0
        elif how == "getattr":
            del node.value
            of_own_kind(node, __getattr__=lambda self, name: log.append(("__getattr__", name)) or name)
        elif how == "dict-subclass":
            node.__dict__ = LoggedFieldDict(node.__dict__, log)
        return tree
    return make


class LoggedFieldDict(dict):
    def __getitem__(self, key):
        self.log.append(("getitem", key))
        return super().__getitem__(key)

    def __init__(self, items, log):
        super().__init__(items)
        self.log = log


PASSES = ("convert", "walk", "same", "render")


def every_pass(make, change=None, steps=PASSES):
    """The conversion, traversal, comparison and rendering (or those of
    `steps`) of the trees `make` gives; with `change`, each pass runs once
    more after `change(log)` has changed the classes (a read of the same
    kind and name must then see what changed)."""
    def case(log):
        results = []
        saved = [(c, dict(vars(c))) for c in CHANGED]
        try:
            for round_ in ("first", "second") if change else ("first",):
                if round_ == "second":
                    change(log)
                results += passes_of(make, steps, round_, log)
        finally:
            restore(saved)
        return results
    return case


def passes_of(make, steps, round_, log):
    results = []
    for step in steps:
        log.append(step)
        try:
            if step == "convert":
                got = shape(convert.ast_to_gast(make(ast, log)))
            elif step == "walk":
                tree = make(gast, log)
                Processor(log, {}).generic_visit(tree)
                got = shape(tree)
            elif step == "same":
                got = trees.same(make(gast, log), gast.parse("f(1, x)\n"), ast.AST, ast.AST, None, frozenset(),
                                 None, lambda p, q, f: log.append(("report", f)))
            else:
                got = RUF.ast_to_source_code(make(gast, log).body[0].value)
        except Exception as e:
            got = ("raised", type(e).__name__, str(e))
        results.append((round_, step, got))
    return results


# The classes a case may change between its rounds: put back after each run.
CHANGED = (ast.Constant, gast.Constant, ast.expr, gast.expr, gast.Name)


def restore(saved):
    for c, namespace in saved:
        for name in set(vars(c)) - set(namespace):
            delattr(c, name)
        for name, value in namespace.items():
            if name not in ("__dict__", "__weakref__", "__doc__") and vars(c).get(name, None) is not value:
                setattr(c, name, value)


def add_to_kinds(name, make_value):
    def change(log):
        for c in (ast.Constant, gast.Constant):
            setattr(c, name, make_value(log))
    return change


def add_to_bases(name, make_value):
    def change(log):
        for c in (ast.expr, gast.expr):
            setattr(c, name, make_value(log))
    return change


FIELD_READS = {how: every_pass(hostile_constant(how)) for how in (
    "property", "method", "default", "none-default", "missing", "collider", "collider-raises", "getattr",
    "dict-subclass")}
# Where the field is missing, the native traversal and renderer compare the
# colliding key once more than their Python twins (as they did before the
# direct reads): those two passes are left out of this case.
for how in ("collider-missing", "collider-raises-missing"):
    FIELD_READS[how] = every_pass(hostile_constant(how), steps=("convert", "same"))
LATER = {
    "property-added-to-kind": every_pass(hostile_constant("plain"), add_to_kinds(
        "value", lambda log: logged_property(log, "value"))),
    "property-added-to-base": every_pass(hostile_constant("plain"), add_to_bases(
        "value", lambda log: logged_property(log, "value"))),
    "default-added-to-kind": every_pass(hostile_constant("missing"), add_to_kinds("value", lambda log: 7)),
    "default-replaced-by-property": every_pass(hostile_constant("missing"), add_to_bases(
        "value", lambda log: logged_property(log, "value"))),
}


def logged_setter(log, name):
    def set_(node, value):
        log.append(("set", name))
        node.__dict__[name] = value
    return property(lambda node: node.__dict__.get(name, "from property"), set_)


def logged_setattr(log):
    def __setattr__(node, name, value):
        log.append(("__setattr__", name))
        ast.AST.__setattr__(node, name, value)
    return __setattr__


def add_to(cls, name, make_value):
    def change(log):
        setattr(cls, name, make_value(log))
    return change


# The conversion writes the fields of the gast nodes it makes: after a first
# round, a class of the new nodes gains what setattr must go through (or a
# value it must write past).
FIELD_WRITES = {how: every_pass(hostile_constant("plain"), change, steps=("convert",)) for how, change in {
    "setter-on-kind": add_to(gast.Constant, "value", lambda log: logged_setter(log, "value")),
    "setter-on-base": add_to(gast.expr, "lineno", lambda log: logged_setter(log, "lineno")),
    "setter-on-name": add_to(gast.Name, "ctx", lambda log: logged_setter(log, "ctx")),
    "setattr-on-kind": add_to(gast.Constant, "__setattr__", logged_setattr),
    "default-on-kind": add_to(gast.Constant, "kind", lambda log: "from class"),
    "method-on-kind": add_to(gast.Constant, "value", lambda log: lambda node: log.append("called")),
}.items()}


@pytest.mark.parametrize("case", list(FIELD_WRITES.values()), ids=list(FIELD_WRITES))
def test_field_writes_match_python(case):
    differential(case)


def test_converted_nodes_hold_dicts_as_setattr_makes_them():
    # Before 3.11 a kind's nodes share their dict's keys, kept up by setattr
    # alone: a node whose fields went into its dict another way would hold
    # a dict of another size (and stop the sharing for the kind).
    text = "class C(B):\n    def f(self, x: int = 1) -> None:\n        return [y.z for y in x if y][0]\n"
    sizes = {}
    for which in ("native", "python"):
        with passes(which):
            tree = convert.ast_to_gast(ast.parse(text))
        sizes[which] = [(type(n).__name__, sys.getsizeof(vars(n))) for n in gast.walk(tree)]
    assert sizes["native"] == sizes["python"]


@pytest.mark.parametrize("case", list(FIELD_READS.values()), ids=list(FIELD_READS))
def test_field_reads_match_python(case):
    differential(case)


@pytest.mark.parametrize("case", list(LATER.values()), ids=list(LATER))
def test_field_reads_see_classes_changed_later(case):
    differential(case)


# ---- generated trees -----------------------------------------------------------

NAMES = "abcdefg"
leaves = st.sampled_from(NAMES).map(lambda n: ("name", n)) | st.integers(0, 3).map(lambda v: ("const", v))
exprs = st.recursive(leaves, lambda inner: st.one_of(
    st.tuples(st.just("call"), inner, st.lists(inner, max_size=3)),
    st.tuples(st.just("binop"), inner, inner),
    st.tuples(st.just("list"), st.lists(inner, max_size=3))), max_leaves=12)


def build(spec, mod):
    kind = spec[0]
    if kind == "name":
        return mod.Name(spec[1], mod.Load()) if mod is ast else mod.Name(spec[1], mod.Load(), None, None)
    if kind == "const":
        return mod.Constant(spec[1], None)
    if kind == "call":
        return mod.Call(build(spec[1], mod), [build(s, mod) for s in spec[2]], [])
    if kind == "binop":
        return mod.BinOp(build(spec[1], mod), mod.Add(), build(spec[2], mod))
    return mod.List([build(s, mod) for s in spec[1]], mod.Load())


def module(specs, mod):
    body = [mod.Expr(build(s, mod)) for s in specs]
    return ast.Module(body, []) if mod is ast else gast.Module(body, [])


GENERATED = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@GENERATED
@given(st.lists(exprs, min_size=1, max_size=4),
       st.dictionaries(st.sampled_from(NAMES), st.sampled_from(["drop", "twin", "wrap", "raise"])))
def test_generated_walks_match_python(specs, acts):
    def case(log):
        tree = module(specs, gast)
        processor = Processor(log, acts)
        processor.root = tree
        try:
            processor.generic_visit(tree)
        finally:
            log.append(shape(tree))
        return tree
    differential(case)


@GENERATED
@given(st.lists(exprs, min_size=1, max_size=3), st.lists(exprs, min_size=1, max_size=3), st.booleans())
def test_generated_conversions_and_comparisons_match_python(first, second, recorded):
    def case(log):
        x, y = module(first, ast), module(second, ast)
        fields = LoggedDict(log, collect=False) if recorded else None
        converted = convert._Converter(fields, recorder(log))._visit(x)

        def report(p, q, field):
            log.append(("report", type(p).__name__, type(q).__name__, field))
        return (converted, fields, trees.same(x, y, report=report),
                trees.same(x, converted, ast.AST, gast.AST, trees.SAME_IN_GAST, trees.NO_CONTEXT, report=report),
                RUF.ast_to_source_code(convert.ast_to_gast(y.body[0].value)))
    differential(case)


# ---- inputs that used to crash the interpreter ---------------------------------

CHILD = """
import ast, gc, sys
sys.path.insert(0, {tests!r})
import test_treeops_hostile as h
from combined_source.utils.convert import ast_to_gast, ast_to_gast_recorded
log = []
with h.passes(sys.argv[1]):
    try:
{body}
        print("returned", h.shape(result))
    except Exception as e:
        print("raised", type(e).__name__)
print(log)
"""

CRASHERS = {
    "self-holding-list": "x = []; x.append(x)\nresult = ast_to_gast(ast.Expr(value=x))",
    "nested-lists": "x = []\nfor _ in range(100_000): x = [x]\nresult = ast_to_gast(ast.Expr(value=x))",
    "nested-lists-recorded": "x = [1]\nfor _ in range(100_000): x = [x]\n"
                             "result = ast_to_gast_recorded(ast.Expr(value=x), {}, h.recorder(log))",
    "gc-sees-converted-fields": "result = h.convert_evil_values(log)",
    "gc-sees-recorded-fields": "result = h.convert_recorded_evil(log)",
    "gc-sees-constructed-fields": "result = h.convert_constructed_evil(log)",
}


@pytest.mark.parametrize("body", list(CRASHERS.values()), ids=list(CRASHERS))
def test_inputs_that_crashed_end_as_python_does(body, tmp_path):
    script = CHILD.format(tests=os.path.dirname(__file__), body=textwrap.indent(body, " " * 8))
    runs = [subprocess.run([sys.executable, "-c", script, which], cwd=str(tmp_path), capture_output=True, text=True,
                           timeout=300) for which in ("native", "python")]
    for run in runs:
        assert run.returncode == 0, run.stderr[-3000:]
    assert runs[0].stdout == runs[1].stdout


# ---- what is kept --------------------------------------------------------------

def test_method_names_of_throwaway_classes_are_not_kept():
    # The traversal's method-name cache would keep every class name it met.
    first = "".join(["Throwaway", "0"])
    base = sys.getrefcount(first)
    processor = Processor([], {})
    for i in range(3000):
        cls = type(first if i == 0 else "Throwaway%d" % i, (gast.AST,), {"_fields": ()})
        processor.root = gast.Module([gast.Expr(cls())], [])
        processor.generic_visit(processor.root)
        del cls
    processor.root = None
    gc.collect()
    assert sys.getrefcount(first) == base


# ---- depth ---------------------------------------------------------------------

DEPTH = """
import ast, sys
import gast
from combined_source.utils.HUJ import BaseCodePostProcessor
from combined_source.utils.convert import ast_to_gast
sys.setrecursionlimit(1_000_000)
node, tree = gast.Name("x", gast.Load(), None, None), ast.Name("x", ast.Load())
for _ in range({depth}):
    node, tree = gast.UnaryOp(gast.Not(), node), ast.UnaryOp(ast.Not(), tree)
for run in (lambda: BaseCodePostProcessor.__new__(BaseCodePostProcessor).generic_visit(gast.Expr(node)),
            lambda: ast_to_gast(tree)):
    try:
        run()
        print("done")
    except RecursionError:
        print("RecursionError")
"""


@pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="3.12's C recursion limit")
@pytest.mark.parametrize("depth, ends", [(1_400, "done"), (1_600, "RecursionError")])
def test_native_depth_on_312_is_the_c_recursion_limit(tmp_path, depth, ends):
    # Whatever sys.setrecursionlimit says, 3.12 stops the native walk and
    # conversion at its C recursion limit (1,500 levels), with RecursionError.
    proc = subprocess.run([sys.executable, "-c", DEPTH.format(depth=depth)], cwd=str(tmp_path),
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout == (ends + "\n") * 2, proc.stdout + proc.stderr[-3000:]
