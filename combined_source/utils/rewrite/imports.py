"""The import that rewritten code needs: a changed text that uses the name
``orb`` without binding it at module level gets a warning at its first use,
or, when asked, ``import orb`` where an import belongs.

The name counts as bound by any module-level statement that binds it: an
import (``import orb``, ``import orb.nn``, ``import x as orb``, ``from x
import orb``), also under ``if``/``try``/``with`` (``if TYPE_CHECKING:``
included), an assignment or other binding target, a ``def`` or ``class``;
and by a ``global orb`` declaration anywhere (the file then manages the name
itself). A star import may bind it, so it counts too: a warning there could
be false, and an added import could shadow the star's ``orb``. Bindings
inside functions and classes do not count, and a use is any read of the
name, wherever it stands.
"""
import ast
import bisect
import re

from .check import parse, statement_groups
from .findings import Finding
from .positions import layout, line_starts
from .trees import same

NAME = "orb"
RULE = "missing-import"
MESSAGE = "orb is used but not imported"
STATEMENT = "import orb"
_SCOPES = ("FunctionDef", "AsyncFunctionDef", "ClassDef")
# Statement fields that hold statements (or handlers and cases holding them).
_BLOCKS = ("body", "orelse", "finalbody", "handlers", "cases")
# Statement fields that hold binding targets.
_TARGETS = ("targets", "target", "items", "name", "pattern")
_LINE_END = re.compile(r"\r\n|\r|\n")
_GLOBAL = re.compile(r"global(?!\w)")


def _binds(node, name):
    """Whether the target or pattern `node` (an ast or gast node) binds `name`."""
    stack = [node]
    while stack:
        node = stack.pop()
        kind = type(node).__name__
        if kind == "Name":
            if node.id == name and type(node.ctx).__name__ == "Store":
                return True
        elif kind in ("MatchAs", "MatchStar") and node.name == name:
            return True
        elif kind == "MatchMapping" and node.rest == name:
            return True
        elif kind == "ExceptHandler" and node.name == name:  # a str in ast
            return True
        stack.extend(c for c in ast.iter_child_nodes(node) if type(c).__name__ not in ("Attribute", "Subscript"))
    return False


def bound(module, name=NAME, text=None):
    """Whether module `module` (an ast or gast tree) binds `name` at module
    level, or may (see above). `text`, when given, is the text of `module`:
    without the keyword ``global`` where a statement may start, it holds no
    global declaration, and the bodies of functions and classes need not be
    walked."""
    scopes = text is None or _may_declare_global(text)
    stack = [(s, True) for s in module.body]
    while stack:
        node, top = stack.pop()
        kind = type(node).__name__
        if kind in ("Import", "ImportFrom"):
            for alias in node.names if top else ():
                bound_name = alias.asname or (alias.name.split(".")[0] if kind == "Import" else alias.name)
                if bound_name in (name, "*"):
                    return True
            continue
        if kind == "Global":
            if name in node.names:
                return True
            continue
        if kind in _SCOPES:
            if top and node.name == name:
                return True
            if scopes:
                stack.extend((s, False) for s in node.body)  # for its global declarations
            continue
        if top:
            for field in _TARGETS:
                value = getattr(node, field, None)
                if value is None or isinstance(value, str):
                    if kind == "ExceptHandler" and value == name:
                        return True
                    continue
                for target in value if isinstance(value, list) else (value,):
                    if _binds(target, name):
                        return True
        for field in _BLOCKS:
            stack.extend((s, top) for s in getattr(node, field, None) or ())
    return False


def _may_declare_global(text):
    """Whether `text` may hold a global declaration: its keyword is a
    statement's first token, so only blanks stand between it and the start
    of a line, a ``;`` or a ``:`` (a line continued by a backslash starts a
    line too)."""
    for m in _GLOBAL.finditer(text):
        i = m.start()
        while i and text[i - 1] in " \t\f":
            i -= 1
        if i == 0 or text[i - 1] in "\n\r;:":
            return True
    return False


def _is_use(node, name):
    return type(node) is ast.Name and node.id == name and type(node.ctx) is ast.Load


def _use_on(module, line, name=NAME):
    """The first read of `name` on `line` of parse `module`, or None; only
    the nodes whose lines hold that line are walked."""
    found = None
    stack = list(module.body)
    while stack:
        node = stack.pop()
        first = getattr(node, "lineno", None)
        if first is not None and type(node) is not ast.arg:  # 3.8 ends some at the name, before the annotation
            for d in getattr(node, "decorator_list", ()):
                first = min(first, d.lineno)
            if not first <= line <= node.end_lineno:
                continue
            if _is_use(node, name) and first == line and (found is None or node.col_offset < found.col_offset):
                found = node
        stack.extend(ast.iter_child_nodes(node))
    return found


def _word_lines(text, starts, name=NAME):
    """The lines of `text` where the word `name` stands, in order, each once;
    found as they are asked for (the first one usually holds the use)."""
    line = 0
    for m in _word(name).finditer(text):
        if m.start() >= (starts[line] if line < len(starts) else len(text)):  # past the line found last
            line = bisect.bisect_right(starts, m.start())
            yield line


def first_use(module, text, name=NAME, starts=None):
    """The read of `name` that comes first in `text`, whose standard parse
    is `module`, or None. The lines where the word stands are tried in turn;
    the whole tree is walked when that finds none (on 3.8 the positions of
    an f-string's parts are off)."""
    for line in _word_lines(text, _starts(text) if starts is None else starts, name):
        found = _use_on(module, line, name)
        if found is not None:
            return found
    found = None
    for node in ast.walk(module):
        if _is_use(node, name) and (found is None or (node.lineno, node.col_offset) < (found.lineno, found.col_offset)):
            found = node
    return found


def first_use_in_statements(text, statements, name=NAME, starts=None, parts=(), expressions=None):
    """(line, byte column) of the read of `name` that comes first in `text`,
    found by parsing only the groups of top-level statements that hold the
    word; `statements` is a function giving each group's first and last line
    in `text` (or None: every group is then unknown). None when that finds
    none: the whole text is then to be parsed.

    A top-level statement starts the tokenizer afresh, so a group's text
    parses on its own as it does inside the whole text. `starts` are the
    text's line starts, when already found. `parts` are statements of the
    text already parsed apart, as the check keeps them: a line of one of
    them is read there instead (what they hold on their lines, the whole
    parse holds there too, and no other statement starts on such a line).
    `expressions` are the changed expressions the check parsed on their
    own (`Check.expressions`): a line where the word stands only inside
    them is read in them."""
    by_line = None
    if starts is None:
        starts = _starts(text)
    groups = firsts = None
    parsed = {}
    part_firsts = [first for first, _, _, _ in parts]
    for line in _word_lines(text, starts, name):
        n = bisect.bisect_right(part_firsts, line) - 1
        if n >= 0 and line < part_firsts[n] + parts[n][1]:
            first, _, module, at = parts[n]
            found = _use_on(module, line - first + at, name)
            if found is not None:
                return line, found.col_offset
            continue
        if expressions and by_line is None:
            by_line = _by_line(expressions, text, starts)
        held = by_line.get(line) if by_line else None
        if held is not None:
            found = _use_in_expressions(text, starts, line, held, name)
            if found is not None:
                if found is False:
                    continue  # the word stands there, but not as a read
                return line, found
        if groups is None:
            groups = statements()
            if groups is None:
                return None
            firsts = [first for first, _ in groups]
        k = bisect.bisect_right(firsts, line) - 1
        if k < 0 or groups[k][1] < line:
            continue  # between statements: a comment
        first, last = groups[k]
        part = parsed.get(k)
        if part is None:
            try:
                part = parsed[k] = parse(text[starts[first - 1]:starts[last] if last < len(starts) else len(text)])
            except SyntaxError:
                return None
        found = _use_on(part, line - first + 1, name)
        if found is not None:
            return line, found.col_offset
    return None


def _by_line(expressions, text, starts):
    """The expressions ((first byte, byte after it, parse) each, in UTF-8
    bytes of `text`, whose line starts are `starts`) by the line they stand
    on: line -> [(first byte, byte after it) in the line, parse]."""
    if not text.isascii():
        starts = line_starts(text.encode("utf-8"))
    found = {}
    for a, b, node in expressions:
        line = bisect.bisect_right(starts, a)
        at = starts[line - 1]
        found.setdefault(line, []).append((a - at, b - at, node))
    return found


def _use_in_expressions(text, starts, line, held, name):
    """The byte column of the first read of `name` on `line` of `text`
    when every place where the word stands on that line is inside one of
    the expressions `held` there ((first byte, byte after it, parse) each);
    False when there is none in them, None when the word stands elsewhere
    too. A read of the name is always such a place, and inside those bytes
    the parse of the whole text holds what their parse holds."""
    lo = starts[line - 1]
    hi = starts[line] if line < len(starts) else len(text)
    prefix = text[lo:hi]
    for m in _word(name).finditer(prefix):
        at = len(prefix[:m.start()].encode("utf-8"))
        if not any(a <= at < b for a, b, _ in held):
            return None
    found = None
    for a, _, node in held:
        for inner in ast.walk(node):
            if _is_use(inner, name) and (found is None or a + inner.col_offset < found):
                found = a + inner.col_offset
    return False if found is None else found


def output_statements(lines, edits, starts, size, spliced):
    """The first and last line in the spliced bytes `spliced` of each group
    of top-level statements (statements sharing a line are one group), from
    `lines`, their first and last lines in the original text (whose line
    starts are `starts` and size `size`), and the sorted byte `edits`; None
    when an edit crosses from one group into another."""
    if not lines:
        return None
    groups = statement_groups(lines)
    los = [starts[first - 1] for first, _, _ in groups]
    his = [starts[end] if end < len(starts) else size for _, end, _ in groups]
    at, ends, shift = layout(edits)
    for a, b in zip(at, ends):
        k = bisect.bisect_right(los, a) - 1
        if k < 0 or b > his[k]:
            return None
    new_starts = line_starts(spliced)
    found = []
    for lo, hi in zip(los, his):
        a, b = lo + shift[bisect.bisect_left(at, lo)], hi + shift[bisect.bisect_left(at, hi)]
        found.append((bisect.bisect_right(new_starts, a), bisect.bisect_right(new_starts, max(a, b - 1))))
    return found


def _word(name):
    return re.compile(r"(?<![\w.])%s(?!\w)" % re.escape(name))


def _starts(text):
    """Offsets of the lines of `text`, counted as the parser counts them."""
    if text.isascii():  # character offsets are byte offsets, and bytes break lines where the parser does
        return line_starts(text.encode("ascii"))
    return [0] + [m.end() for m in _LINE_END.finditer(text)]


def _line(text, starts, index):
    """Line `index` (from 0) of `text`, with its line break."""
    return text[starts[index]:starts[index + 1] if index + 1 < len(starts) else len(text)]


def _column(text, line, offset, starts=None):
    """The column from 1, in characters, of UTF-8 byte `offset` of `line` (from 1)."""
    return len(_line(text, _starts(text) if starts is None else starts, line - 1).encode("utf-8")[:offset].decode("utf-8", "replace")) + 1


def _place(module):
    """Index in `module`'s body where the import goes, and the statement it
    goes after (None: after the leading comments). After the module
    docstring and the ``from __future__`` imports, then after the last
    import of the block of imports that follows, if any."""
    body = module.body
    i = 0
    if body and type(body[0]) is ast.Expr and type(getattr(body[0].value, "value", None)) is str:
        i = 1
    while i < len(body) and type(body[i]) is ast.ImportFrom and body[i].module == "__future__":
        i += 1
    while i < len(body) and type(body[i]) in (ast.Import, ast.ImportFrom):
        i += 1
    return i, (body[i - 1] if i else None)


def _insertion(text, module):
    """(index in the body, character offset in `text`) where the import line
    goes, or None when no line of its own can hold it there."""
    index, after = _place(module)
    starts = _starts(text)
    if after is None:
        # After the leading comment lines (shebang, coding line, licence
        # header), up to the first blank line or code.
        line = 0
        while line < len(starts) and _line(text, starts, line).lstrip().startswith("#"):
            line += 1
    else:
        line = after.end_lineno  # the line after the statement's last
        if _line(text, starts, line - 1).rstrip("\r\n").endswith("\\"):
            return None
    nxt = module.body[index] if index < len(module.body) else None
    if nxt is not None and min([nxt.lineno] + [d.lineno for d in getattr(nxt, "decorator_list", ())]) <= line:
        return None  # the next statement shares the line of what comes before
    return index, starts[line] if line < len(starts) else len(text)


def _line_end(text, at):
    """The line break of the line before offset `at`, else the text's first."""
    m = _LINE_END.search(text[max(0, at - 2):at]) if at else None
    if m is None:
        m = _LINE_END.search(text)
    return m.group() if m else "\n"


def with_import(text, module):
    """`text` (whose standard parse is `module`) with ``import orb`` on a
    line of its own, or None when it cannot be placed. The result is parsed
    and compared with `module` holding the import at its place: the same
    check as every splice, against the tree the text must now have."""
    where = _insertion(text, module)
    if where is None:
        return None
    index, at = where
    end = _line_end(text, at)
    if at == len(text) and text and not text.endswith(("\n", "\r")):
        new = text + end + STATEMENT
    else:
        new = text[:at] + STATEMENT + end + text[at:]
    try:
        after = parse(new)
    except SyntaxError:
        return None
    expected = list(module.body)
    expected.insert(index, parse(STATEMENT).body[0])  # the parser's own node, with this version's fields
    if len(after.body) != len(expected) or not all(same(a, b) for a, b in zip(expected, after.body)):
        return None
    return new


def complete(tree, output, add, statements=None, parts=(), expressions=None):
    """For the changed text `output` (no byte-order mark) of rewritten tree
    `tree`: (the output, with the import added when `add` and it can be,
    notes, findings), the note and finding telling of a use of the name
    without an import. `statements`, when known, is a function giving the
    first and last lines in `output` of its groups of top-level statements
    (or None): a warning then needs only the groups holding the word parsed,
    not the whole text; `parts` are statements of `output` that the check
    parsed apart and `expressions` the changed expressions it parsed (see
    `first_use_in_statements`)."""
    if NAME not in output or bound(tree, text=output):
        return output, (), ()
    starts = _starts(output)
    use = None
    if statements is not None and not add:
        use = first_use_in_statements(output, statements, starts=starts, parts=parts, expressions=expressions)
    if use is None:
        try:
            module = parse(output)
        except SyntaxError:  # a whole rendering of a tree no text can hold: named elsewhere
            return output, (), ()
        node = first_use(module, output, starts=starts)
        if node is None:
            return output, (), ()
        if add:
            new = with_import(output, module)
            if new is not None:
                return new, (), ()
        use = node.lineno, node.col_offset
    line, column = use[0], _column(output, *use, starts=starts)
    finding = Finding(line, column, line, column + len(NAME), RULE, MESSAGE)
    return output, ((line, column, MESSAGE),), (finding,)
