"""The check of a spliced text: it must parse to the rewritten tree. The
changed expressions, or else the changed top-level statements, are parsed
on their own where that is sure to give what a parse of the whole text
gives; otherwise the whole text is."""
import ast
import bisect
import functools
import sys

import gast

from ..convert import ast_to_gast
from . import comments
from .inplace import InPlace
from .positions import Reason, continued, layout, line_starts, reaches
from .trees import same, same_as_parsed, same_tree
from .units import BLOCKS, Units

# Python 3.8 ends the position of a keyword-only or star argument at its
# name, before its annotation.
ARG_ENDS_AT_NAME = sys.version_info < (3, 9)
# Nodes whose own text lies partly outside their position: a def's or
# class's decorators are written before it (and 3.8's arguments above).
# From 3.9 (its new parser) a SyntaxError's offset counts characters of its
# line; 3.8's counts bytes where the tree builder raised it.
OFFSET_IN_CHARACTERS = sys.version_info >= (3, 9)
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


# Statements parsed apart from their top-level statement cost a parse each:
# when they hold more than this share of its text, it is parsed whole.
APART_SHARE = 0.5
# Nor is a top-level statement shorter than APART_FROM bytes plus
# APART_PER_EDIT bytes for each edit in it: finding each edit's statement and
# parsing it costs about what a parse of that many bytes of text does, so a
# small statement with many edits is parsed whole without the search (one
# function with an edit or two is still parsed apart).
APART_FROM = 0
APART_PER_EDIT = 96


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


class Check(Units, InPlace):
    """The check, as part of the splicer: `data` and `starts` are the
    original text's bytes and line starts, `sites` the changed places. A
    rejection leaves its reason (the construct, line and column of the first
    difference in the original text) in `reason`. The statements it parsed
    apart and found as rewritten are kept in `parts` (see `parsed_apart`),
    the changed expressions it parsed on their own in `expressions`: (first
    byte in the spliced text, byte after it, its parse as at column 0 of a
    line) each, proved as it stands there (what the parse of the whole text
    holds in those bytes, the parse holds, shifted to them)."""

    parts = ()
    expressions = None
    _spliced_starts = None

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
        first = lines[max(1, min(line, len(lines))) - 1]
        if OFFSET_IN_CHARACTERS:
            text = spliced[first:first + 4 * column].decode("utf-8", "replace")  # holds `column` characters
            column = len(text[:column - 1].encode("utf-8")) + 1
        at = first + column - 1  # an error may be placed past the end
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
        self.parts, self.expressions, self._spliced_starts = (), None, None  # those of this spliced text only
        self._formatted = None
        if not self.comments_kept(body, output, edits):
            return False
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

    def comments_kept(self, body, output, edits):
        """Whether the spliced text `output` holds every comment of the
        original text `body`: counted (by their tokens) when an edit's old
        or new text holds a ``#``, since elsewhere the text stays as it was."""
        data = self.data
        if not any(b"#" in text or data.find(b"#", start, end) >= 0 for start, end, text in edits):
            return True
        before, after = comments.counted(body), comments.counted(output)
        if before is None:
            return self.reject("the comments of the text cannot be counted", None, None)
        if after is None or before == after:
            return True  # spliced text that does not tokenize does not parse either: the parse tells
        gone = before - after
        for start, end, text in sorted(edits):
            held = comments.found(data[start:end].decode("utf-8"))
            if held is None or any(c in gone for c, _, _ in held):
                line, column = self.place(start)
                return self.reject("a comment of the replaced text is lost", line, column - 1)
        what = "the comments differ (%d lost, %d new)" % (sum(gone.values()), sum((after - before).values()))
        return self.reject(what, self.place(edits[0][0])[0], None)

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
        found by parsing only the changed expressions of each top-level
        statement that holds a change (see `InPlace`), or where that cannot
        prove it the statement or the statements in it that changed; None
        when that cannot be relied on. `statements` are the first and
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
        # Every edit and every changed site must lie inside one group. The
        # sites by start, the longest first: (start, end, key).
        spans = sorted(((lines[k[0] - 1] + k[1], lines[k[2] - 1] + k[3], k) for k in self.sites),
                       key=lambda span: (span[0], -span[1]))
        marks = [span[0] for span in spans]
        count, n_marks = len(starts), len(marks)
        i = j = 0
        matched = []
        deferred = []  # (group, its changed expressions): parsed together at the end
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
            group = (first, indices, lo, hi, i, k, marks[j_group:j])
            expressions = self.in_place(spans[j_group:j], i, k, lo, hi, places, spliced)
            if expressions is not None:
                deferred.append((group, expressions))
            elif not self.statements_proved(module, group, places, spliced, matched):
                return None
            i = k
        if i != count or j != n_marks:
            return None
        if deferred and not self.deferred_proved(deferred, module, places, spliced, matched):
            return None
        return self.covered(matched)

    def deferred_proved(self, deferred, module, places, spliced, matched):
        """Whether the groups `deferred` (group, its changed expressions) are
        proved: each by its expressions parsed in place, else by its
        statements (see statements_proved)."""
        for (group, expressions), nodes in zip(deferred, self.parsed_in_place([e for _, e in deferred])):
            if nodes is not None:
                if self.expressions is None:
                    self.expressions = []
                for (key, _, text, _, at), node in zip(expressions, nodes):
                    matched.append(((key[0], key[1]), (key[2], key[3])))
                    self.expressions.append((at, at + len(text), node))
            elif not self.statements_proved(module, group, places, spliced, matched):
                return False
        if self.parts:
            self.parts.sort(key=lambda part: part[0])
        return True

    def statements_proved(self, module, group, places, spliced, matched):
        """Whether the changes of `group` (first line, statement indexes in
        `module`, first byte, byte after it, its edits `i` to `k` - 1, its
        sites' starts) are proved by parsing its changed statements apart or
        the whole group."""
        first, indices, lo, hi, i, k, group_marks = group
        shift = places[2]
        apart = module is not None and hi - lo >= APART_FROM + APART_PER_EDIT * (k - i)
        return (apart and self.statements_parse_alike(
            [module.body[x] for x in indices], i, k, group_marks, places, spliced, matched, hi - lo)) \
            or self.group_parses_alike(module, first, indices, lo, hi, lo + shift[i], hi + shift[k],
                                       places, spliced, matched)

    def statements_parse_alike(self, statements, i, k, marks, places, spliced, matched, size):
        """Whether the edits `i` to `k` - 1 (all inside the top-level
        `statements`, whose changed sites are at the byte offsets `marks`)
        are proved by parsing only the innermost statements around them that
        can be parsed apart (`apart`), each on its own; False when that
        cannot be relied on, or when they make up more than `APART_SHARE` of
        the group's `size` bytes (the caller then parses the whole group).

        Why a statement parsed apart proves its splice: it is indented (it
        lies in a block), its first line (its first decorator's) holds
        nothing before it but the indentation of the statement itself and is
        not continued from the line before, and its last line holds nothing
        after it but a comment. So in the whole text the tokenizer reaches
        its first line at the start of a logical line, out of brackets, with
        this indentation on top of its stack of indentations; and the line
        after it begins a logical line of no more indentation, which pops
        whatever the statement pushed, so the text after it tokenizes as
        before. Its spliced text, from the start of its first line to the
        end of its last, is parsed under a line ``if 1:``, which gives the
        tokenizer the same state at its first line (its indentation alone on
        a stack over 0). The lines of the statement indented more than it
        then tokenize as in the whole text, their indentations being pushed
        and popped alike above it; a line indented as much as the statement
        would be a second statement in the block (refused: the block must
        hold exactly one), or a clause of the statement itself (``else:``,
        the same in both); a line indented less would leave the block in one
        text but not the other, and is refused too: at no indentation it
        would be a second statement of the module, at any other the
        tokenizer refuses it, as no such level is on its stack. Comment and
        blank lines count nowhere, and lines inside brackets, strings or
        after a backslash are not indentation. The statement then parses as
        it would in the whole text (the parser takes `return`, `yield`,
        `await`, `break` or `nonlocal` anywhere; refusing them out of place
        is the compiler's work), with the same positions a line lower."""
        data = self.data
        lines = self.starts
        starts, ends, shift = places
        units = []  # (first byte, byte after its last line, statement, header alone) of each edit
        blocks = {}  # statement -> its inner statements with their spans, for unit_of
        for x in range(i, k):
            unit = None
            for top in statements:
                unit = self.unit_of(top, starts[x], ends[x], blocks)
                if unit is not None:
                    break
            if unit is None:
                return False
            units.append(unit)
        # An edit in a statement that holds another edit's: the outer one is parsed.
        order = sorted(set(units), key=lambda u: (u[0], -u[1]))
        kept = []
        for unit in order:
            if not kept or unit[0] >= kept[-1][1]:
                kept.append(unit)
        if sum(hi - lo for lo, hi, _, _ in kept) > APART_SHARE * size:
            return False  # most of the group's `size` bytes: one parse of it costs less
        firsts = [u[0] for u in kept]
        for at in marks:
            n = bisect.bisect_right(firsts, at) - 1
            if n < 0 or at >= kept[n][1]:
                return False  # a changed site that no parsed statement would compare
        def lo_of(stmt):
            return lines[stmt.lineno - 1] + stmt.col_offset

        marked = set(marks)
        x = i
        for lo, hi, stmt, only_header in kept:
            if only_header and lo_of(stmt) in marked:
                return False  # the statement itself is a changed site: compared whole
            while x < k and starts[x] < lo:
                x += 1
            y = x
            while y < k and starts[y] < hi:
                y += 1
            if y == x:
                return False  # a changed site with no edit in its statement
            new_lo, new_hi = lo + shift[x], hi + shift[y]
            if not self.parses_apart(stmt, only_header, new_lo, new_hi, places, spliced, matched):
                return False
            x = y
        return x == k

    def parses_apart(self, stmt, only_header, lo, hi, places, spliced, matched):
        """Whether `spliced[lo:hi]`, the spliced text of statement `stmt`
        (or of its header alone, from its first line to its block's),
        parses apart to the rewritten statement (see statements_parse_alike).
        A header is parsed with an indented ``pass`` as its block, which
        must stand on the line after it as the block's one statement (so the
        header ends its logical line as it did before its block), and is
        compared field by field, its blocks left out."""
        col = stmt.col_offset
        text = spliced[lo:hi].decode("utf-8")
        if only_header:
            if continued(spliced, hi):
                return False
            at = self.starts[stmt.lineno - 1]
            text += self.data[at:at + col].decode("utf-8") + " pass\n"
        try:
            part = parse("if 1:\n" + text if col else text).body
        except Exception:
            return False
        if col:
            if len(part) != 1 or type(part[0]) is not ast.If or part[0].orelse:
                return False
            part = part[0].body
        if len(part) != 1:
            return False
        part_lines = ([lo] if col else []) + line_starts(spliced, lo, hi)  # line 1 is the "if 1:"
        if not only_header:
            return self.compare(stmt, part[0], places, part_lines, 0, matched) and self.parsed_apart(
                part[0], lo, hi, bool(col), spliced)
        new = part[0]
        block = new.body if type(new) is type(stmt) else None
        if not block or len(block) != 1 or type(block[0]) is not ast.Pass or block[0].lineno != len(part_lines):
            return False
        for f in stmt._fields:
            if f in BLOCKS:
                continue
            a, b = getattr(stmt, f, None), getattr(new, f, None)
            if type(a) is list:
                if type(b) is not list or len(a) != len(b):
                    return False
                pairs = zip(a, b)
            else:
                pairs = ((a, b),)
            for u, v in pairs:
                if isinstance(u, ast.AST):
                    if not self.compare(u, v, places, part_lines, 0, matched):
                        return False
                elif type(u) is not type(v) or u != v:
                    return False
        return self.parsed_apart(new, lo, hi, bool(col), spliced)

    def parsed_apart(self, stmt, lo, hi, shifted, spliced):
        """Keeps statement `stmt`, parsed apart from the lines of the spliced
        text `spliced` from byte `lo` to `hi` (line starts, or `hi` its end)
        and found as rewritten, in `parts` as (its first line in the spliced
        text, the number of lines, a module of it alone, the line of the
        module that is the first of those lines). What such a parse holds on
        each of those lines is what the parse of the whole text holds there
        (with positions a line lower when `shifted`), so a search of the
        spliced text for a name may read them instead of parsing again.
        True."""
        starts = self._spliced_starts
        if starts is None:
            starts = self._spliced_starts = line_starts(spliced)
        if not self.parts:
            self.parts = []
        first = bisect.bisect_right(starts, lo)
        count = bisect.bisect_left(starts, hi) - first + 1
        self.parts.append((first, count, ast.Module(body=[stmt], type_ignores=[]), 1 + shifted))
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
        """Whether every change lies inside a node compared as rewritten
        (each change is looked up among the spans sorted by their start, in
        logarithmic time: a file may hold tens of thousands of both)."""
        found = {lo for lo, _ in matched}
        starts, reach = reaches(matched)
        for k in self.sites:
            at = k[:2]
            if at in found:
                continue
            n = bisect.bisect_right(starts, at) - 1
            if n < 0 or not at < reach[n]:
                return self.reject("changed %s not compared" % k[4], k[0], k[1])
        return True
