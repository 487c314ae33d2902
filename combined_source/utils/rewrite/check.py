"""The check of a spliced text: it must parse to the rewritten tree. The
changed top-level statements are parsed on their own where that is sure to
give what a parse of the whole text gives; otherwise the whole text is."""
import ast
import bisect
import functools
import re
import sys

import gast

from ..convert import ast_to_gast
from .positions import Reason, continued, layout, line_starts
from .trees import same, same_as_parsed, same_tree

# Python 3.8 ends the position of a keyword-only or star argument at its
# name, before its annotation.
ARG_ENDS_AT_NAME = sys.version_info < (3, 9)
# Nodes whose own text lies partly outside their position: a def's or
# class's decorators are written before it (and 3.8's arguments above).
WIDENED = frozenset((ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef) + ((ast.arg,) if ARG_ENDS_AT_NAME else ()))


def parse(text):
    """The standard parse of `text`; null bytes are a SyntaxError too."""
    try:
        return ast.parse(text)
    except ValueError as e:  # 3.8 to 3.11 refuse null bytes with ValueError
        raise SyntaxError(str(e)) from None


def statement_lines(module):
    """The first and last line of each top-level statement (decorators
    included), or None when one has no position."""
    lines = []
    for stmt in module.body:
        first, end = getattr(stmt, "lineno", None), getattr(stmt, "end_lineno", None)
        if first is None or end is None:
            return None
        for d in getattr(stmt, "decorator_list", ()):
            first = min(first, d.lineno)
        lines.append((first, end))
    return lines


def widened(node, start, end, lines, off):
    """The span `start`, `end` of parsed node `node` (of a WIDENED kind, its
    lines counted from line `off` + 1 of `lines`) grown over the text that
    is its own but lies outside its position."""
    if type(node) is ast.arg:
        note = node.annotation
        if note is not None:
            end = max(end, lines[note.end_lineno - 1 + off] + note.end_col_offset)
    elif node.decorator_list:
        first = node.decorator_list[0]
        start = lines[first.lineno - 1 + off] + first.col_offset
    return start, end


def position_of(before, after, a, b):
    """(line, column) of the pair `a`, `b` found walking `before` and
    `after` side by side, or of the nearest node above it with a position."""
    stack = [(before, after, None)]
    while stack:
        x, y, at = stack.pop()
        if getattr(x, "lineno", None) is not None:
            at = (x.lineno, x.col_offset)
        if x is a and y is b:
            return at
        if type(x) is type(y):
            stack.extend((u, v, at) for u, v in zip(ast.iter_child_nodes(x), ast.iter_child_nodes(y)))
    return None


def first_unmatched(xs, ys):
    """(line, column) of the first node of list `xs` that has no node of its
    kind at its index in list `ys`; None when not known."""
    if type(xs) is not list or type(ys) is not list:
        return None
    for i, x in enumerate(xs):
        if i >= len(ys) or type(x) is not type(ys[i]):
            return (x.lineno, x.col_offset) if getattr(x, "lineno", None) is not None else None
    return None


# The fields of the statements that hold blocks of statements.
_BLOCKS = ("body", "orelse", "finalbody", "handlers", "cases")
# What may follow a statement on its last line: blanks, a comment, the line
# end (no semicolon, no backslash).
_TAIL = re.compile(rb"[ \t\x0c]*(?:#[^\r\n]*)?(?:\r\n|\r|\n)?\Z")


def simple_statements(statements):
    """The statements below `statements` (and they themselves) that hold no
    block, in the order of the text."""
    found = []
    stack = list(reversed(statements))
    while stack:
        stmt = stack.pop()
        blocks = [getattr(stmt, f) for f in _BLOCKS if hasattr(stmt, f)]
        if not blocks:
            found.append(stmt)
            continue
        inner = []
        for block in blocks:
            for s in block:  # handlers and match cases hold their block in `body`
                inner.extend(s.body if not isinstance(s, ast.stmt) else (s,))
        inner.sort(key=lambda s: (s.lineno, s.col_offset))
        stack.extend(reversed(inner))
    return found


def statement_groups(statements):
    """Statements sharing a line are one group: [first line, last line, their indexes]."""
    groups = []
    for index, (first, end) in enumerate(statements):
        if groups and first <= groups[-1][1]:
            group = groups[-1]
            group[1] = max(group[1], end)
            group[2].append(index)
        else:
            groups.append([first, end, [index]])
    return groups


class Check:
    """The check, as part of the splicer: `data` and `starts` are the
    original text's bytes and line starts, `sites` the changed places. A
    rejection leaves its reason (the construct, line and column of the first
    difference in the original text) in `reason`."""

    def reject(self, what, line, column):
        """Records why the check rejects the splice (`column` counts from 0,
        None when not known); returns False."""
        self.reason = Reason(what, line, None if column is None else column + 1)
        return False

    def unspliced_place(self, places, spliced, line, column):
        """(line, column) from 1 in the original text of the place at `line`,
        `column` (from 1) of the spliced text; a place inside an edit's new
        text is the start of the text it replaced."""
        starts, ends, shift = places
        lines = line_starts(spliced)
        at = lines[max(1, min(line, len(lines))) - 1] + column - 1  # an error may be placed past the end
        k = bisect.bisect_right([start + shift[i] for i, start in enumerate(starts)], at) - 1
        if k >= 0:
            at = starts[k] if at < ends[k] + shift[k + 1] else at - shift[k + 1]
        return self.place(max(0, min(at, len(self.data))))

    def check(self, original, lines, body, edits, spliced, output):
        """Whether the spliced text `output` parses to the rewritten tree.
        The changed top-level statements (`lines` gives each statement's first
        and last line) are parsed on their own where that is sure to give what
        a parse of the whole text gives; otherwise, or when that does not
        prove it, the whole text is parsed and compared with `original`, the
        parse of the original text `body` (parsed again when None)."""
        places = layout(edits)
        if lines and self.verify_statements(original, lines, places, spliced):
            return True
        if original is None:
            original = parse(body)
        try:
            after = parse(output)
        except SyntaxError as e:
            line, column = self.unspliced_place(places, spliced, e.lineno or 1, e.offset or 1)
            return self.reject("spliced text does not parse (%s)" % e.msg, line, column - 1)
        return self.verify(original, after, edits, spliced, places)

    def verify(self, before, after, edits, spliced, places=None):
        """Whether `after` (the parse of the whole spliced text) equals
        `before` (the parse of the original text) everywhere outside the
        changed nodes, and each changed node's parse equals its rewritten
        node."""
        matched = []
        return (self.compare(before, after, places or layout(edits), line_starts(spliced), 0, matched)
                and self.covered(matched))

    def verify_statements(self, module, statements, places, spliced):
        """Whether the parse of the spliced text equals the rewritten tree,
        found by parsing only the top-level statements that hold a change;
        None when that cannot be relied on. `statements` are the first and
        last lines of the top-level statements of the original text, whose
        parse is `module`, or None: the changed statements' original text is
        then parsed again.

        A top-level statement that starts a line, after a line that does not
        end in a backslash, is where the tokenizer starts afresh; text between
        such points that parses on its own parses the same inside the whole
        text, and the unchanged text around it parses as it did."""
        data = self.data
        if b"barry_as_FLUFL" in data:  # a future import that changes the grammar
            return None
        starts, ends, shift = places
        if not starts:
            return None
        lines = self.starts
        size = len(data)
        last = len(lines)
        # Every edit and every changed site must lie inside one group.
        marks = sorted(lines[k[0] - 1] + k[1] for k in self.sites)
        count, n_marks = len(starts), len(marks)
        i = j = 0
        matched = []
        for first, end, indices in statement_groups(statements):
            if i == count and j == n_marks:
                break
            lo = lines[first - 1]
            hi = lines[end] if end < last else size
            if (i < count and starts[i] < lo) or (j < n_marks and marks[j] < lo):
                return None  # a change before this group, outside every statement
            k = i
            while k < count and starts[k] < hi:
                if ends[k] > hi:
                    return None
                k += 1
            j_group = j
            while j < n_marks and marks[j] < hi:
                j += 1
            if k == i:
                continue  # no edit in this group: its text is unchanged
            group_marks = marks[j_group:j]
            if not (module is not None and self.simple_statements_parse_alike(
                    [module.body[x] for x in indices], i, k, group_marks, places, spliced, matched)) \
                    and not self.group_parses_alike(module, first, indices, lo, hi, lo + shift[i], hi + shift[k],
                                                    places, spliced, matched):
                return None
            i = k
        if i != count or j != n_marks:
            return None
        return self.covered(matched)

    def simple_statements_parse_alike(self, statements, i, k, marks, places, spliced, matched):
        """Whether the edits `i` to `k` - 1 (all inside the top-level
        `statements`, whose changed sites are at the byte offsets `marks`)
        are proved by parsing only the simple statements that hold them, each
        on its own; False when that cannot be relied on (the caller then
        parses the whole group).

        Why the text of one simple statement parsed on its own proves it: the
        statement starts a line after nothing but indentation, on a line not
        continued from the one before, and its last line holds nothing after
        it but a comment, with no backslash at its end. So in the whole text
        the tokenizer reaches its first character at the start of a logical
        line, out of brackets, with its indentation measured from text the
        splice left alone; and it leaves its last line in the same state, so
        the text after it tokenizes as before. The spliced text of the
        statement (from its first character to the end of its last line) must
        parse on its own to exactly one simple statement placed at line 1,
        column 0: so it begins with that statement (not with a comment or a
        blank line, which would move it to another line and indentation in
        the whole text), and every later line of it is a continuation inside
        the statement (brackets, strings or backslashes, where indentation
        does not count) or a trailing comment or blank line (which the
        tokenizer skips at any indentation); a second statement is refused,
        and so is a compound one (a block whose lines would be read at
        another indentation) by the comparison of kinds. The tokens of the statement are then those it has on its own
        but for the indentation and the line end around them, and a simple
        statement parses the same at module level as inside a block (the
        parser takes `return`, `yield`, `await`, `break` or `nonlocal`
        anywhere; refusing them out of place is the compiler's work). Its
        positions map back as the group's do."""
        data = self.data
        lines = self.starts
        starts, ends, shift = places
        leaves = simple_statements(statements)
        firsts = [lines[stmt.lineno - 1] + stmt.col_offset for stmt in leaves]
        owner = []  # for each edit, the index of the simple statement holding it
        for x in range(i, k):
            n = bisect.bisect_right(firsts, starts[x]) - 1
            if n < 0:
                return False
            stmt = leaves[n]
            if ends[x] > lines[stmt.end_lineno - 1] + stmt.end_col_offset:
                return False
            owner.append(n)
        held = set(owner)
        for at in marks:
            n = bisect.bisect_right(firsts, at) - 1
            if n not in held or at > lines[leaves[n].end_lineno - 1] + leaves[n].end_col_offset:
                return False  # a changed site that no parsed statement would compare
        size = len(data)
        x = i
        while x < k:
            n = owner[x - i]
            y = x
            while y < k and owner[y - i] == n:
                y += 1
            stmt = leaves[n]
            first = lines[stmt.lineno - 1]
            lo = firsts[n]
            end = lines[stmt.end_lineno - 1] + stmt.end_col_offset
            hi = lines[stmt.end_lineno] if stmt.end_lineno < len(lines) else size
            if data[first:lo].strip(b" \t\x0c") or continued(data, first) or not _TAIL.match(data, end, hi):
                return False
            new_lo, new_hi = lo + shift[x], hi + shift[y]
            try:
                part = parse(spliced[new_lo:new_hi].decode("utf-8")).body
            except Exception:
                return False
            if len(part) != 1 or part[0].lineno != 1 or part[0].col_offset != 0:
                return False
            if not self.compare(stmt, part[0], places, line_starts(spliced, new_lo, new_hi), 0, matched):
                return False
            x = y
        return True

    def group_parses_alike(self, module, first, indices, lo, hi, new_lo, new_hi, places, spliced, matched):
        """Whether the group of statements at `data[lo:hi]` (their indexes
        in `module`, which starts at line `first`), spliced into
        `spliced[new_lo:new_hi]`, parses on its own to the rewritten
        statements."""
        data = self.data
        if data[lo:lo + 1] in (b" ", b"\t", b"\x0c") or continued(data, lo):
            return False
        old_off = 0
        if module is not None:
            stmts = [module.body[x] for x in indices]
        else:
            if continued(data, hi) and hi < len(data):
                return False
            try:
                stmts = parse(data[lo:hi].decode("utf-8")).body
            except Exception:
                return False
            if len(stmts) != len(indices):
                return False
            old_off = first - 1
        if continued(spliced, new_hi) and new_hi < len(spliced):
            return False
        try:
            part = parse(spliced[new_lo:new_hi].decode("utf-8"))
        except Exception:
            return False  # judged on the whole text instead
        if len(part.body) != len(stmts):
            return False
        part_lines = line_starts(spliced, new_lo, new_hi)  # where the part's lines start in the spliced text
        for a, b in zip(stmts, part.body):
            if not self.compare(a, b, places, part_lines, old_off, matched):
                return False
        return True

    def compare(self, before, after, places, new_lines, old_off, matched):
        """Whether the parse `after` equals `before` (the parse of the
        original text) everywhere outside the changed nodes, and each changed
        node's parse equals its rewritten node; the changed nodes compared
        are added to `matched`. `new_lines` are the byte offsets in the
        spliced text of the lines that `after` counts; `before` counts lines
        from line `old_off` + 1 of the original text.

        A node whose original span holds no edit and whose new span is its
        old span moved by the edits before it has the same text in the same
        context, so its parse is the same: it is not compared further."""
        sites = self.sites
        starts, ends, shift = places
        count = len(starts)
        old_lines = self.starts
        bisect_right = bisect.bisect_right

        def settle(a, b):
            line = getattr(a, "lineno", None)
            if line is None:
                return None
            kind = type(a)
            line += old_off
            end = a.end_lineno
            if end is not None:
                end += old_off
            if kind is type(b) and end is not None and b.end_lineno is not None:
                s1 = old_lines[line - 1] + a.col_offset
                e1 = old_lines[end - 1] + a.end_col_offset
                s2 = new_lines[b.lineno - 1] + b.col_offset
                e2 = new_lines[b.end_lineno - 1] + b.end_col_offset
                if kind in WIDENED:
                    s1, e1 = widened(a, s1, e1, old_lines, old_off)
                    s2, e2 = widened(b, s2, e2, new_lines, 0)
                i = bisect_right(ends, s1)
                if (i == count or starts[i] >= e1) and s2 == s1 + shift[i] and e2 == e1 + shift[i]:
                    return True  # no edit inside, and moved by the edits before it
            node = sites.get((line, a.col_offset, end, a.end_col_offset, "Name" if kind is ast.arg else kind.__name__))
            if node is None:
                return None
            if not isinstance(b, ast.AST):
                return self.reject("changed %s not parsed as a node" % kind.__name__, line, a.col_offset)
            equal = same_as_parsed(b, node)
            if equal is None:  # a node kind that the conversion to gast changes
                equal = same_tree(ast_to_gast(b), node)
            if not equal:
                return self.reject("changed %s does not parse to its rewrite" % kind.__name__, line, a.col_offset)
            matched.append(((line, a.col_offset), (end, a.end_col_offset)))
            return True

        report = functools.partial(self.reject_difference, before, after, old_off=old_off,
                                   first_edit=starts[0] if starts else None)
        return same(before, after, settle=settle, report=report)

    def reject_difference(self, before, after, a, b, field, old_off, first_edit):
        """Rejects for the difference that the tree walk found between `a`
        and `b` (in `field`; None: in their kinds), placed at that pair or the
        nearest node above it with a position, else at `first_edit` (a byte
        offset of the original text: where the text changed)."""
        what = "%s parsed as %s" % (type(a).__name__, type(b).__name__) if field is None else (
            "%s.%s differs" % (type(a).__name__, field))
        at = position_of(before, after, a, b)
        if at is None and field is not None:  # a list of a node without a position
            at = first_unmatched(getattr(a, field, None), getattr(b, field, None))
        if at is not None:
            return self.reject(what, at[0] + old_off, at[1])
        if first_edit is None:
            return self.reject(what, None, None)
        line, column = self.place(first_edit)
        return self.reject(what, line, column - 1)

    def covered(self, matched):
        """Whether every change lies inside a node compared as rewritten."""
        found = {lo for lo, _ in matched}
        for k in self.sites:
            if k[:2] not in found and not any(lo <= k[:2] < hi for lo, hi in matched):
                return self.reject("changed %s not compared" % k[4], k[0], k[1])
        return True
