"""Reference and memory-block leak hunting on a debug build of CPython (sys.gettotalrefcount).

Each case runs in warm-up rounds and then in measured rounds; after every round the garbage
is collected and the interpreter's caches emptied, and the total reference count and the
number of allocated memory blocks are read. A case leaks when every measured round grew one
of them: growth that comes and goes is the interpreter's own (caches, free lists, resized
tables), growth in each round is a reference or an allocation that a run of the case keeps.

The cases: each method of the post-processor called directly, transform over small and
larger trees, and every failure path of the fault tests, with their hosts and tables. Cases
are measured in groups; a group that grew is measured again case by case, so the report
names the case that leaked and by how much per round.

ZOK_REFLEAK="WARMUP:MEASURED" sets the rounds (default 3:4).
"""
import os
import sys
import warnings

import gast
import pytest

import test_faults as F
from combined_source.utils import ZOK
from conftest import ENV, make_processor
from interpreter import settle
from test_faults import patched  # noqa: F401  (the fixture of the fault tests)
from test_scale import MIXED, statement

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("leak hunting needs a debug build of CPython (scripts/refleak runs it on one)", allow_module_level=True)

WARMUP, MEASURED = (int(n) for n in os.environ.get("ZOK_REFLEAK", "3:4").split(":"))


def measure(cases, warmup=WARMUP, rounds=MEASURED):
    """Runs every case of `cases` once per round; the growth of references and blocks in each measured round."""
    refs, blocks = [], []
    with warnings.catch_warnings():
        # From 3.13 the syntax-tree classes warn about the fields an empty node lacks.
        warnings.simplefilter("ignore", DeprecationWarning)
        before = None
        for i in range(warmup + rounds):
            for _, once in cases:
                once()
            settle()
            # Read blocks first: reading the reference count makes an int.
            now = sys.getallocatedblocks(), sys.gettotalrefcount()
            if i >= warmup:
                blocks.append(now[0] - before[0])
                refs.append(now[1] - before[1])
            before = now
    return refs, blocks


def leaked(deltas):
    # As CPython's own hunting judges it: growth in every measured round.
    return all(d >= 1 for d in deltas)


def hunt(cases):
    """Fails naming each case of `cases` (pairs of a label and a function) that leaks.

    The group is measured as a whole; only when it grew is each case measured alone."""
    if not any(leaked(d) for d in measure(cases)):
        return
    reports = []
    for label, once in cases:
        # A case alone, with more rounds: one run's growth is small beside the group's noise.
        refs, blocks = measure([(label, once)], rounds=2 * MEASURED)
        if leaked(refs) or leaked(blocks):
            reports.append("%s: references %s, blocks %s per round" % (label, refs, blocks))
    if not reports:
        refs, blocks = measure(cases)
        if not (leaked(refs) or leaked(blocks)):
            return  # growth that did not come back: the interpreter's own
        reports = ["no case alone, but the group: references %s, blocks %s per round" % (refs, blocks)]
    pytest.fail("%d of %d cases leak:\n%s" % (len(reports), len(cases), "\n".join(reports)), pytrace=False)


def test_module_counts_its_references():
    # A module built without Py_DEBUG loads into a debug interpreter, but its own reference
    # operations go uncounted and every case would seem to leak (GCC once took the release
    # pyconfig.h through the debug headers' links to the release ones).
    with open(ZOK.__file__, "rb") as f:
        assert b"_Py_NegativeRefcount" in f.read(), "%s was built without Py_DEBUG" % ZOK.__file__


def test_the_hunt_tells_leaks_from_noise():
    kept = []

    def once_in_a_while():  # growth in one measured round only: not a leak
        runs = iter(range(10 ** 6))
        return lambda: next(runs) == WARMUP + 1 and kept.append(object())

    cases = [("clean", lambda: None), ("keeps an object a run", lambda: kept.append(object())),
             ("keeps one in one round", once_in_a_while())]
    with pytest.raises(pytest.fail.Exception) as e:
        hunt(cases)
    assert e.value.msg.startswith("1 of 3 cases leak:\nkeeps an object a run: references [1, 1, 1"), e.value.msg
    n = len(kept)
    hunt([("clean", lambda: None), ("keeps one in one round", once_in_a_while())])
    assert len(kept) == n + 1


def expr(source):
    return gast.parse(source).body[0].value


# method, source of the node handed in, post-processor options; each is parsed anew per run,
# since the methods rewrite in place.
DIRECT = [
    ("visit_Name", "Tensor", {}),
    ("visit_Name", "self", {"api": True}),
    ("visit_Name", "x", {}),
    ("visit_Attribute", "torch.nn.Module", {}),
    ("visit_Attribute", "torch.float32", {"mapping": {"torch.float32": "orb.float32"}}),
    ("visit_Attribute", "self.orb_array", {"api": True}),
    ("visit_Attribute", "a.b", {}),
    ("visit_Call", "orb.inplace_update(a, b)", {}),
    ("visit_Call", "orb.Array(x, requires_grad=True)", {}),
    ("visit_Call", "np.log2(8)", {}),
    ("visit_Call", "orb_empty((in_channels, c, k))", {"name": "_ConvNd", "env": True}),
    ("visit_Call", "f(x, k=1)", {}),
    ("visit_keyword", "f(data_format='NCHW')", {"env": True}),
    ("visit_keyword", "f(filter_format='channel_first')", {"env": True}),
    ("visit_keyword", "f(data_format='NCHW')", {}),
]


@pytest.mark.parametrize("method, source, opts", DIRECT, ids=["%s-%s" % c[:2] for c in DIRECT])
def test_methods_called_directly(monkeypatch, method, source, opts):
    if opts.get("env"):
        monkeypatch.setenv(ENV, "true")
    p = make_processor(None, api=opts.get("api", False), name=opts.get("name", ""), mapping=opts.get("mapping"))

    def once():
        node = expr(source)
        return getattr(p, method)(node.keywords[0] if method == "visit_keyword" else node)

    hunt([(method + " " + source, once)])


def test_construction_and_arguments():
    p = make_processor(None)
    args = (p.root, p.transformer, p.configuration)
    cases = [
        ("__init__", lambda: type(p)(*args)),
        ("__init__ new_name", lambda: type(p)(*args, new_name="me")),
        ("__init__ again", lambda: p.__init__(*args, "arr")),
        ("__init__ too few", lambda: F.raised(lambda: type(p)(p.root))),
        ("__init__ unknown keyword", lambda: F.raised(lambda: type(p)(*args, other=1))),
        ("visit_Name no node", lambda: F.raised(p.visit_Name)),
        ("visit_Call two nodes", lambda: F.raised(lambda: p.visit_Call(1, 2))),
        ("transform argument", lambda: F.raised(lambda: p.transform(1))),
        ("unbound on another object", lambda: F.raised(lambda: type(p).visit_Name(object(), expr("x")))),
    ]
    hunt(cases)


@pytest.mark.parametrize("size", ["statements", "mixed", "large"])
def test_transform(monkeypatch, size):
    monkeypatch.setenv(ENV, "true")
    if size == "statements":  # each rule's statement alone, and together
        sources = [s for s, _, _, _ in F.SCENARIOS.values()]
        sources.append("\n".join(sources))
    else:
        sources = [MIXED] if size == "mixed" else [None]

    def runner(source):
        def once():
            tree = gast.parse(source) if source else gast.Module([statement(i) for i in range(300)], [])
            make_processor(tree, name="_ConvNd", mapping={"torch.float32": "f32"}).transform()
            make_processor(tree, api=True).transform()  # and the orb-API rules over what the first made
        return once

    hunt([(" ".join(source.split())[:60] if source else "300 statements", runner(source)) for source in sources])


@pytest.mark.parametrize("op, kind, fault, expected", F.FAULTS, ids=["%s-%s" % f[:2] for f in F.FAULTS])
def test_fault_paths(patched, op, kind, fault, expected):  # noqa: F811
    # Every use of the operation that the fault tests fault, faulted in turn.
    cases = []
    for name, n, unit, method in F.uses(op):
        opts = F.SCENARIOS[name][3]
        h = F.Host(opts.get("env"), (op, n), fault)
        h.log = None
        p = F.plain(None, **{k: v for k, v in opts.items() if k != "env"}, cls=F.P)

        def once(p=p, h=h, name=name):
            F.run(p, F.tree_for(name, h), h)
            h.boom.__traceback__ = None

        cases.append(("%s %s, use %d in %s of %r" % (op, kind, n, method, name), once))
    assert cases
    hunt(cases)


@pytest.mark.parametrize("api", [False, True])
def test_wrong_node_types(monkeypatch, api):
    monkeypatch.setenv(ENV, "true")
    p = F.plain("x", api=api, name="_ConvNd")
    cases = [("%s(%s)" % (m, type(node).__name__), lambda m=m, node=node: F.raised(lambda: getattr(p, m)(node)))
             for m in ("visit_keyword", "visit_Name", "visit_Attribute", "visit_Call") for node in F.NODES]
    hunt(cases)


def test_globals_deleted_or_junk(monkeypatch):
    for key, value, source, opts, _, _ in F.GLOBALS:
        with monkeypatch.context() as mp:
            F.junk_global(mp, key, value)
            hunt([("%s=%r over %r" % (key, value, source), lambda: F.raised(F.plain(source, **opts).transform))])


def test_init_and_attribute_failures(monkeypatch):
    cases = []
    for k in range(len(F.INIT_FIELDS)):
        for fault, _ in F.INIT_FAULTS:
            h, _, _, init = F.init_failure(k, fault)
            cases.append(("__init__, assignment %d %s" % (k, "raises" if fault is F.RAISE else "dropped"),
                          lambda h=h, init=init: (init(), setattr(h.boom, "__traceback__", None))))
    monkeypatch.setenv(ENV, "true")
    for source, opts, breaker, method, message in F.BROKEN:
        cases.append(("%s: %s" % (method, message), F.broken(source, opts, breaker)[1]))
    hunt(cases)


def test_native_tree_passes():
    # The command line's conversion and traversal, as they run and as they fail.
    import ast

    from combined_source.utils import HUJ
    from combined_source.utils.convert import ast_to_gast, ast_to_gast_recorded
    from combined_source.utils.RUF import ast_to_source_code
    from combined_source.utils.rewrite import trees
    from combined_source.utils.rewrite.changes import record

    source = MIXED + "\ndef f(a, *b, c: int = 1, **d):\n    import os as p\n    x = y = [i for i in b]\n" \
                     "class C(B):\n    pass\n"

    class Failing(HUJ.BaseCodePostProcessor):
        def visit_Name(self, node):
            raise ValueError(node.id)

    cases = [
        ("convert", lambda: ast_to_gast(ast.parse(source))),
        ("convert recorded", lambda: ast_to_gast_recorded(ast.parse(source), {}, record)),
        ("convert a node made without its fields",
         lambda: F.raised(lambda: ast_to_gast(ast.Module([ast.Expr(ast.Name())], [])))),
        ("walk", lambda: HUJ.BaseCodePostProcessor(gast.parse(source), None, None).transform()),
        ("walk failing", lambda: F.raised(Failing(gast.parse(source), None, None).transform)),
        ("same", lambda: trees.same(ast.parse(source), ast.parse(source), settle=lambda a, b: None)),
        ("same differs", lambda: trees.same(ast.parse(source), ast.parse(source + "x\n"), report=lambda a, b, field: None)),
        ("same failing", lambda: F.raised(lambda: trees.same(ast.parse(source), ast.parse(source), settle=1))),
        ("render", lambda: [ast_to_source_code(n) for n in gast.walk(gast.parse(source))]),
    ]
    generic = HUJ.BaseCodePostProcessor.generic_visit
    if hasattr(generic, "__wrapped__"):  # the native generic_visit
        GenericVisit = type(generic)

        def processor():
            return HUJ.BaseCodePostProcessor(None, None, None)

        cases += [
            ("generic_visit by keyword, refused", lambda: (processor().generic_visit(node=gast.parse(source)),
                                                           F.raised(lambda: processor().generic_visit()))),
            ("generic_visit made and read", lambda: (lambda made: (made.__name__, made.__wrapped__, repr(made),
                                                                    made.__get__(processor())(gast.parse(source))))(
                GenericVisit(generic.__wrapped__))),
            ("constants with a legacy method in a new class", lambda: type(
                "P", (HUJ.BaseCodePostProcessor,), {"visit_Num": lambda self, node: node})(
                gast.parse("f(1, 'a')"), None, None).transform()),
        ]
    hunt(cases)


def test_native_change_walk():
    # The splicer's change walk, as it runs, as its callbacks fail, and with
    # node kinds made, changed and dropped (their fields kept in the module).
    from combined_source.utils.rewrite import changes

    if changes._native_edits is None:
        pytest.skip("built without the native walk")

    class Noted:
        def __init__(self, fields, fail=False):
            self.fields, self.fail, self.seen = fields, fail, []

        def change(self, node, kind, name, old, new, site, edits, push):
            if self.fail:
                raise ValueError(name)
            self.seen.append(name)
            for child in gast.iter_child_nodes(node):
                if child in self.fields:
                    push((child, site))

    def walk(fail=False):
        tree = gast.parse(MIXED)
        fields = changes.record(tree)
        for node in gast.walk(tree):
            if isinstance(node, gast.Name):
                node.id = node.id + "_"
            elif isinstance(node, gast.Call):
                node.args = list(node.args) + [gast.Constant(1, None)]
        noted = Noted(fields, fail)
        return changes._native_edits(noted, tree, None, fields, changes.WALKED, {}, changes._STRING_KINDS,
                                     changes._PLAIN_LEAVES, False)

    def kinds():
        for fields in (("a", "b"), ("b",), ["a"]):
            kind = type("Made", (gast.AST,), {"_fields": fields})
            node = kind()
            node.a, node.b = 1, 3
            changes._native_edits(Noted({node: (1, 2)}), node, None, {node: (1, 2)}, changes.WALKED, {}, (),
                                  frozenset(), False)
            kind._fields = ("b", "a")
            changes._native_edits(Noted({node: (1, 2)}), node, None, {node: (1, 2)}, changes.WALKED, {}, (),
                                  frozenset(), False)

    cases = [
        ("change walk", walk),
        ("change walk failing", lambda: F.raised(lambda: walk(fail=True))),
        ("change walk refusing its arguments", lambda: F.raised(lambda: changes._native_edits(*(None,) * 9))),
        ("change walk over kinds made and changed", kinds),
    ]
    hunt(cases)
