"""The narrowest proof of a splice: each changed expression's new text parsed
on its own, in place of its top-level statement.

Why that proves it. Take a changed site: an expression of the original
text, read (not bound or deleted) where it stands, whose text is replaced
by text R. R is parsed as an element of a list, one element on each line.
When the element's node spans exactly R (so R holds no line end, and no
comment, which would hide the rest of its line) and is a primary or an atom
(a name, attribute, call, subscript, constant or display), R's tokens form
one primary, the tightest-binding expression there is. Every place of the
grammar that takes an expression read in the original text takes any
primary with the text around it unchanged, and gives the same tree with
the primary's in that place: the operators around it bind no tighter, the
trailers after it (``.name``, ``(...)``, ``[...]``) apply to it as a whole,
and the text after it holds the same tokens, so whatever the parser tried
there fails or succeeds as before. Text within parentheses of its own is
an atom too. Where the grammar takes any expression as it stands (an
argument, an element, an assigned value: the splicer knows the field, and
the text after it cannot continue an expression), R may be any expression
but a starred one, a walrus or a yield.

The few places that take only some primaries are kept out: bound targets
(the splicer knows a replaced target), the parts of an f-string (the
splicer keeps the span of each f-string whose parts change in place), the
patterns of a match statement (a top-level statement whose text may hold
one is not proved here) and, on Python 3.8, the dotted name of a decorator.
A 3.8 decorator is ``@``, a dotted name and maybe the arguments of a call;
the arguments are those of any call. Its ``@`` starts a line after the
indentation, so every such ``@`` is taken to start a decorator (a ``@`` of
an operator at a line's start only keeps a site out), and a site from there
to the ``(`` of the arguments, or the line's end, is not proved here; nor
is a statement whose decorator's name goes on to the next line (or whose
first line, a decorator's, goes on from its ``@`` on the line before).

R tokenizes in place as it does alone: the characters on each side of it
are checked not to join its first or last token (a name, number or string)
with another, it holds no line end, so brackets around it do not matter,
and it starts with no soft keyword that could begin a statement of another
kind.

Sites inside another site are proved with it; an edit outside every site,
or one that starts or ends at a site's border without being inside it,
leaves its statement to the parse of the statement."""
import ast
import bisect
import re
import sys
from typing import AbstractSet, Any, Dict, List, Optional, Sequence, Tuple

import gast

from ..convert import ast_to_gast
from .positions import reaches
from .trees import same_as_parsed, same_tree

# The kinds of changed site that may be proved here: expressions that any
# primary may stand for.
EXPRESSIONS = frozenset(k.__name__ for k in vars(ast).values() if isinstance(k, type) and issubclass(k, ast.expr)) - {
    "Starred", "Slice", "FormattedValue", "JoinedStr", "TemplateStr", "Interpolation", "NamedExpr"}
# What the new text must parse to: a primary or an atom.
PRIMARIES = (ast.Name, ast.Attribute, ast.Call, ast.Subscript, ast.Constant, ast.List, ast.Tuple, ast.Dict, ast.Set,
             ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)
# What no field taking any expression takes as it stands.
_NOT_ALONE = frozenset(getattr(ast, name) for name in ("Starred", "NamedExpr", "Yield", "YieldFrom", "Slice")
                       if hasattr(ast, name))
# How a text's parse spans it: all of it, or all within its own parentheses.
WHOLE, INNER = "whole", "inner"
# Texts parsed before: text -> (its parse, how it spans the text). The same
# few replacement texts come back in every file.
_PARSED: Dict[bytes, Tuple[Any, Optional[str]]] = {}
_PARSED_MAX = 512
_PARSED_TEXT = 256  # bytes: a longer text is not kept
# Python 3.8 takes only a dotted name, maybe called, as a decorator.
DOTTED_DECORATORS = sys.version_info < (3, 9)
_LINE_START_AT = re.compile(rb"(?:^|(?<=[\r\n]))[ \t\f]*@")  # a decorator's @, or an operator's at a line's start
_HEAD_END = re.compile(rb"[(#\\\r\n]")  # what ends a decorator's name, or continues its line

# Match statements (from Python 3.10), whose patterns take only some primaries.
MATCH_STATEMENTS = sys.version_info >= (3, 10)
_SOFT_KEYWORD = re.compile(rb"(?:match|case|type|_)(?![\w\x80-\xff])")
_TRAILING_RUN = re.compile(rb"[\w.\x80-\xff]*\Z")
_WORD = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") | frozenset(range(0x80, 0x100))
_QUOTES = frozenset(b"'\"")
_WORD_DOT = _WORD | frozenset(b".")
_JOINS = _WORD_DOT | _QUOTES  # what a name, number or string literal may start or end with
_DIGITS = frozenset(b"0123456789")


def _decorator_names(data, lo, hi):
    """The byte spans in `data[lo:hi]` (`lo` at a line's start) from each ``@``
    that may start a decorator to the ``(`` of its arguments or the end of its
    line: the decorator's dotted name; None when one goes on to the next line."""
    spans = []
    for m in _LINE_START_AT.finditer(data, lo, hi):
        at = m.end() - 1
        end = _HEAD_END.search(data, at, hi)
        if end is None:
            spans.append((at, hi))
        elif data[end.start()] == 0x5C:  # a backslash: the name may go on
            return None
        else:
            spans.append((at, end.start()))
    return spans


def _ends_in_number(text):
    """Whether `text` ends with a number literal (which a following ``.`` or
    letter would continue)."""
    run = _TRAILING_RUN.search(text).group()
    return bool(run) and (run[0] in _DIGITS or run[0] == 0x2E and run[1:2] != b"" and run[1] in _DIGITS)


class InPlace:
    """The proof by changed expressions, as part of the check (`data`,
    `sites`, `bound`: the sites of replaced targets)."""

    bound: AbstractSet[Any] = frozenset()
    loose: AbstractSet[Any] = frozenset()
    formatted: Sequence[Tuple[int, int]] = ()
    _formatted: Optional[Tuple[List[int], List[int]]] = None  # `formatted` by start, with the furthest end so far

    def in_place(self, spans, i, k, lo, hi, places, spliced):
        """The changed expressions of the top-level statement at `data[lo:hi]`
        (its sites `spans`: (start, end, key), by start and then longest
        first; its edits `i` to `k` - 1) to be parsed on their own: a list of
        (site key, rewritten node, new text, whether it replaced a node where
        any expression may stand, the text's first byte in `spliced`); None
        when that cannot prove it."""
        data = self.data
        if MATCH_STATEMENTS and data.find(b"case", lo, hi) >= 0:
            return None  # maybe a match statement
        names = ()
        if DOTTED_DECORATORS:
            if data[max(0, lo - 3):lo].rstrip(b"\r\n").endswith(b"\\"):
                return None  # the statement's text goes on from the line before (``@\`` and its decorator's name)
            if data.find(b"@", lo, hi) >= 0:
                names = _decorator_names(data, lo, hi)
                if names is None:
                    return None
        formatted = self._formatted
        if formatted is None:
            formatted = self._formatted = reaches(self.formatted)
        starts, ends, shift = places
        sites, bound, loose = self.sites, self.bound, self.loose
        size = len(spliced)
        found = []
        reach = -1
        x = i
        for s, e, key in spans:
            if s < reach:
                if e > reach:
                    return None  # overlapping sites
                continue  # inside the last site: proved with it
            reach = e
            if key[4] not in EXPRESSIONS or key in bound:
                return None
            for at, end in names:
                if at <= s < end:
                    return None  # in a decorator's dotted name
            n = bisect.bisect_right(formatted[0], s) - 1
            if n >= 0 and formatted[1][n] > s:
                return None  # inside an f-string
            now = sites[key]
            ctx = getattr(now, "ctx", None)
            if ctx is not None and type(ctx) is not gast.Load:
                return None
            y = x
            while y < k and starts[y] < e:
                if starts[y] < s or ends[y] > e or (starts[y] == ends[y] and not s < starts[y] < e):
                    return None  # an edit outside the site, or an insertion at its border
                y += 1
            a, b = s + shift[x], e + shift[y]
            text = spliced[a:b]
            if not text or _SOFT_KEYWORD.match(text):
                return None
            if a > 0:
                c = spliced[a - 1]
                if c in _QUOTES or (c in _WORD_DOT and text[0] in _JOINS):
                    return None
            if b < size:
                d = spliced[b]
                if d in _QUOTES or (d in _WORD and text[-1] in _JOINS) or (
                        d == 0x2E and (text[-1] == 0x2E or _ends_in_number(text))):
                    return None
            found.append((key, now, text, key in loose, a))
            x = y
        return found if x == k else None

    @staticmethod
    def parsed_in_place(groups):
        """For each of the groups (each a list that `in_place` gave): the
        parses of its texts when each, parsed as an element of a list,
        stands alone as its rewritten node, else None."""
        parsed = _PARSED  # read and written a whole entry at a time: another thread may clear it
        found = {}
        for group in groups:
            for _, _, text, _, _ in group:
                if text not in found:
                    found[text] = parsed.get(text)
        new = [text for text, element in found.items() if element is None]
        if new:
            elements = _elements(new)
            if elements is None:  # some text is no element at all: each on its own, to tell which
                elements = [(_elements([text]) or ((None, None),))[0] for text in new]
            found.update(zip(new, elements))
            if len(parsed) + len(new) > _PARSED_MAX:
                parsed.clear()
            parsed.update((text, element) for text, element in zip(new, elements) if len(text) <= _PARSED_TEXT)
        proved = []
        for group in groups:
            nodes = []
            for _, now, text, loose, _ in group:
                node, span = found[text]
                if not (span is INNER or span is WHOLE and (isinstance(node, PRIMARIES) or loose and type(
                        node) not in _NOT_ALONE)) or not _parses_to(node, now):
                    nodes = None
                    break
                nodes.append(node)
            proved.append(nodes)
        return proved


def _elements(texts):
    """The parse of each text as an element of one list, each on a line of
    its own, with how it spans the text: (node, WHOLE: all of it, INNER: all
    within its own parentheses, else None); None when the list does not
    parse. Whether a text is one element spanning it is the text's own: it
    starts a line inside the list's brackets and ends before a comma."""
    try:
        body = ast.parse((b"[\n" + b",\n".join(texts) + b",\n]").decode("utf-8")).body
    except (SyntaxError, ValueError):
        return None
    if len(body) != 1 or type(body[0]) is not ast.Expr or type(body[0].value) is not ast.List:
        return None
    elements = body[0].value.elts
    if len(elements) != len(texts):
        return None
    found = []
    for line, (node, text) in enumerate(zip(elements, texts), 2):
        span = None
        if node.lineno == line and node.end_lineno == line:
            if node.col_offset == 0 and node.end_col_offset == len(text):
                span = WHOLE
            elif (node.col_offset == 1 and node.end_col_offset == len(text) - 1 and text[0] == 0x28
                  and text[-1] == 0x29 and type(node) not in _NOT_ALONE):
                span = INNER
        found.append((node, span))
    return found


def _parses_to(node, now):
    """Whether parsed `node` is the rewritten node `now` (as the check
    compares a changed node)."""
    equal = same_as_parsed(node, now)
    if equal is None:  # a node kind that the conversion to gast changes
        equal = same_tree(ast_to_gast(node), now)
    return bool(equal)
