"""The check on a file with many changes: which changes it finds covered by
the compared nodes, and that it finds them in n log n comparisons (a file of
5 MiB holds tens of thousands of changes and of compared nodes)."""
import random

import pytest

from combined_source.utils.rewrite import check


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
