"""The check on a file with many changes: which changes it finds covered by
the compared nodes, and which statement it parses apart for each, found in
about n log n steps (a file of 5 MiB holds tens of thousands of changes and
of compared nodes, a class may hold thousands of methods)."""
import ast
import glob
import os
import random

import pytest

from combined_source.utils.rewrite import check, units
from combined_source.utils.rewrite.positions import line_starts


class Counted(int):
    """An int that counts the comparisons made with it."""
    ops = 0

    def _count(op):
        def compare(self, other):
            Counted.ops += 1
            return getattr(int, op)(self, other)
        return compare

    __lt__, __le__, __gt__, __ge__, __eq__, __ne__ = map(
        _count, ("__lt__", "__le__", "__gt__", "__ge__", "__eq__", "__ne__"))
    __hash__ = int.__hash__


def checker(sites):
    c = check.Check.__new__(check.Check)
    c.sites = {(line, column, line, column + 1, "Name"): None for line, column in sites}
    c.reason = None
    return c


def brute(sites, matched):
    """The first site that no span holds (a span holds its start), or None."""
    for at in sites:
        if not any(lo == at or lo <= at < hi for lo, hi in matched):
            return at
    return None


@pytest.mark.parametrize("seed", range(40))
def test_covered_finds_the_first_site_outside_every_span(seed):
    rng = random.Random(seed)
    spans = []
    for _ in range(rng.randrange(0, 8)):
        lo = (rng.randrange(1, 6), rng.randrange(0, 6))
        hi = (lo[0] + rng.randrange(0, 2), rng.randrange(0, 8))
        spans.append((lo, hi))  # nested, overlapping, empty and backwards spans alike
    sites = list(dict.fromkeys((rng.randrange(1, 7), rng.randrange(0, 8)) for _ in range(rng.randrange(1, 8))))
    c = checker(sites)
    outside = brute(sites, spans)
    assert c.covered(spans) is (outside is None)
    if outside is not None:
        assert (c.reason.line, c.reason.column) == (outside[0], outside[1] + 1)


def test_covered_takes_n_log_n_comparisons():
    n = 4000
    # A site inside each span, the spans in the reverse order of the text.
    spans = [((Counted(i), Counted(0)), (Counted(i), Counted(9))) for i in range(n, 0, -1)]
    c = checker([(Counted(i), Counted(4)) for i in range(1, n + 1)])
    Counted.ops = 0
    assert c.covered(spans)
    assert Counted.ops < 100 * n  # n log n is about 12 n comparisons here; n squared, 4000 n


def _reference_unit_of(c, stmt, lo, hi):
    """The statement that `Check.unit_of` finds, found by reading every
    block through (as it was found before blocks were bisected)."""
    found = None
    top = stmt
    while True:
        for inner in units.inner_statements(stmt):
            if c.spans(inner, lo, hi):
                span = c.apart(inner)
                break
        else:
            header = c.header(stmt, stmt is top or found is not None and found[2] is stmt)
            if header is not None and header[0] <= lo and hi <= header[1]:
                return header
            return found
        stmt = inner
        if span is not None:
            found = (span[0], span[2], inner, False)


BLOCKS = '''class C(B):
    @staticmethod
    @other
    def f(x: torch.Tensor) -> int:
        a = 1; b = f(a); c = [
            a, b]
        try:
            pass
        except E as e:
            g(e)
        else:
            h(1)  # here
        finally:
            k = 2
        return a
    x = 1;  y = torch.Tensor
    if a:
        for i in b:
            while c: d(i)
        else:
            pass
    elif z:
        with m() as n, \\
                o():
            p()
'''


def _texts():
    here = os.path.dirname(os.path.abspath(__file__))
    found = [BLOCKS, "\n".join(BLOCKS.splitlines()[:1] + BLOCKS.splitlines()[1:] * 3)]
    for path in sorted(glob.glob(os.path.join(here, "realcode", "*.py")) + glob.glob(os.path.join(here, "excerpts",
                                                                                                 "*.py"))):
        with open(path, encoding="utf-8") as f:
            found.append(f.read())
    return found


@pytest.mark.parametrize("text", _texts())
def test_unit_of_finds_what_reading_every_block_through_finds(text):
    data = text.encode("utf-8")
    c = check.Check.__new__(check.Check)
    c.data, c.starts = data, line_starts(data)
    module = ast.parse(data)
    blocks = {}
    for top in module.body:
        for node in ast.walk(top):
            if getattr(node, "end_lineno", None) is None:
                continue
            lo = c.starts[node.lineno - 1] + node.col_offset
            hi = c.starts[node.end_lineno - 1] + node.end_col_offset
            for span in ((lo, hi), (lo, lo), (hi, hi)):
                assert c.unit_of(top, *span, blocks) == _reference_unit_of(c, top, *span)


class CountedLines(list):
    """Line starts that count how often they are read."""
    reads = 0

    def __getitem__(self, i):
        CountedLines.reads += 1
        return list.__getitem__(self, i)


def test_unit_of_reads_a_long_block_once():
    n = 3000
    text = "class C:\n" + "".join("    def f%d(self):\n        return g(%d)\n" % (i, i) for i in range(n))
    data = text.encode("utf-8")
    c = check.Check.__new__(check.Check)
    c.data, c.starts = data, CountedLines(line_starts(data))
    top = ast.parse(data).body[0]
    blocks = {}
    CountedLines.reads = 0
    for stmt in top.body:
        call = stmt.body[0].value
        at = c.starts[call.lineno - 1] + call.col_offset
        assert c.unit_of(top, at, at + 4, blocks)[2] is stmt.body[0]
    assert CountedLines.reads < 40 * n  # each edit reading the block through: n squared
