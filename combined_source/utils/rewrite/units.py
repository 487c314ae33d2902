"""Where a change of a spliced text can be checked by parsing less than its
top-level statement: the innermost statement around it that can be parsed
apart from the text around it, or the header of one (see
`Check.statements_parse_alike` for why such a parse proves the splice)."""
import ast
import bisect
import re

from .positions import continued

# The fields of the statements that hold blocks of statements.
BLOCKS = ("body", "orelse", "finalbody", "handlers", "cases")
# Statements whose header can be parsed apart from their block (with no
# clause of their own, or clauses that follow the block).
_HEADED = frozenset((ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.If, ast.For, ast.AsyncFor, ast.While,
                     ast.With, ast.AsyncWith))
# What may follow a statement on its last line: blanks, a comment, the line
# end (no semicolon, no backslash).
_TAIL = re.compile(rb"[ \t\x0c]*(?:#[^\r\n]*)?(?:\r\n|\r|\n)?\Z")


def inner_statements(stmt):
    """The statements of the blocks that `stmt` holds, in the order of the
    text (those of except clauses and match cases included)."""
    inner = []
    for f in BLOCKS:
        for s in getattr(stmt, f, ()):
            if isinstance(s, ast.stmt):
                inner.append(s)
            else:  # an except clause or a match case: its block
                inner.extend(s.body)
    if len(inner) > 1 and any(getattr(stmt, f, None) for f in BLOCKS[1:]):
        inner.sort(key=lambda s: (s.lineno, s.col_offset))
    return inner



class Units:
    """The search of a `positions.Text` (its bytes `data`, line starts
    `starts`) for the statements to parse apart."""

    def unit_of(self, stmt, lo, hi, blocks=None):
        """(first byte, byte after its last line, statement, whether only its
        header) of the innermost statement below the top-level `stmt`, or of
        the header of one, that holds bytes `lo` to `hi` and can be parsed
        apart; None when there is none. `blocks` (a dict) keeps each
        statement's inner statements and their spans between calls: a block
        of many statements is then searched by bisection, not read through
        for each edit."""
        if blocks is None:
            blocks = {}
        found = None
        top = stmt
        while True:
            block = blocks.get(stmt)
            if block is None:
                block = blocks[stmt] = self.block_of(stmt)
            inner_stmts, firsts, lasts = block
            # The first inner statement that starts its first line at or
            # before `lo` and ends at or after `hi`: both bounds rise from
            # one statement to the next, so those starting early enough are
            # a prefix and those ending late enough a suffix.
            if firsts is None:  # positions out of order (never from the parser): read through
                n = next((n for n, inner in enumerate(inner_stmts) if self.spans(inner, lo, hi)), len(inner_stmts))
            else:
                n = bisect.bisect_left(lasts, hi)
            if n < len(inner_stmts) and self.spans(inner_stmts[n], lo, hi):
                inner = inner_stmts[n]
                span = self.apart(inner)
            else:
                header = self.header(stmt, stmt is top or found is not None and found[2] is stmt)
                if header is not None and header[0] <= lo and hi <= header[1]:
                    return header
                return found
            stmt = inner
            if span is not None:
                found = (span[0], span[2], inner, False)

    def spans(self, stmt, lo, hi):
        """Whether statement `stmt`, from the start of its first line (its
        first decorator's) to its end, holds bytes `lo` to `hi`."""
        first = stmt.decorator_list[0].lineno if getattr(stmt, "decorator_list", None) else stmt.lineno
        return self.starts[first - 1] <= lo and hi <= self.starts[stmt.end_lineno - 1] + stmt.end_col_offset

    def block_of(self, stmt):
        """The inner statements of `stmt` in the order of the text, the start
        of the first line (its first decorator's) of each, and the end of
        each; both bounds None when they do not rise with the order."""
        inner_stmts = inner_statements(stmt)
        lines = self.starts
        firsts, lasts = [], []
        for inner in inner_stmts:
            first = inner.decorator_list[0].lineno if getattr(inner, "decorator_list", None) else inner.lineno
            firsts.append(lines[first - 1])
            lasts.append(lines[inner.end_lineno - 1] + inner.end_col_offset)
        if any(a > b for a, b in zip(firsts, firsts[1:])) or any(a > b for a, b in zip(lasts, lasts[1:])):
            return inner_stmts, None, None
        return inner_stmts, firsts, lasts

    def header(self, stmt, placed):
        """(start of its first line, start of its block's first line, `stmt`,
        True) for a statement whose block starts on a line of its own, not
        continued; None for any other. `placed`: the statement is known to
        start its first line, not continued (the top-level one is)."""
        body = getattr(stmt, "body", None)
        if not body or type(stmt) not in _HEADED:
            return None
        lines = self.starts
        if not placed and self.apart(stmt) is None:
            return None
        decorators = getattr(stmt, "decorator_list", None)
        first = lines[(decorators[0] if decorators else stmt).lineno - 1]
        inner = body[0]
        decorators = getattr(inner, "decorator_list", None)
        at = lines[(decorators[0] if decorators else inner).lineno - 1]
        if at <= first or self.data[at:at + inner.col_offset].strip(b" \t\x0c") or continued(self.data, at):
            return None
        return first, at, stmt, True

    def apart(self, stmt):
        """(start of its first line, its end, start of the line after it) of
        indented statement `stmt` when it can be parsed apart from the text
        around it, else None: it starts its first line (its first
        decorator's), which is not continued, and ends its last line, but
        for a comment."""
        data, lines = self.data, self.starts
        col = stmt.col_offset
        at = lines[stmt.lineno - 1]
        indent = data[at:at + col]
        if not col or indent.strip(b" \t\x0c"):
            return None
        decorators = getattr(stmt, "decorator_list", None)
        if decorators:  # its lines have the statement's indentation, or the text would not parse
            at = lines[decorators[0].lineno - 1]
        if continued(data, at):
            return None
        end = lines[stmt.end_lineno - 1] + stmt.end_col_offset
        hi = lines[stmt.end_lineno] if stmt.end_lineno < len(lines) else len(data)
        if not _TAIL.match(data, end, hi):
            return None
        return at, end, hi
