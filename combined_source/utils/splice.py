"""Format-preserving rewrites of source text.

The text is parsed, every node's fields are recorded, the post-processor
rewrites the tree, and a walk over the recorded fields finds what changed.
The result is the original text with only the source spans of the changed
nodes replaced; everything else (comments, blank lines, quote styles,
redundant parentheses, line endings) stays byte for byte. Before the result
is handed out, it is parsed again and compared with the rewritten tree; a
text that does not parse to that tree is never returned: the caller gets the
whole rendering of the rewritten tree instead, flagged as such.

Nodes are located by the parser's positions: line numbers count ``\\r\\n``,
``\\r`` and ``\\n`` as line ends, column offsets count UTF-8 bytes, so all
splicing happens on the UTF-8 bytes of the text.
"""
import ast
import bisect
import io
import operator
import os
import re
import sys
import time
import tokenize
from typing import Any, Callable, Dict, NamedTuple, Optional

import gast

from .convert import ast_to_gast
from .KQA import BaseTransformerConfig
from .RUF import ast_to_source_code
from .TEH import ObjectLike, Transformer

TRANSPOSE_ENV = "APPLY_TRANSPOSE_OPTIMIZATION"
BOM = "\ufeff"
CHANNELS = ("in_channels", "out_channels")
# From this many characters of text on, the standard parse tree is not kept
# beside the converted one: the peak memory of a large file is about half,
# for a second parse of its changed statements.
LARGE_TEXT = 1 << 20
FELL_BACK = "fell back to whole rendering (comments and layout of this file are not kept)"

_LINE_END = re.compile(rb"\r\n|\r|\n")
_LITERAL = re.compile(r"([rRuU]?)('''|\"\"\"|'|\")(.*)\2\Z", re.S)
_AST = gast.AST
_JoinedStr = gast.JoinedStr
# Python 3.8 gives the expressions inside an f-string shifted positions.
_FSTRING_PARTS_MISPLACED = sys.version_info < (3, 9)
_Name, _Constant, _Call, _Tuple, _Attribute = gast.Name, gast.Constant, gast.Call, gast.Tuple, gast.Attribute

# Node types whose rendering needs no parentheses in any expression context.
_ATOMIC = (gast.Name, gast.Attribute, gast.Call, gast.Subscript, gast.Constant, gast.List, gast.Tuple,
           gast.Dict, gast.Set, gast.ListComp, gast.SetComp, gast.DictComp, gast.GeneratorExp, gast.JoinedStr)
# Fields that take any expression as it is, so a replacement there needs no parentheses.
_FREE_SLOTS = {(gast.Call, "args"), (gast.keyword, "value"), (gast.Assign, "value"), (gast.AnnAssign, "value"),
               (gast.AugAssign, "value"), (gast.Expr, "value"), (gast.Return, "value"), (gast.List, "elts"),
               (gast.Tuple, "elts"), (gast.Set, "elts"), (gast.Dict, "keys"), (gast.Dict, "values"),
               (gast.Name, "annotation"), (gast.AnnAssign, "annotation"), (gast.Subscript, "slice"),
               (gast.FunctionDef, "returns"), (gast.AsyncFunctionDef, "returns")}
_SKIPPED_TOKENS = {tokenize.COMMENT, tokenize.NL, tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT,
                   tokenize.ENDMARKER}


class OrbApiObject:
    """Stands for the translated object when it is part of the orb API."""


OrbApiObject.__module__ = "orb"  # the host's is_orb_api judges by the module


class Options(NamedTuple):
    """What the rules are run with."""

    object_name: str = ""
    orb_api: bool = False
    new_name: str = "arr"
    dtype_map: Optional[dict] = None


class Result(NamedTuple):
    """The rewrite of one text: the new text (None when nothing changes), the
    places worth a warning as (line, message), and whether the text is the
    whole rendering of the tree because splicing could not be trusted."""

    output: Optional[str]
    notes: tuple = ()
    whole: bool = False


class Unsupported(Exception):
    """A change that the splicer cannot express in the original text."""


def render(tree):
    """The rendered module: no blank lines around it, one closing line break."""
    text = ast_to_source_code(tree).strip()
    return text + "\n" if text else ""


def _field_getter(kind):
    """A function giving the tuple of the fields of a node of type `kind`."""
    names = kind._fields
    if len(names) == 1:
        get = operator.attrgetter(names[0])
        getter = lambda node: (get(node),)  # noqa: E731
    else:
        getter = operator.attrgetter(*names)

    def fields_of(node):
        try:
            return getter(node)
        except AttributeError:  # a node made without some field
            return tuple(getattr(node, name, None) for name in names)

    _GETTERS[kind] = fields_of
    return fields_of


_GETTERS: Dict[Any, Callable[[Any], Any]] = {}
# Node kinds without fields (contexts, operators): they never change, so
# they are neither recorded nor compared.
_LEAVES = frozenset(k for k in vars(gast).values() if isinstance(k, type) and issubclass(k, _AST)
                    and not getattr(k, "_fields"))


def record(root):
    """The fields of every node below `root`, lists frozen into tuples."""
    fields = {}
    stack = [root]
    pop, push, extend = stack.pop, stack.append, stack.extend
    getters, leaves = _GETTERS, _LEAVES
    while stack:
        node = pop()
        kind = type(node)
        values = (getters.get(kind) or _field_getter(kind))(node)
        frozen = None
        for i, value in enumerate(values):
            t = type(value)
            if t is list:
                if frozen is None:
                    frozen = list(values)
                frozen[i] = value = tuple(value)
                extend([v for v in value if type(v) not in leaves and isinstance(v, _AST)])
            elif t not in leaves and isinstance(value, _AST):
                push(value)
        fields[node] = values if frozen is None else tuple(frozen)
    return fields


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


def parse(text):
    """The standard parse of `text`; null bytes are a SyntaxError too."""
    try:
        return ast.parse(text)
    except ValueError as e:  # 3.8 to 3.11 refuse null bytes with ValueError
        raise SyntaxError(str(e)) from None


def rewrite(text, options, processor, clock=None):
    """The format-preserving rewrite of `text` (a leading byte-order mark
    allowed) by the post-processor class `processor`. Raises SyntaxError for
    text that does not parse; every other exception comes from the rules or
    the renderer. `clock`, a dict, receives seconds spent per stage."""
    tick = time.perf_counter if clock is not None else None
    t0 = tick() if tick else 0
    bom = BOM if text.startswith(BOM) else ""
    body = text[len(bom):]
    original = parse(body)
    if tick:
        t0 = _lap(clock, "parse", t0)
    lines = statement_lines(original)
    if len(body) >= LARGE_TEXT:
        # Large text: the standard tree is let go statement by statement as
        # it is converted, so the two trees are never held whole at once; the
        # check parses the changed statements' original text again instead.
        statements = original.body
        original = None
        converted = []
        for i in range(len(statements)):
            converted.append(ast_to_gast(statements[i]))
            statements[i] = None
        del statements
        tree = gast.Module(converted, [])  # as the conversion of the whole module makes it
    else:
        tree = ast_to_gast(original)
    if tick:
        t0 = _lap(clock, "convert", t0)
    fields = record(tree)
    if tick:
        t0 = _lap(clock, "record", t0)
    obj = OrbApiObject() if options.orb_api else object()
    transformer = Transformer(ObjectLike(obj, options.object_name))
    config = BaseTransformerConfig(options.dtype_map)
    processor(tree, transformer, config, options.new_name).transform()
    if tick:
        t0 = _lap(clock, "transform", t0)
    splicer = Splicer(body.encode("utf-8"), fields)
    output = None
    try:
        edits = splicer.edits(tree)
        if not splicer.failed and edits:
            spliced = splicer.apply(edits)
            output = spliced.decode("utf-8")
    except Unsupported:
        splicer.failed = True
    except Exception:  # a fault of the splicer must never cost the file
        splicer.failed = True
    if tick:
        t0 = _lap(clock, "splice", t0)
    notes = tuple(splicer.notes)
    # The recorded fields are not needed past this point, and neither is a
    # second copy of the text: free them before the checking parse.
    del fields
    splicer.fields = None
    if output is not None and not splicer.failed:
        try:
            ok = output != body and splicer.check(original, lines, body, edits, spliced, output)
        except Exception:  # the spliced text does not parse: never hand it out
            ok = False
        if tick:
            t0 = _lap(clock, "verify", t0)
        if ok:
            return Result(bom + output, notes)
        if output == body:
            return Result(None, notes)
    elif not splicer.failed:
        return Result(None, notes)
    whole = render(tree)
    if "\r\n" in text[: text.find("\n") + 1]:
        whole = whole.replace("\n", "\r\n")
    if tick:
        _lap(clock, "render", t0)
    return Result(bom + whole, notes, True)


def _lap(clock, stage, t0):
    t1 = time.perf_counter()
    clock[stage] = clock.get(stage, 0.0) + (t1 - t0)
    return t1


class Splicer:
    """Finds the changes of one rewritten tree and splices them into its text."""

    def __init__(self, data, fields):
        self.data = data
        self.fields = fields
        self.starts = [0]
        self.starts += [m.end() for m in _LINE_END.finditer(data)]
        self.sites = {}  # (line, column) of positioned nodes holding a change -> the node
        self.notes = []
        self.failed = False
        self.nonce = 0

    # -- positions --------------------------------------------------------

    def span(self, node):
        """Byte offsets of `node`'s source text, or None when it has none."""
        line = getattr(node, "lineno", None)
        end = getattr(node, "end_lineno", None)
        if line is None or end is None:
            return None
        starts = self.starts
        return starts[line - 1] + node.col_offset, starts[end - 1] + node.end_col_offset

    def apply(self, edits, lo=0, hi=None):
        """`data[lo:hi]` with the edits (byte ranges inside it) applied."""
        data = self.data
        hi = len(data) if hi is None else hi
        edits.sort(key=lambda e: (e[0], e[1]))
        out, at = [], lo
        for start, end, text in edits:
            if start < at or end > hi:
                raise Unsupported("overlapping changes")
            out.append(data[at:start])
            out.append(text)
            at = end
        out.append(data[at:hi])
        return b"".join(out)

    # -- finding changes --------------------------------------------------

    def edits(self, top, site=None):
        """The byte edits that turn the text of original node `top` into the
        text of what it holds now."""
        fields = self.fields
        getters, leaves = _GETTERS, _LEAVES
        edits = []
        stack = [(top, site)]
        pop, push = stack.pop, stack.append
        while stack:
            node, site = pop()
            kind = type(node)
            if kind is _Attribute:
                if node.attr == "data":
                    self.keep_earlier_output(node)
            elif kind is _Call:
                if type(node.func) is _Attribute and node.func.attr == "astype":
                    self.keep_earlier_output(node)
            if kind is _JoinedStr and _FSTRING_PARTS_MISPLACED and node is not top:
                self.redo_fstring(node, edits)
                continue
            old_values = fields[node]
            if getattr(node, "lineno", None) is not None:
                site = node
            for name, old, new in zip(node._fields, old_values, (getters.get(kind) or _field_getter(kind))(node)):
                if old is new:
                    if type(old) not in leaves and isinstance(old, _AST):
                        push((old, site))
                    continue
                if type(new) is list and len(new) == len(old):
                    for o, n in zip(old, new):
                        if o is not n:
                            break
                    else:
                        for o in old:
                            if type(o) not in leaves and isinstance(o, _AST):
                                push((o, site))
                        continue
                try:
                    if type(old) is tuple:
                        if type(new) is list and len(new) == len(old):
                            changed = False
                            for o, n in zip(old, new):
                                if o is n:
                                    if type(o) not in leaves and isinstance(o, _AST):
                                        push((o, site))
                                else:
                                    self.replace(o, n, node, name, edits)
                                    changed = True
                            if changed:
                                if kind is _Tuple and name == "elts":
                                    self.note_ambiguous_shape(node, old)
                        elif kind is _Call and name == "keywords" and type(new) is list:
                            self.remove_keywords(node, old, new, edits)
                            self.mark(site)
                            for k in new:
                                push((k, site))
                        else:
                            raise Unsupported("list changed")
                    elif isinstance(old, _AST) or isinstance(new, _AST):
                        self.replace(old, new, node, name, edits)
                    elif type(old) is type(new) and old == new:
                        continue
                    elif kind is _Name and name == "id":
                        self.rename(node, old, new, edits, site)
                        self.mark(site)
                    elif kind is _Constant and name == "value":
                        self.relabel(node, old, new, edits)
                        self.mark(site)
                    else:
                        raise Unsupported("field %s of %s changed" % (name, kind.__name__))
                except Unsupported:
                    # Keep walking: later nodes may still need the output of
                    # earlier runs restored before the whole rendering.
                    self.failed = True
        return edits

    def redo_fstring(self, node, edits):
        """An f-string whose parts changed is rendered anew as a whole: the
        positions of its parts are unreliable on this interpreter."""
        sites, failed = dict(self.sites), self.failed
        self.failed = False
        inner = self.edits(node)
        changed = inner or self.failed  # a part may fail to splice for its position alone
        self.sites, self.failed = sites, failed  # the parts' own positions cannot be checked
        if changed:
            where = self.span(node)
            if where is None:
                raise Unsupported("f-string without position")
            edits.append((where[0], where[1], ast_to_source_code(node).strip().encode("utf-8")))
            self.mark(node)

    def mark(self, site, now=None):
        """Notes that the text at `site` (an original positioned node) must
        parse to `now` (by default the site itself, changed in place)."""
        end = getattr(site, "end_lineno", None)
        if site is None or end is None:
            raise Unsupported("change outside any positioned node")
        key = (site.lineno, site.col_offset, end, site.end_col_offset, type(site).__name__)
        self.sites[key] = site if now is None else now

    def keep_earlier_output(self, node):
        """Undoes a rule that stacked its output on the same output found in
        the input: ``orb.inplace_update(...).data`` gaining a second ``.data``
        and ``np.log2(8).astype('float32')`` a second cast."""
        fields = self.fields
        if type(node) is _Attribute:
            if node.attr != "data":
                return
            old = fields[node][0]
            new = node.value
            if (new is not old and type(new) is _Attribute and new not in fields and new.value is old
                    and new.attr == "data" and type(old) is _Call):
                node.value = old
            return
        func = node.func
        if type(func) is not _Attribute or func.attr != "astype" or func not in fields:
            return
        old = fields[func][0]
        new = func.value
        if new is old or type(old) is not _Call or type(new) is not _Call or new in fields:
            return
        args = node.args
        if node.keywords or len(args) != 1 or type(args[0]) is not _Constant:
            return
        value = args[0].value
        if type(value) is not str or value != "float32":
            return
        if ast_to_source_code(new).strip() == "np.log2(8).astype('float32')":
            func.value = old

    def note_ambiguous_shape(self, node, old):
        first, last = old[0], old[-1]
        if (type(first) is _Name and type(last) is _Name and first.id in CHANNELS and last.id in CHANNELS
                and list(reversed(old)) == node.elts):
            self.notes.append((node.lineno, "ambiguous shape (%s, ..., %s): reversed as the rule says, but its "
                               "first and last elements both name channels, so a second run reverses it "
                               "back" % (first.id, last.id)))

    # -- kinds of change --------------------------------------------------

    def replace(self, old, new, owner, name, edits):
        if not isinstance(old, _AST) or not isinstance(new, _AST):
            raise Unsupported("a node became a value")
        where = self.span(old)
        if where is None:
            raise Unsupported("replaced node has no position")
        moved = self.moved_element(owner, name, where, new) if type(owner) is _Tuple else None
        if moved is not None:
            # An element moved within its tuple (a reversed shape): each slot
            # takes the other element's text with the parentheses written
            # around it, so brackets travel with their element.
            where, text = moved
        else:
            text = self.text_of(new)
        if moved is None and not isinstance(new, _ATOMIC):
            text = _unwrapped(text)
            if (type(owner), name) not in _FREE_SLOTS and not self.in_parentheses(*where):
                text = "(" + text + ")"
        edits.append((where[0], where[1], text.encode("utf-8")))
        self.mark(old, new)  # after the text: it outranks what the new node's parts noted there

    def moved_element(self, tuple_node, name, where, new):
        """For an original element `new` that now stands in the slot at
        `where` of the same tuple: that slot's span and `new`'s text, both
        widened over the parentheses written around them inside the tuple."""
        outer = self.span(tuple_node)
        source = self.span(new) if name == "elts" and new in self.fields else None
        if outer is None or source is None or not (outer[0] <= source[0] and source[1] <= outer[1]):
            return None
        source = self.widened(source, outer)
        return self.widened(where, outer), self.apply(self.edits(new), *source).decode("utf-8")

    def widened(self, where, outer):
        """`where` grown over each pair of parentheses directly around it that
        lies inside `outer` and is not `outer`'s own."""
        start, end = where
        data = self.data
        while self.in_parentheses(start, end):
            i, j = start - 1, end
            while data[i] in b" \t":
                i -= 1
            while data[j] in b" \t":
                j += 1
            if i < outer[0] or j + 1 > outer[1] or (i, j + 1) == tuple(outer):
                break
            start, end = i, j + 1
        return start, end

    def in_parentheses(self, start, end):
        data = self.data
        i, j = start - 1, end
        while i >= 0 and data[i] in b" \t":
            i -= 1
        while j < len(data) and data[j] in b" \t":
            j += 1
        return i >= 0 and data[i] == 40 and j < len(data) and data[j] == 41  # ( and )

    def rename(self, node, old, new, edits, site):
        if type(old) is not str or type(new) is not str or not new.isidentifier():
            raise Unsupported("not a plain identifier")
        name = old.encode("utf-8")
        where = self.span(node)
        if where is not None:
            start = where[0]
        elif type(site) is gast.ExceptHandler and site.name is node:
            start = self.handler_name_start(site, name)
        else:
            raise Unsupported("renamed node has no position")
        if self.data[start:start + len(name)] != name:
            raise Unsupported("identifier written in another form")
        edits.append((start, start + len(name), new.encode("utf-8")))

    def handler_name_start(self, handler, name):
        """Where the name of ``except T as name`` starts: the name node has no
        position of its own, so it is found after the exception type."""
        kind = dict(zip(handler._fields, self.fields[handler]))["type"]
        where = self.span(kind) if kind is not None else None
        if where is None:
            raise Unsupported("handler name not found")
        m = re.compile(rb"\s*as\s+(" + re.escape(name) + rb")(?![\w\x80-\xff])").match(self.data, where[1])
        if m is None:
            raise Unsupported("handler name not found")
        return m.start(1)

    def relabel(self, node, old, new, edits):
        """A changed string constant, written in the literal's own prefix and
        quotes when the old and new values need no escapes."""
        if type(new) is not str:
            raise Unsupported("constant became a non-string")
        where = self.span(node)
        if where is None:
            raise Unsupported("constant has no position")
        start, end = where
        literal = self.data[start:end].decode("utf-8")
        m = _LITERAL.match(literal)
        if (m and m.group(3) == old and "\\" not in new and m.group(2)[0] not in new
                and (len(m.group(2)) == 3 or "\n" not in new and "\r" not in new)):
            text = m.group(1) + m.group(2) + new + m.group(2)
        else:
            text = repr(new)
        edits.append((start, end, text.encode("utf-8")))

    def text_of(self, node):
        """The source text of `node` as it is now: an original node keeps its
        own text (with its own changes spliced in), a new node is rendered,
        with the original nodes inside it keeping theirs."""
        if node in self.fields:
            where = self.span(node)
            if where is not None:
                return self.apply(self.edits(node), *where).decode("utf-8")
        return self.render_with_holes(node)

    def render_with_holes(self, node):
        text = self.chain_text(node)
        if text is not None:
            return text
        holes = []  # (placeholder, original node, owner, field, index)
        stack = [node]
        while stack:
            owner = stack.pop()
            for name in owner._fields:
                value = getattr(owner, name, None)
                items = enumerate(value) if type(value) is list else ((None, value),)
                for index, child in items:
                    if not isinstance(child, _AST):
                        continue
                    if child in self.fields and self.span(child) is not None:
                        self.nonce += 1
                        mark = "_zok_hole_%d_%d_" % (os.getpid(), self.nonce)
                        hole = gast.Name(id=mark, ctx=gast.Load(), annotation=None, type_comment=None)
                        holes.append((mark, child, owner, name, index))
                        if index is None:
                            setattr(owner, name, hole)
                        else:
                            value[index] = hole
                    else:
                        stack.append(child)
        if not holes:
            return _rendering(node)
        try:
            text = ast_to_source_code(node).strip()
        finally:
            for mark, child, owner, name, index in holes:
                if index is None:
                    setattr(owner, name, child)
                else:
                    getattr(owner, name)[index] = child
        for mark, child, _, _, _ in holes:
            if text.count(mark) != 1:
                raise Unsupported("rendering lost a hole")
            inner = self.text_of(child)
            if not isinstance(child, _ATOMIC) or type(child) is _Tuple:
                inner = "(" + inner + ")"
            text = text.replace(mark, inner)
        return text

    def chain_text(self, node):
        """The text of a new name or dotted chain (the common replacements),
        written without the renderer; None for anything else."""
        parts = []
        while type(node) is _Attribute and node not in self.fields:
            parts.append(node.attr)
            node = node.value
        if type(node) is _Name and node not in self.fields:
            head = node.id
        elif parts and node in self.fields and type(node) is _Call and self.span(node) is not None:
            head = self.text_of(node)  # a call keeps its text: orb.inplace_update(...).data
        else:
            return None
        if type(head) is not str:
            return None
        parts.append(head)
        return ".".join(reversed(parts))

    def remove_keywords(self, call, old, new, edits):
        """Removes the keyword arguments missing from `new` with one adjacent
        comma each; everything else in the argument list stays as written."""
        kept = iter(new)
        removed = []
        look = next(kept, None)
        for k in old:
            if k is look:
                look = next(kept, None)
            else:
                removed.append(k)
        if look is not None or len(removed) != 1:
            raise Unsupported("keywords changed otherwise than by removal")
        recorded = dict(zip(call._fields, self.fields[call]))  # where the text came from
        where, func = self.span(call), self.span(recorded["func"])
        if where is None or func is None:
            raise Unsupported("call without position")
        start, end = where
        raw = self.data[start:end].decode("utf-8")
        text = raw.replace("\r\n", " \n").replace("\r", "\n")  # same length, lines tokenize can read
        ascii_only = raw.isascii() if hasattr(raw, "isascii") else False
        func_end = func[1] - start
        if not ascii_only:
            func_end = len(self.data[start:func[1]].decode("utf-8"))
        line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
        items, commas = [None], []
        depth = 0
        try:
            for tok in tokenize.generate_tokens(io.StringIO(text).readline):
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
        arguments = list(recorded["args"]) + list(old)
        if len(items) != len(arguments) or None in items:
            raise Unsupported("argument list not understood")
        order = sorted(range(len(arguments)), key=lambda i: self.first_position(arguments[i]))
        i = next(n for n, j in enumerate(order) if arguments[j] is removed[0])
        a, b = items[i]
        if i < len(commas):
            c0, c1 = commas[i]
            while c1 < len(text) and text[c1] in " \t":
                c1 += 1
            cuts = [(a, c1)] if not text[b:c0].strip() else [(a, b), (c0, c1)]
        elif i > 0:
            c0, c1 = commas[i - 1]
            cuts = [(c0, b)] if not text[c1:a].strip() else [(c0, c1), (a, b)]
        else:
            cuts = [(a, b)]
        for a, b in cuts:
            line = text.rfind("\n", 0, a) + 1
            stop = text.find("\n", b)
            if line and stop >= 0 and not text[line:a].strip(" \t\f") and not text[b:stop].strip(" \t\f"):
                a, b = line, stop + 1  # the line held only what goes: it goes whole
            if not ascii_only:
                a, b = len(raw[:a].encode("utf-8")), len(raw[:b].encode("utf-8"))
            edits.append((start + a, start + b, b""))

    def first_position(self, node):
        """Where an argument starts, for ordering; a keyword without a
        position of its own is placed by its value."""
        where = self.span(node)
        if where is None and type(node) is gast.keyword:
            where = self.span(dict(zip(node._fields, self.fields[node]))["value"])  # as it was written
        if where is None:
            raise Unsupported("argument without position")
        return where[0]

    # -- checking the result ----------------------------------------------

    def check(self, original, lines, body, edits, spliced, output):
        """Whether the spliced text `output` parses to the rewritten tree.
        The changed top-level statements (`lines` gives each statement's first
        and last line) are parsed on their own where that is sure to give what
        a parse of the whole text gives; otherwise, or when that does not
        prove it, the whole text is parsed and compared with `original`, the
        parse of the original text `body` (parsed again when None)."""
        layout = self.layout(edits)
        if lines and self.verify_statements(original, lines, layout, spliced):
            return True
        if original is None:
            original = parse(body)
        return self.verify(original, parse(output), edits, spliced, layout)

    def layout(self, edits):
        """The sorted edits' starts, ends and the shift (bytes added) before each."""
        starts = [e[0] for e in edits]
        ends = [e[1] for e in edits]
        shift = [0]
        for start, end, text in edits:
            shift.append(shift[-1] + len(text) - (end - start))
        return starts, ends, shift

    def verify(self, before, after, edits, spliced, layout=None):
        """Whether `after` (the parse of the whole spliced text) equals
        `before` (the parse of the original text) everywhere outside the
        changed nodes, and each changed node's parse equals its rewritten
        node."""
        new_lines = [0]
        new_lines += [m.end() for m in _LINE_END.finditer(spliced)]
        matched = []
        return (self.compare(before, after, layout or self.layout(edits), new_lines, 0, matched)
                and self.covered(matched))

    def verify_statements(self, module, statements, layout, spliced):
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
        body = module.body if module is not None else None
        starts, ends, shift = layout
        if not starts:
            return None
        lines = self.starts
        size = len(data)
        last = len(lines)
        # Statements sharing a line are one group: [first line, last line, their indexes].
        groups = []
        for index, (first, end) in enumerate(statements):
            if groups and first <= groups[-1][1]:
                group = groups[-1]
                group[1] = max(group[1], end)
                group[2].append(index)
            else:
                groups.append([first, end, [index]])
        # Every edit and every changed site must lie inside one group.
        marks = sorted(lines[k[0] - 1] + k[1] for k in self.sites)
        count, n_marks = len(starts), len(marks)
        i = j = 0
        matched = []
        for first, end, indices in groups:
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
            while j < n_marks and marks[j] < hi:
                j += 1
            if k == i:
                continue  # no edit in this group: its text is unchanged
            if data[lo:lo + 1] in (b" ", b"\t", b"\x0c") or _continued(data, lo):
                return None
            old_off = 0
            if body is not None:
                stmts = [body[x] for x in indices]
            else:
                if _continued(data, hi) and hi < len(data):
                    return None
                try:
                    stmts = parse(data[lo:hi].decode("utf-8")).body
                except Exception:
                    return None
                if len(stmts) != len(indices):
                    return None
                old_off = first - 1
            new_lo, new_hi = lo + shift[i], hi + shift[k]
            i = k
            if _continued(spliced, new_hi) and new_hi < len(spliced):
                return None
            try:
                part = parse(spliced[new_lo:new_hi].decode("utf-8"))
            except Exception:
                return None  # judged on the whole text instead
            if len(part.body) != len(stmts):
                return None
            part_lines = [new_lo]  # where the part's lines start in the spliced text
            part_lines += [m.end() for m in _LINE_END.finditer(spliced, new_lo, new_hi)]
            for a, b in zip(stmts, part.body):
                if not self.compare(a, b, layout, part_lines, old_off, matched):
                    return None
        if i != count or j != n_marks:
            return None
        return self.covered(matched)

    def compare(self, before, after, layout, new_lines, old_off, matched):
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
        starts, ends, shift = layout
        count = len(starts)
        old_lines = self.starts
        stack = [(before, after)]
        pop, push = stack.pop, stack.append
        while stack:
            a, b = pop()
            kind = type(a)
            line = getattr(a, "lineno", None)
            if line is not None:
                line += old_off
                end = a.end_lineno
                if end is not None:
                    end += old_off
            if line is not None and kind is type(b) and end is not None and b.end_lineno is not None:
                s1 = old_lines[line - 1] + a.col_offset
                e1 = old_lines[end - 1] + a.end_col_offset
                i = bisect.bisect_right(ends, s1)
                if i == count or starts[i] >= e1:  # no edit inside
                    d = shift[i]
                    if (new_lines[b.lineno - 1] + b.col_offset == s1 + d
                            and new_lines[b.end_lineno - 1] + b.end_col_offset == e1 + d):
                        continue
            if line is not None:
                node = sites.get((line, a.col_offset, end, a.end_col_offset,
                                  "Name" if kind is ast.arg else kind.__name__))
                if node is not None:
                    if not isinstance(b, ast.AST):
                        return False
                    same = same_as_parsed(b, node)
                    if same is None:  # a node kind that the conversion to gast changes
                        same = same_tree(ast_to_gast(b), node)
                    if not same:
                        return False
                    matched.append(((line, a.col_offset), (end, a.end_col_offset)))
                    continue
            if kind is not type(b):
                return False
            for name in a._fields:
                x = getattr(a, name, None)
                y = getattr(b, name, None)
                if type(x) is list:
                    if type(y) is not list or len(x) != len(y):
                        return False
                    for p, q in zip(x, y):
                        if isinstance(p, ast.AST):
                            push((p, q))
                        elif type(p) is not type(q) or p != q:
                            return False
                elif isinstance(x, ast.AST):
                    push((x, y))
                elif type(x) is not type(y) or x != y:
                    return False
        return True

    def covered(self, matched):
        """Whether every change lies inside a node compared as rewritten."""
        found = {lo for lo, _ in matched}
        for k in self.sites:
            if k[:2] not in found and not any(lo <= k[:2] < hi for lo, hi in matched):
                return False
        return True


def _continued(data, at):
    """Whether the line that ends just before byte `at` ends in a backslash
    (a line continuation, or a comment that looks like one)."""
    if at >= 2 and data[at - 2:at] == b"\r\n":
        at -= 2
    elif at >= 1 and data[at - 1:at] in (b"\n", b"\r"):
        at -= 1
    return at >= 1 and data[at - 1:at] == b"\\"


_RENDERINGS: Dict[Any, str] = {}  # signature of a new node -> its stripped rendering


def _rendering(node):
    """The stripped rendering of a node made by the rules. The same few
    replacement texts come back in every file, so renderings of nodes that
    `_signature` describes are kept (the renderer gives equal nodes equal
    texts)."""
    key = _signature(node)
    text = _RENDERINGS.get(key) if key is not None else None
    if text is None:
        text = ast_to_source_code(node).strip()
        if key is not None:
            if len(_RENDERINGS) >= 512:
                _RENDERINGS.clear()
            _RENDERINGS[key] = text
    return text


def _signature(node):
    """A value equal for two nodes exactly when they are the same expression
    of names, attributes, constants, calls, tuples and lists; None for any
    other node."""
    kind = type(node)
    if kind is _Name:
        return ("Name", node.id) if node.annotation is None and type(node.id) is str else None
    if kind is _Attribute:
        value = _signature(node.value)
        return None if value is None or type(node.attr) is not str else ("Attribute", value, node.attr)
    if kind is _Constant:
        value = node.value
        if type(value) not in (str, int, float, bool, type(None)):
            return None
        return ("Constant", type(value).__name__, repr(value), node.kind)
    if kind is _Call:
        parts = [_signature(node.func)]
        parts += [_signature(a) for a in node.args]
        for k in node.keywords:
            if type(k) is not gast.keyword or (k.arg is not None and type(k.arg) is not str):
                return None
            parts.append(("keyword", k.arg, _signature(k.value)))
            if parts[-1][2] is None:
                return None
        return None if None in parts else ("Call", len(node.args), tuple(parts))
    if kind is _Tuple or kind is gast.List:
        parts = tuple(_signature(e) for e in node.elts)
        return None if None in parts else (kind.__name__, parts)
    return None


def _unwrapped(text):
    """`text` without parentheses around the whole of it (some renderers put
    them around every compound expression)."""
    if not (text.startswith("(") and text.endswith(")")):
        return text
    try:
        whole = ast.dump(ast.parse(text, mode="eval"))
        inner = ast.dump(ast.parse(text[1:-1], mode="eval"))
    except (SyntaxError, ValueError):
        return text
    return text[1:-1] if inner == whole else text


# Node kinds that gast takes over from ast with the same fields (plus fields
# that are None or empty here), so a parse can be compared without converting.
_SAME_IN_GAST = {name: getattr(gast, name) for name in (
    "Name", "Attribute", "Call", "keyword", "Constant", "Tuple", "List", "Set", "Dict", "BinOp", "UnaryOp",
    "BoolOp", "Compare", "IfExp", "Starred", "Load", "Store", "Del", "Add", "Sub", "Mult", "MatMult", "Div",
    "Mod", "Pow", "LShift", "RShift", "BitOr", "BitXor", "BitAnd", "FloorDiv", "Invert", "Not", "UAdd", "USub",
    "And", "Or", "Eq", "NotEq", "Lt", "LtE", "Gt", "GtE", "Is", "IsNot", "In", "NotIn")}


def same_as_parsed(parsed, node):
    """Whether the ast tree `parsed` equals the gast tree `node` in every
    field but the expression contexts; None when `parsed` holds a node kind
    that gast represents differently."""
    stack = [(parsed, node)]
    while stack:
        a, g = stack.pop()
        kind = _SAME_IN_GAST.get(type(a).__name__)
        if kind is None:
            return None
        if type(g) is not kind:
            return False
        for name in g._fields:
            if name == "ctx":
                continue
            q = getattr(g, name, None)
            p = getattr(a, name, None)
            if type(q) is list:
                if type(p) is not list or len(p) != len(q):
                    return False
                for u, v in zip(p, q):
                    if isinstance(v, _AST):
                        if not isinstance(u, ast.AST):
                            return False
                        stack.append((u, v))
                    elif type(u) is not type(v) or u != v:
                        return False
            elif isinstance(q, _AST):
                if not isinstance(p, ast.AST):
                    return False
                stack.append((p, q))
            elif type(p) is not type(q) or p != q:
                return False
    return True


def same_tree(x, y):
    """Whether two gast trees are equal in every field but the expression
    contexts (a replacement node is in load context wherever it stands)."""
    stack = [(x, y)]
    while stack:
        a, b = stack.pop()
        if type(a) is not type(b):
            return False
        for name in a._fields:
            if name == "ctx":
                continue
            p = getattr(a, name, None)
            q = getattr(b, name, None)
            if type(p) is list:
                if type(q) is not list or len(p) != len(q):
                    return False
                for u, v in zip(p, q):
                    if isinstance(u, _AST):
                        stack.append((u, v))
                    elif type(u) is not type(v) or u != v:
                        return False
            elif isinstance(p, _AST):
                stack.append((p, q))
            elif type(p) is not type(q) or p != q:
                return False
    return True


def rewrite_source(text, *, object_name="", orb_api=False, new_name="arr", transpose=False, dtype_map=None):
    """See ``combined_source.utils.rewrite_source``."""
    from .ZOK import FrontendTorchCodePostProcessor

    if not isinstance(text, str):
        raise TypeError("rewrite_source() expects source text (str), not %s" % type(text).__name__)
    options = Options(object_name, orb_api, new_name, dtype_map)
    old = os.environ.get(TRANSPOSE_ENV)
    want = "true" if transpose else None
    if old == want:
        output = rewrite(text, options, FrontendTorchCodePostProcessor).output
    else:
        try:
            if want is None:
                del os.environ[TRANSPOSE_ENV]
            else:
                os.environ[TRANSPOSE_ENV] = want
            output = rewrite(text, options, FrontendTorchCodePostProcessor).output
        finally:
            if old is None:
                os.environ.pop(TRANSPOSE_ENV, None)
            else:
                os.environ[TRANSPOSE_ENV] = old
    return text if output is None else output
