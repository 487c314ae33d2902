"""Findings of one rewrite: each change the splicer made, placed in the
original text, and the warnings worth a rule name.

The record type and the table of rules live in ``combined_source.utils.findings``
(which the command line reads without loading the rewriting machinery); see
there for what positions mean."""
import bisect
from typing import Dict, Tuple

from ..findings import Finding

__all__ = ["Finding", "Found", "changes", "warnings", "placed", "at_byte_column", "shown"]

SHOWN_MAX = 60  # characters of a text quoted in a message
# The message of each (old, new) pair of texts: the same few changes come
# back in file after file. Written a whole entry at a time (another thread
# may clear it).
_MESSAGES: Dict[Tuple[str, str], str] = {}
_MESSAGES_MAX = 4096
_FINDING = tuple.__new__  # a Finding from its eight fields, without the named tuple's Python constructor


class Found:
    """The change records of one splice: (rule, pieces, group) each, where
    the pieces are the byte edits that make the change and records of one
    group (the slots of one reversed tuple) make one finding. `tried` holds
    each change an edit was attempted for, as (rule of, arguments), made or
    not: a change inside an f-string that is rendered anew may fail for its
    own position alone."""

    def __init__(self):
        self.records = []
        self.tried = []

    def add(self, rule, pieces, group=None):
        self.records.append((rule, tuple(pieces), group))

    def mark(self):
        return len(self.records), len(self.tried)

    def move(self, since, pieces):
        """Puts the changes tried since `mark()` on the `pieces` instead of
        their own places, one record per rule (the parts of an f-string
        rendered anew, whose own positions are not the text's)."""
        records, tried = since
        rules = [rule_of(*args) for rule_of, args in self.tried[tried:]]
        self.records[records:] = [(rule, tuple(pieces), None) for rule in dict.fromkeys(rules)]


def placed(text, offset):
    """(line, column) from 1 of byte `offset` of `text` (a `positions.Text`),
    the column in characters."""
    line, column = text.place(offset)
    before = text.data[offset - column + 1:offset]
    return line, (column if before.isascii() else len(before.decode("utf-8", "replace")) + 1)


def shown(text):
    """`text` quoted for a message: one line, shortened."""
    text = " ".join(text.split())
    return "`%s`" % (text if len(text) <= SHOWN_MAX else text[:SHOWN_MAX - 3] + "...")


def _within(spans, start, end):
    """Whether [start, end) lies inside one of the sorted, disjoint `spans`."""
    i = bisect.bisect_right(spans, (start, float("inf"))) - 1
    return i >= 0 and spans[i][0] <= start and end <= spans[i][1]


def changes(text, found, applied):
    """The findings of the change records in `found` (a `Found`) against
    `text`, the original (a `positions.Text`), sorted by place. Only changes
    whose edits lie within the `applied` edits count: a change that was not
    made leaves no finding."""
    spans = sorted((start, end) for start, end, _ in applied)
    exact = set(spans)
    merged = {}  # (rule, group) -> index in `kept`
    kept = []
    for rule, pieces, group in found.records:
        if not pieces:
            continue
        for a, b, _ in pieces:
            if (a, b) not in exact and not _within(spans, a, b):
                break
        else:
            if group is not None:
                i = merged.get((rule, id(group)))
                if i is not None:
                    kept[i] = (rule, kept[i][1] + pieces)
                    continue
                merged[rule, id(group)] = len(kept)
            kept.append((rule, pieces))
    data = text.data
    starts = text.starts
    ascii_only = data.isascii()  # columns in characters are then columns in bytes
    bisect_right = bisect.bisect_right
    out, seen = [], set()
    messages = _MESSAGES
    for rule, pieces in kept:
        if len(pieces) == 1:
            lo, hi, new = pieces[0]
            new = new.decode("utf-8", "replace")
        else:
            lo, hi = min(p[0] for p in pieces), max(p[1] for p in pieces)
            new = text.apply(sorted(set(pieces)), lo, hi).decode("utf-8", "replace")
        if (rule, lo, hi) in seen:  # several changes inside one f-string rendered anew
            continue
        seen.add((rule, lo, hi))
        old = data[lo:hi].decode("utf-8", "replace")
        message = messages.get((old, new))
        if message is None:
            message = "remove %s" % shown(old) if not new else "%s -> %s" % (shown(old), shown(new))
            if len(messages) >= _MESSAGES_MAX:
                messages.clear()
            messages[old, new] = message
        if ascii_only:  # placed() without its calls: a change finding is made for every change
            line, end_line = bisect_right(starts, lo), bisect_right(starts, hi)
            out.append(_FINDING(Finding, (line, lo - starts[line - 1] + 1, end_line, hi - starts[end_line - 1] + 1,
                                          rule, message, old, new)))
        else:
            out.append(_FINDING(Finding, placed(text, lo) + placed(text, hi) + (rule, message, old, new)))
    out.sort()
    return out


def at_byte_column(text, line, column):
    """(line, column) with the 1-based byte `column` of `line` in `text`
    counted in characters; (1, 1) where the place is not known."""
    if line is None or not 1 <= line <= len(text.starts):
        return 1, 1
    if column is None:
        return line, 1
    start = text.starts[line - 1]
    return placed(text, min(start + column - 1, len(text.data)))


def warnings(text, notes, found, reason=None, fell_back=""):
    """The findings of the warnings of one rewrite: its notes of ambiguous
    shapes, (line, message) each, placed on the reversed shape they are
    about (among the change findings `found`), and the fall-back to whole
    rendering when `reason` (why) is given. (Notes of other kinds come with
    findings of their own.)"""
    out = []
    for note in notes:  # (line, message), or (line, column, message)
        line, message = note[0], note[-1]
        if not message.startswith("ambiguous shape"):
            continue
        at = next((f for f in found if f.rule == "weight-shape" and f.line == line), None)
        span = at[:4] if at is not None else (line, 1, line, 1)
        out.append(Finding(*span, "ambiguous-shape", message))
    if reason is not None:
        place = at_byte_column(text, reason.line, reason.column)
        out.append(Finding(*place, *place, "whole-rendering", "%s: %s" % (fell_back, reason.what)))
    return out
