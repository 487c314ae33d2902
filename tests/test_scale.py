"""Scale and depth: memory in proportion to the tree, flat over many runs, and deep trees end in RecursionError."""
import gc
import os
import re
import subprocess
import sys
import textwrap
import tracemalloc

import gast
import pytest

from conftest import ENV, make_processor
from interpreter import settle

L = gast.Load


def statement(i):
    """self.w(self, x + i, data_format='NCHW'): 15 nodes, each rewrite made in place."""
    name = lambda n: gast.Name(n, L(), None, None)
    return gast.Expr(gast.Call(gast.Attribute(name("self"), "w", L()),
                               [name("self"), gast.BinOp(name("x"), gast.Add(), gast.Constant(i, None))],
                               [gast.keyword("data_format", gast.Constant("NCHW", None))]))


@pytest.mark.parametrize("statements", [
    7_000,  # about 100 000 nodes, a few seconds
    pytest.param(70_000, marks=[pytest.mark.slow, pytest.mark.skipif(
        not os.environ.get("ZOK_SLOW"), reason="about a million nodes, some 30 s: set ZOK_SLOW=1")]),
])
def test_large_tree_needs_no_memory_per_node(monkeypatch, statements):
    monkeypatch.setenv(ENV, "true")
    tracemalloc.start()
    tree = gast.Module([statement(i) for i in range(statements)], [])
    size = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()  # and start again: what follows counts the walk alone
    p = make_processor(tree, api=True)
    # A walk over a small tree first: what the host loads on first use (from 3.14 the
    # renderer imports its implementation then) is not the walk's memory.
    make_processor(gast.Module([statement(i) for i in range(10)], []), api=True).transform()
    gc.collect()
    tracemalloc.start()
    try:
        p.transform()
        gc.collect()
        after, peak = tracemalloc.get_traced_memory()
        print("tree %d nodes, %.1f MB; during the walk: peak %.1f KB, kept %.1f KB" % (15 * statements + 1, size / 1e6, peak / 1e3, after / 1e3))
    finally:
        tracemalloc.stop()
    assert sum(1 for _ in gast.walk(tree)) == 15 * statements + 1
    last = tree.body[-1].value
    assert (last.func.value.id, last.args[0].id, last.keywords[0].value.value) == ("arr", "arr", "NHWC")
    # The walk holds a path's worth at a time, and keeps nothing.
    assert peak < 64_000 < size / 100 and after < 64_000, (size, peak, after)


MIXED = "\n".join([
    "x = torch.Tensor(a, requires_grad=True)", "self.orb_array.w", "np.log2(8)", "orb.inplace_update(a, b)",
    "f(data_format='NCHW')", "orb_empty((in_channels, c, k))", "y: torch.nn.Module = Parameter"])


def test_thousands_of_transforms_keep_memory_flat(monkeypatch):
    monkeypatch.setenv(ENV, "true")

    def once():
        make_processor(gast.parse(MIXED), name="_ConvNd", mapping={"a": "b"}).transform()

    # Holds the parsed names, so that they stay interned: otherwise each parse
    # interns them anew and the interpreter's table of interned strings is
    # reallocated now and then, which shows as growth.
    names = gast.parse(MIXED)
    tracemalloc.start()
    try:
        for _ in range(100):
            once()
        settle()
        blocks, memory = sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            once()
        settle()
        blocks, memory = sys.getallocatedblocks() - blocks, tracemalloc.get_traced_memory()[0] - memory
    finally:
        tracemalloc.stop()
    assert blocks < 200 and memory < 20_000, (blocks, memory)
    del names


DEEP = """
    import sys, threading, gast
    from combined_source.utils.TEH import ObjectLike, Transformer
    from combined_source.utils.KQA import BaseTransformerConfig
    from combined_source.utils.ZOK import FrontendTorchCodePostProcessor
    sys.setrecursionlimit({limit})
    name = lambda: gast.Name("x", gast.Load(), None, None)
    node = name()
    for _ in range(120_000):
        node = {build}
    p = FrontendTorchCodePostProcessor(gast.Module([gast.Expr(node)], []), Transformer(ObjectLike(object, "")),
                                       BaseTransformerConfig())
    def go():
        for call in (p.transform, lambda: getattr(p, "visit_" + type(node).__name__)(node)):
            try:
                call()
            except RecursionError as e:
                print("RecursionError", e)
            else:
                print("finished")
    if {stack}:
        threading.stack_size({stack})
        t = threading.Thread(target=go)
        t.start(), t.join()
    else:
        go()
"""


# From 3.14 the interpreter measures the C stack itself, and where its guard meets the
# overflow before the module's own does (a debug build's larger frames on a small thread
# stack) the RecursionError comes with its message.
RECURSION_ERROR = "RecursionError (maximum recursion depth exceeded" + (
    r"|Stack overflow \(used \d+ kB\))" if sys.version_info >= (3, 14) else ")")


@pytest.mark.parametrize("build", [
    "gast.Call(gast.Name('f', gast.Load(), None, None), [node], [])",  # f(f(f(...)))
    "gast.Attribute(node, 'b', gast.Load())",  # x.b.b.b...
    "gast.Call(node, [name()], [])",  # x(x)(x)...
    "gast.Call(name(), [], [gast.keyword('k', node)])",  # x(k=x(k=...))
])
@pytest.mark.parametrize("limit, stack", [(1000, 0), (100_000, 0), (1_000_000, 256 << 10)])
def test_deep_tree_ends_in_recursion_error(tmp_path, limit, stack, build):
    # Deeper than the recursion limit, and than the C stack holds when the limit
    # is far above it (the main thread's stack, or a small thread stack):
    # through transform and through a method called directly. A crash would
    # show here as a failed test, not a dead test run.
    script = textwrap.dedent(DEEP).format(limit=limit, build=build, stack=stack)
    # Run from an empty folder: with -c the current folder comes first on the
    # path, and a source tree there would shadow the installed package.
    proc = subprocess.run([sys.executable, "-c", script], cwd=str(tmp_path), capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.splitlines()
    assert len(lines) == 2 and all(re.match(RECURSION_ERROR, line) for line in lines), lines
