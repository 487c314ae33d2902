"""The edit of each kind of change: a replaced node, elements moved within a
tuple, a renamed identifier, a relabelled string constant, removed keyword
arguments; and the text of new nodes (rendered, with the original nodes
inside them keeping their own text)."""
import ast
import collections
import os
import re
from typing import Any, Dict

import gast

from .. import findings
from ..RUF import ast_to_source_code
from . import comments, keywords
from .changes import Changes
from .check import Check
from .findings import Finding
from .positions import LINE_END, Unsupported

_AST = gast.AST
_Name, _Constant, _Call, _Tuple, _Attribute = gast.Name, gast.Constant, gast.Call, gast.Tuple, gast.Attribute
_INDENT = re.compile(rb"[ \t\x0c]*")
_LINE_END = re.compile(r"\r\n|\r|\n")
_TRAILING_BREAK = re.compile(r"(\r\n|\r|\n)[ \t\x0c]*\Z")
_LITERAL = re.compile(r"([rRuU]?)('''|\"\"\"|'|\")(.*)\2\Z", re.S)

# Node types whose rendering needs no parentheses in any expression context.
_ATOMIC = (gast.Name, gast.Attribute, gast.Call, gast.Subscript, gast.Constant, gast.List, gast.Tuple,
           gast.Dict, gast.Set, gast.ListComp, gast.SetComp, gast.DictComp, gast.GeneratorExp, gast.JoinedStr)
# Fields that take any expression as it is, so a replacement there needs no parentheses.
_FREE_SLOTS = {(gast.Call, "args"), (gast.keyword, "value"), (gast.Assign, "value"), (gast.AnnAssign, "value"),
               (gast.AugAssign, "value"), (gast.Expr, "value"), (gast.Return, "value"), (gast.List, "elts"),
               (gast.Tuple, "elts"), (gast.Set, "elts"), (gast.Dict, "keys"), (gast.Dict, "values"),
               (gast.Name, "annotation"), (gast.AnnAssign, "annotation"), (gast.Subscript, "slice"),
               (gast.FunctionDef, "returns"), (gast.AsyncFunctionDef, "returns")}

# Fields where the grammar takes any expression (no starred, walrus or yield)
# and the text that follows cannot continue one (not a dict's: ``{**value}``
# takes less).
_ANY_EXPRESSION = _FREE_SLOTS - {(gast.Dict, "keys"), (gast.Dict, "values")}

# The rule name of a replaced node that was assigned to: the expression
# contexts of a target of an assignment, a loop, a with or an except clause,
# a comprehension, a walrus, a del statement, and a parameter. (Names bound
# by import, global, nonlocal, match patterns and type parameters are
# strings, not nodes: the rules do not rewrite them.)
TARGET_RULE = "assignment-target"
_TARGET_CONTEXTS = (gast.Store, gast.Del, gast.Param)
_CONTEXT_AT: Dict[type, int] = {}  # node class -> where "ctx" stands in its fields, -1 for nowhere


class Splicer(Changes, Check):
    """Finds the changes of one rewritten tree, splices them into its text
    and checks the result. `targets` receives a `Finding` per replaced
    assignment target."""

    def __init__(self, data, fields):
        super().__init__(data, fields)
        self.nonce = 0
        self.targets = []

    def edits(self, top, site=None):
        """The byte edits that turn the text of original node `top` into the
        text of what it holds now; the comments of the texts they replace
        that no edit's new text holds (an element moved within a tuple takes
        its comments along) are written after their replacements."""
        edits = super().edits(top, site)
        data = self.data
        holding = [i for i, (start, end, _) in enumerate(edits) if data.find(b"#", start, end) >= 0]
        if not holding:
            return edits
        pool = collections.Counter()  # the comments the new texts hold
        for _, _, text in edits:
            held = comments.found(text.decode("utf-8")) if b"#" in text else ()
            if held is None:
                return edits  # left to the check
            pool.update(c for c, _, _ in held)
        for i in holding:
            start, end, text = edits[i]
            held = comments.found(data[start:end].decode("utf-8"))
            missing = []
            for c in held or ():
                if pool[c[0]]:
                    pool[c[0]] -= 1
                else:
                    missing.append(c)
            if missing:
                edits[i] = (start, end, self.with_comments(start, end, text, missing))
        return edits

    def with_comments(self, start, end, text, missing):
        """Edit text `text` for bytes `start` to `end` followed by the
        comments `missing` of those bytes, as `comments.found` gives them."""
        data, starts = self.data, self.starts
        old = data[start:end].decode("utf-8")
        line, column = self.place(start)
        first = start - column + 1
        indents = [_INDENT.match(data, starts[line - 1 + row]).group().decode("utf-8")
                   for row in range(len(_LINE_END.findall(old)) + 1)]
        new = comments.kept(old, text.decode("utf-8"), data[first:start].decode("utf-8"), indents, missing)
        rest = LINE_END.search(data, end)
        if old[-1:] not in ("\n", "\r") and not data[end:rest.start() if rest else len(data)].strip():
            new = _TRAILING_BREAK.sub("", new)  # nothing follows on the line: the comment ends it
        return new.encode("utf-8")

    def splice(self, tree):
        """The edits of `tree`'s changes and the spliced bytes and text (both
        None when nothing changes or the splicing failed)."""
        edits, spliced, output = None, None, None
        try:
            edits = self.edits(tree)
            if not self.failed and edits:
                spliced = self.apply(edits)
                output = spliced.decode("utf-8")
        except Unsupported as e:
            self.give_up("cannot splice: %s" % e)
        except Exception as e:  # a fault of the splicer must never cost the file
            self.give_up("splicer fault: %s: %s" % (type(e).__name__, e))
        return edits, spliced, output

    def release(self):
        """Lets the recorded fields go: they are not needed past the splicing."""
        self.fields = None

    def replace(self, old, new, owner, name, edits):
        self.found.tried.append((findings.rule_of_replacement, (
            old, new, owner, name, type(owner) is _Tuple and name == "elts" and new in self.fields)))
        if not isinstance(old, _AST) or not isinstance(new, _AST):
            raise Unsupported("a node became a value")
        where = self.span(old)
        target = self.is_target(old)
        if where is None:
            if target:  # placed at the node that holds it (an except clause)
                self.note_target(old, new, None, None, self.span(owner))
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
            if not _takes_any(owner, name, new) and not self.in_parentheses(*where):
                text = "(" + text + ")"
        edit = (where[0], where[1], text.encode("utf-8"))
        edits.append(edit)
        self.found.add(findings.rule_of_replacement(old, new, owner, name, moved is not None), (edit,),
                       owner if moved is not None else None)
        key = self.mark(old, new)  # after the text: it outranks what the new node's parts noted there
        if target:
            self.bound.add(key)
            self.note_target(old, new, where, text)
        elif (type(owner), name) in _ANY_EXPRESSION:
            self.loose.add(key)

    def is_target(self, node):
        """Whether original node `node` was written where a name is bound or
        deleted (replacement nodes are in load context wherever they stand,
        so the recorded context tells)."""
        recorded = self.fields.get(node)
        if recorded is None:
            return False
        kind = type(node)
        at = _CONTEXT_AT.get(kind)
        if at is None:
            at = _CONTEXT_AT[kind] = next((i for i, name in enumerate(kind._fields) if name == "ctx"), -1)
        return 0 <= at < len(recorded) and isinstance(recorded[at], _TARGET_CONTEXTS)

    def note_target(self, old, new, where, text, around=None):
        """Adds the finding of target `old` replaced by `new` (whose text is
        `text`, None when not known), written at byte span `where`; a target
        without a position of its own (None) is placed at span `around`."""
        data = self.data
        if text is None:
            text = _rendering(new) if isinstance(new, _AST) else repr(new)
        if where is None:
            old_text, span = _rendering(old), around or (0, 0)
        else:
            old_text, span = data[where[0]:where[1]].decode("utf-8", "replace"), where
        (line, column), (end_line, end_column) = self.char_place(span[0]), self.char_place(span[1])
        old_text, text = " ".join(old_text.split()), " ".join(text.split())
        self.targets.append(Finding(line, column, end_line, end_column, TARGET_RULE,
                                    "rewrote an assignment target: %s -> %s" % (old_text, text), old_text, text))

    def char_place(self, offset):
        """(line, column) from 1 of byte `offset`, the column in characters."""
        line, column = self.place(offset)
        start = offset - column + 1
        return line, len(self.data[start:offset].decode("utf-8", "replace")) + 1

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

    def rename(self, node, old, new, edits, site):
        self.found.tried.append((findings.rule_of_rename, (old, new)))
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
        edit = (start, start + len(name), new.encode("utf-8"))
        edits.append(edit)
        self.found.add(findings.rule_of_rename(old, new), (edit,))

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
        self.found.tried.append((findings.rule_of_relabel, (old, new)))
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
        edit = (start, end, text.encode("utf-8"))
        edits.append(edit)
        self.found.add(findings.rule_of_relabel(old, new), (edit,))

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
        holes = self.dig_holes(node)
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

    def dig_holes(self, node):
        """Puts a placeholder name in place of each positioned original node
        inside the new node `node`; gives (placeholder, original node, owner,
        field, index) of each, to be put back."""
        holes = []
        fields = self.fields
        stack = [node]
        pop, push = stack.pop, stack.append
        while stack:
            owner = pop()
            for name in owner._fields:
                value = getattr(owner, name, None)
                if type(value) is list:
                    for index, child in enumerate(value):
                        if isinstance(child, _AST):
                            if child in fields and self.span(child) is not None:
                                value[index] = self.hole(holes, child, owner, name, index)
                            else:
                                push(child)
                elif isinstance(value, _AST):
                    if value in fields and self.span(value) is not None:
                        setattr(owner, name, self.hole(holes, value, owner, name, None))
                    elif value._fields:  # a context node has none
                        push(value)
        return holes

    def hole(self, holes, child, owner, name, index):
        """A new placeholder name for original node `child`, noted in `holes`."""
        self.nonce += 1
        mark = "_zok_hole_%d_%d_" % (os.getpid(), self.nonce)
        holes.append((mark, child, owner, name, index))
        return gast.Name(id=mark, ctx=gast.Load(), annotation=None, type_comment=None)

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
        self.found.tried.append((findings.rule_of_removal, (removed,)))
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
        items, commas = keywords.arguments(text, func_end)
        arguments = list(recorded["args"]) + list(old)
        if len(items) != len(arguments) or None in items:
            raise Unsupported("argument list not understood")
        order = sorted(range(len(arguments)), key=lambda i: self.first_position(arguments[i]))
        i = next(n for n, j in enumerate(order) if arguments[j] is removed[0])
        cuts = []
        for a, b in keywords.cuts(text, items, commas, i):
            if not ascii_only:
                a, b = len(raw[:a].encode("utf-8")), len(raw[:b].encode("utf-8"))
            cuts.append((start + a, start + b, b""))
        edits.extend(cuts)
        self.found.add(findings.rule_of_removal(removed), cuts)

    def first_position(self, node):
        """Where an argument starts, for ordering; a keyword without a
        position of its own is placed by its value."""
        where = self.span(node)
        if where is None and type(node) is gast.keyword:
            where = self.span(dict(zip(node._fields, self.fields[node]))["value"])  # as it was written
        if where is None:
            raise Unsupported("argument without position")
        return where[0]


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


def _takes_any(owner, name, new):
    """Whether field `name` of `owner`, where node `new` now stands, takes any
    expression as it is: a dict's value unpacked (``**value``) takes less."""
    if (type(owner), name) not in _FREE_SLOTS:
        return False
    if type(owner) is gast.Dict and name == "values":
        return not any(v is new and k is None for k, v in zip(owner.keys, owner.values))
    return True


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
