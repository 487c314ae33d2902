"""Removing one argument from a call's text, by its tokens: pure functions
from text to the character ranges to cut, so that everything else in the
argument list (comments, line breaks, trailing commas) stays as written."""
import io
import re
import tokenize

from .positions import Unsupported

_LINE_END = re.compile("\n")
_SKIPPED_TOKENS = {tokenize.COMMENT, tokenize.NL, tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT,
                   tokenize.ENDMARKER}


# Text whose tokens are runs of other characters between blanks and
# brackets: printable ASCII, tabs and line ends, but no string, comment or
# line continuation.
_NOT_PLAIN = re.compile(r"[^\x20-\x7e\n\t\x0c]|[\"'#\\]")
_PIECE = re.compile(r"[()\[\]{},]|[^\s()\[\]{},]+")


def arguments(text, func_end):
    """The character spans of the arguments of the call written in `text`
    (None for an empty one) and of the commas between them at its top level;
    the argument list is the first parenthesis at or after `func_end`.
    `text` has ``\\n`` line ends only."""
    # In almost every call the argument list starts where the callee ends:
    # only the text from there on is read then (its tokens are the same).
    base = func_end if text.startswith("(", func_end) else 0
    if base and not _NOT_PLAIN.search(text, base):
        found = _plain_arguments(text, base)
        if found is not None:
            return found
    line_starts = [base] + [m.end() for m in _LINE_END.finditer(text, base)]
    items, commas = [None], []
    depth = 0
    try:
        for tok in tokenize.generate_tokens(io.StringIO(text[base:]).readline):
            if tok.type in _SKIPPED_TOKENS:
                continue
            a = line_starts[tok.start[0] - 1] + tok.start[1]
            b = line_starts[tok.end[0] - 1] + tok.end[1]
            s = tok.string
            if depth == 0:
                if a >= func_end and s == "(":
                    depth = 1
                continue
            if tok.type == tokenize.OP and s in ")]}":
                depth -= 1
                if depth == 0:
                    break
            elif tok.type == tokenize.OP and s in "([{":
                depth += 1
            if depth == 1 and s == ",":
                commas.append((a, b))
                items.append(None)
                continue
            span = items[-1]
            items[-1] = (a, b) if span is None else (span[0], b)
    except (tokenize.TokenError, SyntaxError, IndentationError):
        raise Unsupported("argument list does not tokenize") from None
    if items[-1] is None and len(items) > 1:
        items.pop()  # a trailing comma
    return items, commas


def _plain_arguments(text, base):
    """`arguments` of a plain argument list (see `_NOT_PLAIN`) at `base`,
    read without the tokenizer: there each token is a bracket, a comma, or
    part of a run of other characters between them and blanks, so a run
    starts and ends where tokens do. None when the list does not end."""
    items, commas = [None], []
    depth = 0
    for m in _PIECE.finditer(text, base):
        s = m.group()
        if depth == 0:
            depth = 1  # the opening parenthesis at `base`
            continue
        if s in ")]}":
            depth -= 1
            if depth == 0:
                if items[-1] is None and len(items) > 1:
                    items.pop()  # a trailing comma
                return items, commas
        elif s in "([{":
            depth += 1
        elif depth == 1 and s == ",":
            commas.append(m.span())
            items.append(None)
            continue
        span = items[-1]
        items[-1] = m.span() if span is None else (span[0], m.end())
    return None


def cuts(text, items, commas, i):
    """The character ranges of `text` to cut to remove argument `i` (of the
    `items` and `commas` that `arguments` found) with one adjacent comma; a
    line left holding nothing goes whole."""
    a, b = items[i]
    if i < len(commas):
        c0, c1 = commas[i]
        while c1 < len(text) and text[c1] in " \t":
            c1 += 1
        ranges = [(a, c1)] if not text[b:c0].strip() else [(a, b), (c0, c1)]
    elif i > 0:
        c0, c1 = commas[i - 1]
        ranges = [(c0, b)] if not text[c1:a].strip() else [(c0, c1), (a, b)]
    else:
        ranges = [(a, b)]
    out = []
    for a, b in ranges:
        line = text.rfind("\n", 0, a) + 1
        stop = text.find("\n", b)
        if line and stop >= 0 and not text[line:a].strip(" \t\f") and not text[b:stop].strip(" \t\f"):
            a, b = line, stop + 1  # the line held only what goes: it goes whole
        out.append((a, b))
    return out
