"""Comments inside replaced text: found by their tokens, kept after the
replacement, and counted over a whole text for the check.

A comment can stand inside an expression only where the expression goes on
past the end of its line, which is inside brackets; there a line may end
anywhere, so a comment of replaced text is written after the replacement
(on its line, or on a line of its own at its old indentation), followed by
the line break it had and the indentation the text after it had.
"""
import collections
import io
import re
import tokenize

_LINE_END = re.compile(r"\r\n|\r|\n")


def found(text, bracketed=True):
    """The comments of `text` as (text, line index from 0, column in
    characters); None when `text` does not tokenize. A piece of an
    expression (`bracketed`) is read as if inside brackets, which is where
    a comment inside an expression stands."""
    if "#" not in text:
        return []
    source = text.replace("\r\n", "\n").replace("\r", "\n")  # the same lines, as tokenize reads them
    if bracketed:
        source = "(" + source + "\n)"
    out = []
    try:
        for tok in tokenize.generate_tokens(io.StringIO(source).readline):
            if tok.type == tokenize.COMMENT:
                row, column = tok.start
                out.append((tok.string, row - 1, column - (1 if bracketed and row == 1 else 0)))
    except (tokenize.TokenError, SyntaxError):
        return None
    return out


def lost(old, new):
    """The comments of text `old` that text `new` does not hold, in their
    order (each comment of `new` stands for one equal comment of `old`), or
    None when either does not tokenize."""
    before, after = found(old), found(new)
    if before is None or after is None:
        return None
    left = collections.Counter(c for c, _, _ in after)
    out = []
    for c in before:
        if left[c[0]]:
            left[c[0]] -= 1
        else:
            out.append(c)
    return out


def kept(old, new, lead, indents, missing=None):
    """`new`, the replacement of text `old`, followed by the comments
    `missing` of `old` (as `found` gives them; by default those that `new`
    does not hold), or `new` itself when none is missing; None when they
    cannot be found. `lead` is the text before `old` on its first line, and
    `indents[i]` the indentation of line `i` of `old` as the whole line has
    it."""
    if missing is None:
        missing = lost(old, new)
        if missing is None:
            return None
    if not missing:
        return new
    breaks = _LINE_END.findall(old)
    lines = _LINE_END.split(old)
    out = [new]
    line = lead + new  # what stands on the line the next comment goes on
    for comment, row, _ in missing:
        if line.strip():
            out.append("  ")  # after the replacement on its line
        elif not line:
            out.append(indents[row])  # on a line of its own: at its old indentation
        out.append(comment)
        out.append(breaks[row] if row < len(breaks) else "\n")
        line = ""
    if lines[-1]:
        out.append(indents[-1])  # the text after the replacement keeps its column
    return "".join(out)


def counted(text):
    """The multiset of the comments of a whole source text; None when it does
    not tokenize."""
    comments = found(text, bracketed=False)
    return None if comments is None else collections.Counter(c for c, _, _ in comments)
