"""Module-level names after the look-up cache is warm: every rebinding,
deletion and shadowing takes effect at the next use, through every route,
also beside other extensions' dict watchers and without a watcher slot."""
import builtins
import subprocess
import sys
import tempfile
import textwrap
import tracemalloc

import gast
import pytest

from conftest import expr, make_processor, render
from interpreter import VERSION, settle
from combined_source.utils import ZOK

KEY = "is_orb_api"
NS = vars(ZOK)


def yes(obj):
    return 1


def no(obj):
    return 0


def observe():
    """The rendered visit of `self`: renamed while the is_orb_api in force says yes, or the NameError."""
    try:
        return render(make_processor(None).visit_Name(expr("self")))
    except NameError as e:
        return str(e)


def run_in(code):
    """Runs `code` in a fresh interpreter: the module's state is process-wide.
    It runs from an empty folder: with -c the current folder comes first on the
    path, and a source tree there would shadow the installed package."""
    with tempfile.TemporaryDirectory() as empty:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=empty,
                              capture_output=True, text=True, timeout=120)


def _exec(src):
    def apply(k, *v):
        exec(src, NS, {"k": k, "v": v[0] if v else None})
    return apply


# How a name enters or leaves the module namespace.
MODULE_ROUTES = {
    "item": (lambda k, v: NS.__setitem__(k, v), lambda k: NS.__delitem__(k)),
    "attribute": (lambda k, v: setattr(ZOK, k, v), lambda k: delattr(ZOK, k)),
    "vars": (lambda k, v: vars(ZOK).update({k: v}), lambda k: vars(ZOK).pop(k)),
    "globals()": (_exec("globals()[k] = v"), _exec("del globals()[k]")),
    "statement": (_exec("global is_orb_api\nis_orb_api = v"), _exec("global is_orb_api\ndel is_orb_api")),
}

# How a name enters or leaves the builtins.
BUILTIN_ROUTES = {
    "builtins.__dict__": (lambda k, v: builtins.__dict__.__setitem__(k, v),
                          lambda k: builtins.__dict__.__delitem__(k)),
    "attribute": (lambda k, v: setattr(builtins, k, v), lambda k: delattr(builtins, k)),
    "update/pop": (lambda k, v: vars(builtins).update({k: v}), lambda k: vars(builtins).pop(k)),
}

MISSING = "name 'is_orb_api' is not defined"


@pytest.mark.parametrize("module_route", MODULE_ROUTES)
@pytest.mark.parametrize("builtin_route", BUILTIN_ROUTES)
def test_every_change_takes_effect_at_the_next_use(module_route, builtin_route):
    mset, mdel = MODULE_ROUTES[module_route]
    bset, bdel = BUILTIN_ROUTES[builtin_route]
    real = NS[KEY]
    seen = []

    def step(change=None, *args):
        if change:
            change(*args)
        # Three uses each: the first fills the cache, the others are served from it.
        seen.append([observe() for _ in range(3)])

    try:
        step()
        step(mset, KEY, yes)                      # rebinding
        step(mdel, KEY)                           # deletion: no builtin either
        step(bset, KEY, yes)                      # found among the builtins
        step(bset, KEY, no)                       # builtin rebound
        step(mset, KEY, yes)                      # module name shadows the builtin
        step(mdel, KEY)                           # the builtin shows again
        step(bdel, KEY)                           # gone from both
    finally:
        builtins.__dict__.pop(KEY, None)
        NS[KEY] = real
    want = ["self", "arr", MISSING, "arr", "self", "arr", "self", MISSING]
    assert seen == [[w] * 3 for w in want]
    assert observe() == "self"


@pytest.mark.parametrize("key, first, second, source, method", [
    ("os", type("O", (), {"environ": {"APPLY_TRANSPOSE_OPTIMIZATION": "true"}}),
     type("O", (), {"environ": {}}), "f(data_format='NCS')", "visit_Call"),
    ("ast_to_source_code", lambda n: "Tensor", lambda n: "x", "x", "visit_Name"),
    ("gast", type("G", (), {"parse": staticmethod(lambda t: gast.parse("y"))}), gast, "Tensor", "visit_Name"),
])
def test_each_used_name_follows_its_rebinding(monkeypatch, key, first, second, source, method):
    results = []
    for value in (first, second, first):
        monkeypatch.setitem(NS, key, value)
        node = expr(source)
        for _ in range(2):
            results.append(render(getattr(make_processor(None), method)(node)))
    assert results[0] == results[1] == results[4] == results[5] != results[2] == results[3]


def test_other_dict_methods_take_effect_at_the_next_use():
    real = NS[KEY]
    seen = [observe(), observe()]
    try:
        for change in (lambda: NS.pop(KEY), lambda: NS.setdefault(KEY, yes),
                       lambda: (NS.pop(KEY), NS.__setitem__(KEY, no)),   # now the last key
                       lambda: NS.popitem(),
                       lambda: NS.update([(KEY, yes)])):
            change()
            seen += [observe(), observe()]
    finally:
        NS[KEY] = real
    assert seen == ["self", "self", MISSING, MISSING, "arr", "arr", "self", "self", MISSING, MISSING, "arr", "arr"]


def test_thousands_of_transforms_with_rebindings_keep_memory_flat():
    real = NS[KEY]
    answers = [yes, no]
    tree = gast.parse("(self, self.x, Tensor, f(data_format='NCS'))")

    def rounds(n):
        for i in range(n):
            NS[KEY] = answers[i % 2]
            make_processor(tree).transform()
            vars(builtins)["zok_probe"] = i
            del vars(builtins)["zok_probe"]

    tracemalloc.start()
    try:
        rounds(100)
        settle()
        blocks, memory = sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]
        rounds(3000)
        settle()
        blocks, memory = sys.getallocatedblocks() - blocks, tracemalloc.get_traced_memory()[0] - memory
    finally:
        tracemalloc.stop()
        NS[KEY] = real
    assert blocks < 200 and memory < 20_000, (blocks, memory)


# A fresh interpreter, other watchers, then the module: prints one line of results.
SCENARIO = """
    import builtins, sys
    {before}
    import gast
    from combined_source.utils import ZOK
    from combined_source.utils.TEH import ObjectLike, Transformer
    from combined_source.utils.KQA import BaseTransformerConfig
    from combined_source.utils.RUF import ast_to_source_code
    {after}
    NS = vars(ZOK)
    def observe():
        p = ZOK.FrontendTorchCodePostProcessor(None, Transformer(ObjectLike(object, "")), BaseTransformerConfig())
        try:
            return ast_to_source_code(p.visit_Name(gast.parse("self").body[0].value)).strip()
        except NameError as e:
            return "NameError"
    out = [observe(), observe()]
    NS["is_orb_api"] = lambda o: 1
    out += [observe(), observe()]
    del NS["is_orb_api"]
    out += [observe(), observe()]
    builtins.is_orb_api = lambda o: 1
    out += [observe(), observe()]
    NS["is_orb_api"] = lambda o: 0
    out += [observe(), observe()]
    print(" ".join(out))
    {end}
"""
EXPECTED = "self self arr arr NameError NameError arr arr self self"

needs_watchers = pytest.mark.skipif(VERSION < (3, 12), reason="dict watchers are new in 3.12")


def scenario(before="", after="", end=""):
    proc = run_in(SCENARIO.format(before=before, after=after, end=end))
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split("\n")


def test_fresh_interpreter_sees_every_change():
    assert scenario()[0] == EXPECTED


@needs_watchers
@pytest.mark.parametrize("when", ["before", "after"])
def test_another_extensions_watcher_keeps_working(when):
    pytest.importorskip("_testcapi")
    watch = """
    import _testcapi
    wid = _testcapi.add_dict_watcher(0)
    """
    target = "_testcapi.watch_dict(wid, vars(ZOK)); _testcapi.watch_dict(wid, vars(builtins))"
    end = """
    events = _testcapi.get_dict_watcher_events()
    print(sum(e.startswith("new:is_orb_api") for e in events), sum(e.startswith("del:is_orb_api") for e in events),
          sum(e.startswith("mod:is_orb_api") for e in events))
    _testcapi.clear_dict_watcher(wid)
    """
    if when == "before":
        # Watching before the module exists: watch its namespace as soon as it is there.
        lines = scenario(before=watch, after=target, end=end)
    else:
        lines = scenario(after=watch + "\n    " + target, end=end)
    assert lines[0] == EXPECTED
    # is_orb_api: added to builtins and once more to the namespace, deleted once, rebound once.
    assert lines[1] == "2 1 1"


@needs_watchers
def test_no_watcher_slot_left_gives_plain_look_ups():
    pytest.importorskip("_testcapi")
    before = """
    import _testcapi
    taken = []
    while True:
        try:
            taken.append(_testcapi.add_dict_watcher(0))
        except RuntimeError:
            break
    """
    end = """
    print(len(taken) > 0)
    """
    lines = scenario(before=before, end=end)
    assert lines[0] == EXPECTED and lines[1] == "True"


class Recording(dict):
    """A dtype mapping that records the texts tested against it."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def __contains__(self, key):
        self.seen.append(key)
        return False


@pytest.mark.parametrize("text", [
    "x", "", " ", "\t\n\r\x0b\x0c\x1c\x1d\x1e\x1f", " torch.float32\n", "a b", "\x85é\xa0", "é",
    "\u3000orb\u2028", "\u2029", "\U0001d54f", " \U0001d54f.x ", "\u200bx", "x\x00"])
def test_rendered_text_is_stripped_as_str_strip_does(monkeypatch, text):
    mapping = Recording()
    monkeypatch.setitem(NS, "ast_to_source_code", lambda node: text)
    p = make_processor(None)
    p.configuration.dtype_mapping = mapping
    p.visit_Attribute(expr("a.b"))
    (seen,) = mapping.seen
    want = text.strip()
    assert type(seen) is str and seen == want and (seen is text) == (want is text)
