"""Changes a user keeps as written: a trailing comment
``# orb-postprocess: skip`` keeps every change that starts on its line, and a
comment line ``# orb-postprocess: skip-file`` before the first statement (a
module docstring does not count) keeps the whole file.

A kept change is undone in the rewritten tree before anything is spliced:
the field that changed gets back the value it was recorded with. The tree
then says what the output holds, so the splicer finds no change there, makes
no edit and reports no finding for it, and the check, which compares the
parse of the output with the rewritten tree, expects the original text at
that place, as it does for every unchanged part.

A change starts on the first line of the original text it replaces: for a
replaced expression its first line, for a removed keyword argument that
argument's line, for elements moved within a tuple the first of them. A
multi-line change whose first line carries the comment is kept whole, but a
change nested in it that starts on a later line is judged on that line, as
is a change nested in a rewritten expression where the rewrite kept the
original expression (a rewrite that built the inner part anew has no
inner change of its own to keep). A comment on a continuation line keeps
only the changes that start on that line.
"""
import ast
import bisect
import io
import operator
import re
import sys
import tokenize

import gast

from . import idempotence
from .changes import GETTERS, WALKED, fields_of
from .check import statement_groups, statement_lines

# Whitespace is free around the parts; the words are spelled exactly. A
# comment that misspells them (``skp``) is an ordinary comment.
DIRECTIVE = re.compile(r"#\s*orb-postprocess\s*:\s*(skip-file|skip)(?![\w-])")
MARK = "orb-postprocess"
_AST = gast.AST
_Call, _keyword, _JoinedStr = gast.Call, gast.keyword, gast.JoinedStr
# Python 3.8 gives the expressions inside an f-string shifted positions: a
# change there starts where the f-string does.
_FSTRING_PARTS_MISPLACED = sys.version_info < (3, 9)


def _comments(source, first):
    """(line, text, alone on its line) of each comment of `source`, a run of
    whole top-level statements whose first line is line `first` of the text."""
    try:
        for token in tokenize.generate_tokens(io.StringIO(source).readline):
            if token.type == tokenize.COMMENT:
                line, column = token.start
                yield line + first - 1, token.string, not token.line[:column].strip()
    except (tokenize.TokenError, SyntaxError):
        # The parser took the text, the tokenizer did not (its rules differ
        # in corners between versions): any line holding the words counts,
        # so a wanted skip is never lost (a string holding them keeps its line).
        for number, line in enumerate(source.split("\n"), first):
            at = line.find("#")
            if at >= 0 and MARK in line:
                yield number, line[at:], not line[:at].strip()


def _marked(text, module):
    """(line, text, alone on its line) of each comment of `text` (whose
    standard parse is `module`) that holds the words. Only the top-level
    statements where they stand are tokenized: each starts the tokenizer
    afresh, and the lines between them hold nothing but comments."""
    # Same length, and lines counted as the parser counts them.
    source = text.replace("\r\n", " \n").replace("\r", "\n")
    starts = [0] + [m.end() for m in re.finditer("\n", source)]
    groups = statement_groups(statement_lines(module) or [(1, len(starts))])
    firsts = [g[0] for g in groups]
    done = set()
    for m in DIRECTIVE.finditer(source):
        line = bisect.bisect_right(starts, m.start())
        k = bisect.bisect_right(firsts, line) - 1
        if k < 0 or groups[k][1] < line:  # between statements
            at = source.find("#", starts[line - 1])  # a line of comment alone
            yield line, source[at:m.end()], True
        elif k not in done:
            done.add(k)
            first, end, _ = groups[k]
            yield from _comments(source[starts[first - 1]:starts[end] if end < len(starts) else len(source)], first)


def directives(text, module):
    """The lines whose changes are kept, as a set, or None when the whole
    text is kept; `module` is the standard parse of `text`."""
    kept = set()
    if MARK not in text:
        return kept
    body = module.body
    first = body[0] if body else None
    if (first is not None and type(first) is ast.Expr and len(body) > 1
            and type(getattr(first.value, "value", None)) is str):
        first = body[1]  # the module docstring
    start = None if first is None else min(
        [first.lineno] + [d.lineno for d in getattr(first, "decorator_list", ())])
    for line, comment, alone in _marked(text, module):
        m = DIRECTIVE.search(comment)
        if m is None:
            continue
        if m.group(1) == "skip":
            if not alone:  # no change starts on a line of its own
                kept.add(line)
        elif alone and (start is None or line < start):
            return None
    return kept


def _start(node, fields, line):
    """The first line of original node `node`'s text; `line` when it has no
    position (a keyword argument on 3.8 is placed by its value)."""
    at = getattr(node, "lineno", None)
    if at is None and type(node) is _keyword:
        at = getattr(fields[node][1], "lineno", None)
    return line if at is None else at


def restore(tree, fields, kept, lines=None):
    """Undoes in `tree` each change (found against the recorded `fields`)
    that starts on a line of `kept`; `lines`, when known, are the first and
    last lines of the module's top-level statements."""
    hooks, walked = idempotence.HOOKS, WALKED
    stack = [(tree, 1, False)]
    body = getattr(tree, "body", None)
    recorded = fields[tree][0] if type(body) is list else None
    if (lines is not None and type(recorded) is tuple and len(recorded) == len(body) == len(lines)
            and all(map(operator.is_, recorded, body))):
        # Only the top-level statements that hold a kept line can hold a kept change.
        stack = [(s, 1, False) for s, (first, end) in zip(body, lines) if any(first <= k <= end for k in kept)]
    seen = set()
    while stack:
        node, line, in_fstring = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        kind = type(node)
        if kind in hooks:  # the rules' own earlier output is no change
            hooks[kind](node, fields)
        if not in_fstring and getattr(node, "lineno", None) is not None:
            line = node.lineno
        inner = in_fstring or (kind is _JoinedStr and _FSTRING_PARTS_MISPLACED)
        try:
            now = GETTERS[kind](node)
        except AttributeError:
            now = fields_of(node)

        def visit(value):
            """Walks an original value, or the original nodes inside a new one."""
            if not isinstance(value, _AST):
                return
            if value in fields:
                stack.append((value, line, inner))
                return
            for child in gast.iter_child_nodes(value):
                visit(child)

        for name, old, new in zip(kind._fields, fields[node], now):
            if old is new:
                if walked[type(old)]:
                    stack.append((old, line, inner))
                continue
            if type(old) is tuple and type(new) is list:
                if len(old) == len(new):
                    pairs = [(o, n) for o, n in zip(old, new) if o is not n]
                    moved = any(any(n is o for o in old) for _, n in pairs)
                    if moved:  # elements moved within the list: one change
                        if min(_start(o, fields, line) for o, _ in pairs) in kept:
                            new[:] = old
                    else:
                        for i, (o, n) in enumerate(zip(old, new)):
                            if o is not n and _start(o, fields, line) in kept:
                                new[i] = o
                elif kind is _Call and name == "keywords":
                    removed = [k for k in old if not any(k is n for n in new)]
                    if any(_start(k, fields, line) in kept for k in removed):
                        new[:] = old
                elif line in kept:
                    new[:] = old
                for value in new:
                    visit(value)
            elif isinstance(old, _AST) or isinstance(new, _AST):
                if isinstance(old, _AST) and _start(old, fields, line) in kept:
                    setattr(node, name, old)
                    visit(old)
                else:
                    visit(new)
            elif line in kept:  # a renamed identifier, a relabelled constant, a list made something else
                setattr(node, name, list(old) if type(old) is tuple else old)
