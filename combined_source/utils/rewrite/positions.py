"""Positions in the UTF-8 bytes of a text, and byte edits applied in one pass.

Line numbers count ``\\r\\n``, ``\\r`` and ``\\n`` as line ends, as the
parser does; column offsets count UTF-8 bytes.
"""
import bisect
import itertools
import re
from typing import NamedTuple, Optional

LINE_END = re.compile(rb"\r\n|\r|\n")


class Unsupported(Exception):
    """A change that the splicer cannot express in the original text."""


class Reason(NamedTuple):
    """Why a splice cannot be used: what differs, and where in the original
    text (line and column from 1, UTF-8 bytes; None when not known)."""

    what: str
    line: Optional[int] = None
    column: Optional[int] = None

    def __str__(self):
        if self.line is None:
            return self.what
        return "%s at line %d%s" % (self.what, self.line, "" if self.column is None else ", column %d" % self.column)


def line_starts(data, lo=0, hi=None, first=None):
    """Byte offsets of the line starts of `data[lo:hi]` (the first is `first`,
    by default `lo`)."""
    # bytes.splitlines ends lines at exactly the parser's line ends; summing
    # the lengths of the lines is quicker than a regex search over them.
    lines = (data[lo:hi] if lo or hi is not None else data).splitlines(True)
    if lines and lines[-1][-1:] not in _BREAKS:  # a last line without its end
        lines.pop()
    ends = itertools.accumulate(map(len, lines), initial=lo)
    next(ends)
    starts = [lo if first is None else first]
    starts += ends
    return starts


_BREAKS = (b"\n", b"\r")


def reaches(spans):
    """The starts of `spans` (pairs), sorted, and the furthest end of the
    spans up to each: a point lies inside one of them when it lies before the
    reach of the last span starting at or before it."""
    spans = sorted(spans)
    return [a for a, _ in spans], list(itertools.accumulate((b for _, b in spans), max))


class Text:
    """The bytes of a text with its line starts: node spans and edits."""

    def __init__(self, data):
        self.data = data
        self.starts = line_starts(data)

    def place(self, offset):
        """(line, column) from 1 of byte `offset` of the text."""
        line = bisect.bisect_right(self.starts, offset)
        return line, offset - self.starts[line - 1] + 1

    def span(self, node):
        """Byte offsets of `node`'s source text, or None when it has none."""
        line = getattr(node, "lineno", None)
        end = getattr(node, "end_lineno", None)
        if line is None or end is None:
            return None
        starts = self.starts
        return starts[line - 1] + node.col_offset, starts[end - 1] + node.end_col_offset

    def apply(self, edits, lo=0, hi=None):
        """`data[lo:hi]` with the edits (byte ranges inside it) applied."""
        data = self.data
        hi = len(data) if hi is None else hi
        edits.sort(key=lambda e: (e[0], e[1]))
        out, at = [], lo
        for start, end, text in edits:
            if start < at or end > hi:
                raise Unsupported("overlapping changes")
            out.append(data[at:start])
            out.append(text)
            at = end
        out.append(data[at:hi])
        return b"".join(out)

    def in_parentheses(self, start, end):
        data = self.data
        i, j = start - 1, end
        while i >= 0 and data[i] in b" \t":
            i -= 1
        while j < len(data) and data[j] in b" \t":
            j += 1
        return i >= 0 and data[i] == 40 and j < len(data) and data[j] == 41  # ( and )

    def widened(self, where, outer):
        """`where` grown over each pair of parentheses directly around it that
        lies inside `outer` and is not `outer`'s own."""
        start, end = where
        data = self.data
        while self.in_parentheses(start, end):
            i, j = start - 1, end
            while data[i] in b" \t":
                i -= 1
            while data[j] in b" \t":
                j += 1
            if i < outer[0] or j + 1 > outer[1] or (i, j + 1) == tuple(outer):
                break
            start, end = i, j + 1
        return start, end


def layout(edits):
    """The sorted edits' starts, ends and the shift (bytes added) before each."""
    starts = [e[0] for e in edits]
    ends = [e[1] for e in edits]
    shift = [0]
    for start, end, text in edits:
        shift.append(shift[-1] + len(text) - (end - start))
    return starts, ends, shift


def continued(data, at):
    """Whether the line that ends just before byte `at` ends in a backslash
    (a line continuation, or a comment that looks like one)."""
    if at >= 2 and data[at - 2:at] == b"\r\n":
        at -= 2
    elif at >= 1 and data[at - 1:at] in (b"\n", b"\r"):
        at -= 1
    return at >= 1 and data[at - 1:at] == b"\\"
