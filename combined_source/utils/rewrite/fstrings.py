"""F-strings written anew with their own prefix and quotes.

An f-string whose parts changed is rendered again where its parts' text
cannot simply be spliced: on 3.8, whose positions inside f-strings are off,
and where a ``{expr=}`` part's expression changed, whose source text is part
of the string's value. The generic rendering of a tree changes the quotes,
and on 3.8 it writes a carriage return or a line break as a real one inside
a triple-quoted string (the parser reads it back as a line break, so the
value changes). Here each literal of the string is rendered alone, keeping
its prefix and quotes, with the string's text escaped for them; a quote
style that cannot hold the parts (a raw literal with a quote in its text,
an expression holding the quote before 3.12) gives way to another quote.

What a ``{expr=}`` part keeps: the parser puts the expression's source text
into the string's value, so after a rename (``{self.n = }`` with ``self``
renamed ``me``) the value still reads ``self.n = `` while the expression is
``me.n``. No ``{expr=}`` part can say that: it is written as that literal
text followed by the expression with the conversion made explicit,
``self.n = {me.n!r}``; a part whose expression text still matches stays
``{expr=}``.
"""
import ast
import io
import re
import sys
import tokenize

import gast

from ..convert import ast_to_gast
from ..RUF import ast_to_source_code
from .trees import same_tree

_Constant, _JoinedStr = gast.Constant, gast.JoinedStr
# The literals written anew (t-strings from 3.14) and their replacement fields.
STRINGS = (gast.JoinedStr,) + ((gast.TemplateStr,) if hasattr(gast, "TemplateStr") else ())
FIELDS = (gast.FormattedValue,) + ((gast.Interpolation,) if hasattr(gast, "Interpolation") else ())
# Before 3.12 an expression inside an f-string can hold neither a backslash
# nor the string's own quote character.
_OLD_GRAMMAR = sys.version_info < (3, 12)
_STARTS = {getattr(tokenize, n) for n in ("FSTRING_START", "TSTRING_START") if hasattr(tokenize, n)}
_ENDS = {getattr(tokenize, n) for n in ("FSTRING_END", "TSTRING_END") if hasattr(tokenize, n)}
_QUOTES = ('"', "'", '"""', "'''")
# Expressions that need parentheses at the top of a replacement field.
_BARE = (gast.Lambda, gast.NamedExpr, gast.Yield, gast.YieldFrom, gast.IfExp, gast.Tuple, gast.Starred)
_DEBUG_TAIL = re.compile(r"[ \t\n]*=[ \t\n]*\Z")
_ESCAPES = {"\\": "\\\\", "\r": "\\r", "\t": "\\t", "\0": "\\x00", "\n": "\\n"}


def literals(text):
    """(start, end) of each string literal of the concatenation `text`, in
    characters, an f-string with whatever it holds being one literal; None
    when `text` does not tokenize."""
    text = "(" + text.replace("\r\n", " \n").replace("\r", "\n") + ")"  # same length, lines tokenize reads
    starts = [0]
    for i, c in enumerate(text):
        if c == "\n":
            starts.append(i + 1)
    spans, depth, first = [], 0, None
    try:
        for tok in tokenize.generate_tokens(io.StringIO(text).readline):
            if tok.type in _STARTS:
                if depth == 0:
                    first = tok.start
                depth += 1
            elif tok.type in _ENDS:
                depth -= 1
                if depth == 0:
                    spans.append((first, tok.end))
            elif tok.type == tokenize.STRING and depth == 0:
                spans.append((tok.start, tok.end))
    except (tokenize.TokenError, SyntaxError):
        return None
    # -1: the "(" put before the text
    return [(starts[a[0] - 1] + a[1] - 1, starts[b[0] - 1] + b[1] - 1) for a, b in spans]


def comments(text):
    """How many comments the string literals `text` hold (from 3.12, inside
    their replacement fields); None when `text` does not tokenize."""
    text = "(" + text.replace("\r\n", " \n").replace("\r", "\n") + ")"
    try:
        return sum(tok.type == tokenize.COMMENT for tok in tokenize.generate_tokens(io.StringIO(text).readline))
    except (tokenize.TokenError, SyntaxError):
        return None


def split_literal(text):
    """The prefix and quote of string literal `text`."""
    i = 0
    while text[i] not in "'\"":
        i += 1
    quote = text[i:i + 3] if text[i:i + 3] in ('"""', "'''") else text[i]
    return text[:i], quote


def _escaped(value, raw, quote, spec=False):
    """`value` as the text of an f-string's literal part; None when this
    prefix and quote cannot hold it."""
    triple = len(quote) == 3
    if spec and ("{" in value or "}" in value):
        return None
    value = value.replace("{", "{{").replace("}", "}}")
    if raw:
        if quote[0] in value or "\r" in value or "\0" in value or (not triple and "\n" in value):
            return None
        if any(0xD800 <= ord(c) < 0xE000 for c in value):
            return None
        return value
    out = []
    for c in value:
        if c in _ESCAPES:
            out.append("\n" if c == "\n" and triple and not spec else _ESCAPES[c])
        elif c == quote[0]:
            out.append("\\" + c)
        elif not c.isprintable() and c not in " \n":
            code = ord(c)
            out.append("\\x%02x" % code if code < 0x100 else "\\u%04x" % code if code < 0x10000 else "\\U%08x" % code)
        else:
            out.append(c)
    return "".join(out)


def _expression(node, quote):
    """The text of expression `node` inside a replacement field; None when
    a string of this quote cannot hold it."""
    text = ast_to_source_code(node).strip()
    if isinstance(node, _BARE) and not text.startswith("("):
        text = "(" + text + ")"
    if _OLD_GRAMMAR and ("\\" in text or quote[0] in text or "#" in text):
        return None
    if text.startswith("{") or text.endswith("}"):
        text = " " + text + " "  # not a doubled brace
    return text


def _parts(values, raw, quote, original, spec=False):
    """The text between the quotes of an f-string holding `values`; a
    ``{expr=}`` part of `original` (the string's text before the rewrite)
    whose expression still reads as its text stays one."""
    out = []
    values = list(values)
    for i, part in enumerate(values):
        if type(part) is _Constant:
            value = part.value
            if type(value) is not str:
                return None
            nxt = values[i + 1] if i + 1 < len(values) else None
            if type(nxt) in FIELDS and not spec:
                field = _field(nxt, raw, quote, original)
                if field is None:
                    return None
                expr, conv, fmt = field
                debug = _DEBUG_TAIL.search(value)
                # {expr=} converts with !r unless given a conversion or a format specifier.
                if (debug is not None and (conv or fmt) and value[:debug.start()].endswith(expr)
                        and "{" + value[debug.start() - len(expr):] in original):
                    text = _escaped(value[:debug.start() - len(expr)], raw, quote)
                    if text is None:
                        return None
                    out.append(text + "{" + expr + debug.group() + ("" if conv == "!r" and not fmt else conv)
                               + fmt + "}")
                    values[i + 1] = None  # written
                    continue
            text = _escaped(value, raw, quote, spec)
            if text is None:
                return None
            out.append(text)
        elif type(part) in FIELDS:
            field = _field(part, raw, quote, original)
            if field is None:
                return None
            out.append("{" + "".join(field) + "}")
        elif part is not None:
            return None
    return "".join(out)


def _field(part, raw, quote, original):
    """(expression, conversion, format specifier) texts of replacement field `part`."""
    expr = _expression(part.value, quote)
    if expr is None:
        return None
    conversion = part.conversion
    conv = "" if conversion in (-1, None) else "!" + chr(conversion)
    spec = part.format_spec
    if spec is None:
        return expr, conv, ""
    if type(spec) is not _JoinedStr:
        return None
    text = _parts(spec.values, raw, quote, original, spec=True)
    if text is None or "\n" in text:
        return None
    return expr, conv, ":" + text


def render(node, prefix, quote, original=""):
    """F-string `node` written with `prefix` and `quote`; None when they
    cannot hold it. See `_parts` for `original`."""
    text = _parts(node.values, "r" in prefix.lower(), quote, original)
    if text is None or (len(text) - len(text.rstrip("\\"))) % 2:
        return None  # a backslash would escape the closing quote
    return prefix + quote + text + quote


def rewritten(node, original):
    """The text of f-string `node` (a gast JoinedStr or TemplateStr; the
    latter's fields take the text of their expressions as written), rewritten from the
    string literal `original`: its prefix and quote kept where they can
    hold it, another quote where not; None when no quote can."""
    prefix, quote = split_literal(original)
    for q in (quote,) + tuple(q for q in _QUOTES if q != quote):
        text = render(node, prefix, q, original)
        if text is None:
            continue
        try:
            parsed = ast_to_gast(ast.parse("(" + text + ")", mode="eval")).body
        except (SyntaxError, ValueError):
            continue
        if type(parsed) is not type(node):
            continue
        # A t-string's field holds the text of its expression: what is
        # written now.
        for mine, theirs in zip(node.values, parsed.values):
            if hasattr(mine, "str") and hasattr(theirs, "str"):
                mine.str = theirs.str
        if same_tree(parsed, node):
            return text
    return None
