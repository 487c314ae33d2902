"""Finding what the rules changed: a walk of each node's recorded fields
against its fields now, which hands every change to the edit of its kind."""
import ast
import operator
import sys
from typing import Any, Callable, Dict

import gast

from ..RUF import ast_to_source_code
from . import fstrings, idempotence
from .findings import Found
from .positions import Reason, Text, Unsupported
from .trees import same_tree

_AST = gast.AST
_Name, _Constant, _Call, _Tuple = gast.Name, gast.Constant, gast.Call, gast.Tuple
_JoinedStr = gast.JoinedStr
# A t-string's field holds its expression's text: a changed one is written anew.
_TemplateStr = getattr(gast, "TemplateStr", None)
# Python 3.8 gives the expressions inside an f-string shifted positions.
_FSTRING_PARTS_MISPLACED = sys.version_info < (3, 9)
# The kinds of string whose parts a change may have to write anew.
_STRING_KINDS = (_JoinedStr,) if _TemplateStr is None else (_JoinedStr, _TemplateStr)
# Python 3.9 shifts the columns of the parts that stand on the later lines of
# a triple-quoted f-string literal.
_LATER_LINES_MISPLACED = sys.version_info < (3, 10)


class _Getters(dict):
    """Node kind -> a function giving the tuple of the fields of a node of
    that kind; it raises AttributeError for a node made without some field
    (`fields_of` then reads the ones it has)."""

    def __missing__(self, kind):
        names = kind._fields
        if not names:  # a kind of no fields: attrgetter() takes at least one
            getter = lambda node: ()  # noqa: E731
        elif len(names) == 1:
            get = operator.attrgetter(names[0])
            getter = lambda node: (get(node),)  # noqa: E731
        else:
            getter = operator.attrgetter(*names)
        self[kind] = getter
        return getter


class _Walked(dict):
    """Type -> whether a value of that type is a node to walk: a node kind
    with fields (kinds without fields, contexts and operators, never change,
    so they are neither recorded nor compared)."""

    def __missing__(self, kind):
        walked = kind not in LEAVES and issubclass(kind, _AST)
        self[kind] = walked
        return walked


try:  # the same walk, native, when the package is built with it
    from .._treeops import edits as _native_edits
except ImportError:
    _native_edits = None  # type: ignore[assignment]  # built without its native parts

GETTERS: Dict[Any, Callable[[Any], Any]] = _Getters()
# Kinds that are most of a tree's nodes and usually hold no node: when
# unchanged, they are settled without being walked.
_PLAIN_LEAVES = frozenset((gast.Name, gast.Constant))
LEAVES = frozenset(k for k in vars(gast).values() if isinstance(k, type) and issubclass(k, _AST)
                   and not getattr(k, "_fields"))
WALKED: Dict[type, bool] = _Walked()


def fields_of(node):
    """The tuple of the fields of `node` (None for a field it lacks)."""
    try:
        return GETTERS[type(node)](node)
    except AttributeError:  # a node made without some field
        return tuple(getattr(node, name, None) for name in node._fields)


def record(root, fields=None):
    """The fields of every node below `root`, lists frozen into tuples; with
    `fields`, added to that dict, skipping the nodes already in it and those
    below them."""
    if fields is None:
        fields = {}
    stack = [root]
    pop, push, extend = stack.pop, stack.append, stack.extend
    getters, walked = GETTERS, WALKED
    while stack:
        node = pop()
        if node in fields:
            continue
        try:
            values = getters[type(node)](node)
        except AttributeError:
            values = fields_of(node)
        frozen = None
        i = 0
        for value in values:
            t = type(value)
            if t is list:
                if frozen is None:
                    frozen = list(values)
                frozen[i] = value = tuple(value)
                extend([v for v in value if walked[type(v)]])
            elif walked[t]:
                push(value)
            i += 1
        fields[node] = values if frozen is None else tuple(frozen)
    return fields


class Changes(Text):
    """The walk over the recorded fields; the edits of each kind of change
    are the subclass's (`replace`, `rename`, `relabel`, `remove_keywords`)."""

    def __init__(self, data, fields):
        super().__init__(data)
        self.fields = fields
        self.sites = {}  # (line, column) of positioned nodes holding a change -> the node
        self.bound = set()  # the keys in `sites` of replaced targets (bound or deleted where they stand)
        self.loose = set()  # the keys in `sites` of nodes replaced where any expression may stand
        self.formatted = []  # the byte spans of the f-strings whose parts are changed in place, if any
        self.notes = []
        self.failed = False
        self.reason = None  # why the splice cannot be used, for the warning
        self.found = Found()  # each change with its rule, for the findings

    def give_up(self, why, site=None):
        """Marks the splice as failed, keeping the first reason (placed at
        `site`, a positioned original node, when given)."""
        self.failed = True
        if self.reason is None:
            line = getattr(site, "lineno", None)
            self.reason = Reason(why, line, None if line is None else site.col_offset + 1)

    def edits(self, top, site=None):
        """The byte edits that turn the text of original node `top` into the
        text of what it holds now."""
        if _native_edits is None:
            return self._python_edits(top, site)
        return _native_edits(self, top, site, self.fields, WALKED, idempotence.HOOKS, _STRING_KINDS, _PLAIN_LEAVES,
                             _FSTRING_PARTS_MISPLACED)

    def _python_edits(self, top, site=None):
        """`edits`, in Python (the native module makes the same walk)."""
        fields = self.fields
        getters, walked, hooks, is_ = GETTERS, WALKED, idempotence.HOOKS, operator.is_
        leaves, is_walked = _PLAIN_LEAVES, walked.__getitem__
        edits = []
        stack = [(top, site)]
        pop, push = stack.pop, stack.append
        while stack:
            node, site = pop()
            kind = type(node)
            if kind in hooks:
                hooks[kind](node, fields)
            if node is not top and kind in _STRING_KINDS and (_FSTRING_PARTS_MISPLACED or self.written_anew(node)):
                self.redo_fstring(node, edits)
                continue
            old_values = fields[node]
            if getattr(node, "lineno", None) is not None:
                site = node
            try:
                new_values = getters[kind](node)
            except AttributeError:
                new_values = fields_of(node)
            # Unchanged fields are the common case: they are settled here,
            # only a changed one costs a call. A node holding the very
            # values it was recorded with is settled at once (a list field
            # is recorded as a tuple, so a node with one goes field by field),
            # and so is an unchanged name or constant below it, without
            # being pushed.
            if all(map(is_, old_values, new_values)):
                for old in old_values:
                    t = type(old)
                    if walked[t]:
                        if t in leaves:
                            values = fields[old]
                            try:
                                now = getters[t](old)
                            except AttributeError:
                                now = fields_of(old)
                            if all(map(is_, values, now)) and not any(map(is_walked, map(type, values))):
                                continue
                        push((old, site))
                continue
            for name, old, new in zip(kind._fields, old_values, new_values):
                if old is new:
                    if walked[type(old)]:
                        push((old, site))
                    continue
                if type(old) is tuple and type(new) is list and len(new) == len(old) and all(map(is_, old, new)):
                    for o in old:
                        if walked[type(o)]:
                            push((o, site))
                    continue
                self.change(node, kind, name, old, new, site, edits, push)
        return edits

    def change(self, node, kind, name, old, new, site, edits, push):
        """`changed`, with a change that cannot be spliced noted instead."""
        try:
            self.changed(node, kind, name, old, new, site, edits, push)
        except Unsupported as e:
            # Keep walking: later nodes may still need the output of
            # earlier runs restored before the whole rendering.
            self.give_up("cannot splice: %s (in %s)" % (e, kind.__name__), site)

    def changed(self, node, kind, name, old, new, site, edits, push):
        """Hands the change of field `name` of `node` to the edit of its kind;
        unchanged nodes below it go to `push` to be walked."""
        walked = WALKED
        if type(old) is tuple:
            if type(new) is list and len(new) == len(old):
                changed = False
                for o, n in zip(old, new):
                    if o is n:
                        if walked[type(o)]:
                            push((o, site))
                    else:
                        self.replace(o, n, node, name, edits)
                        changed = True
                if changed:
                    if kind is _Tuple and name == "elts":
                        self.note(idempotence.ambiguous_shape(node, old))
            elif kind is _Call and name == "keywords" and type(new) is list:
                self.mark(site)
                self.remove_keywords(node, old, new, edits)
                for k in new:
                    push((k, site))
            else:
                raise Unsupported("list changed")
        elif isinstance(old, _AST) or isinstance(new, _AST):
            self.replace(old, new, node, name, edits)
        elif type(old) is type(new) and old == new:
            return
        elif kind is _Name and name == "id":
            self.mark(site)  # first: a change that fails to splice is still one the check must see made
            self.rename(node, old, new, edits, site)
        elif kind is _Constant and name == "value":
            self.mark(site)
            self.relabel(node, old, new, edits)
        else:
            raise Unsupported("field %s of %s changed" % (name, kind.__name__))

    def note(self, note):
        if note is not None:
            self.notes.append(note)

    def redo_fstring(self, node, edits):
        """An f-string whose parts changed is rendered anew: the positions of
        its parts are unreliable on 3.8, and the text of a ``{expr=}`` part
        is part of its value. Of an f-string written as several literals
        (comments may stand between them), only the literals whose parts
        changed are rendered anew."""
        saved = dict(self.sites), self.failed, self.reason
        self.failed = False
        since = self.found.mark()
        inner = self.edits(node)
        changed = inner or self.failed  # a part may fail to splice for its position alone
        self.sites, self.failed, self.reason = saved  # the parts' own positions cannot be checked
        if changed:
            where = self.span(node)
            if where is None:
                raise Unsupported("f-string without position")
            pieces = self.fstring_pieces(node, where)
            if pieces is None:
                pieces = [(where[0], where[1], ast_to_source_code(node).strip().encode("utf-8"))]
            data = self.data
            for a, b, text in pieces:
                if fstrings.comments(data[a:b].decode("utf-8")) != fstrings.comments(text.decode("utf-8")):
                    self.give_up("cannot splice: a comment inside an f-string written anew", node)
                    return
            edits.extend(pieces)
            self.found.move(since, pieces)
            self.mark(node)

    def fstring_pieces(self, node, where):
        """Edits that render anew, each with its own prefix and quotes, the
        literals of f-string `node` whose parts changed; None when it cannot
        be taken apart."""
        raw = self.data[where[0]:where[1]].decode("utf-8")
        spans = fstrings.literals(raw)
        if not spans:
            return None
        fields = fstrings.FIELDS
        new = [v for v in node.values if type(v) in fields]
        old = [v for v in self.fields[node][0] if type(v) in fields]
        if len(new) != len(old) or any(o is not n for o, n in zip(old, new)):
            return None
        pieces, at = [], 0
        for a, b in spans:
            text = raw[a:b]
            try:
                literal = gast.ast_to_gast(ast.parse("(" + text + ")", mode="eval")).body
            except (SyntaxError, ValueError):
                return None
            if type(literal) not in fstrings.STRINGS:
                continue
            parts = [v for v in literal.values if type(v) in fields]
            mine, at = new[at:at + len(parts)], at + len(parts)
            if len(mine) != len(parts):
                return None
            if all(same_tree(p, m) for p, m in zip(parts, mine)):
                continue  # unchanged: its text stays
            values = iter(mine)
            literal.values = [next(values) if type(v) in fields else v for v in literal.values]
            written = fstrings.rewritten(literal, text)
            if written is None:
                written = ast_to_source_code(literal).strip()
            pieces.append((where[0] + len(raw[:a].encode("utf-8")), where[0] + len(raw[:b].encode("utf-8")),
                           written.encode("utf-8")))
        return pieces if at == len(new) else None

    def written_anew(self, node):
        """Whether a change inside f-string `node` must be rendered anew: it
        holds a ``{expr=}`` part (whose text is part of the value too), or
        the parser misplaced its parts (3.9, on the string's later lines).
        A t-string always is: each field holds its expression's text. The
        span of an f-string that is not is kept in `formatted`."""
        if type(node) is not _JoinedStr:
            return True
        if _LATER_LINES_MISPLACED and getattr(node, "end_lineno", None) != getattr(node, "lineno", None):
            where = self.span(node)
            text = b"" if where is None else self.data[where[0]:where[1]]
            if where is None or b'"""' in text or b"'''" in text:  # a literal that goes on past its line
                return True
        values = node.values
        fields = self.fields
        for i in range(1, len(values)):
            before, part = values[i - 1], values[i]
            if type(part) is gast.FormattedValue and type(before) is _Constant and type(before.value) is str:
                recorded = fields.get(part)
                where = self.span(part.value if recorded is None else recorded[0])
                if where is None or self.data[where[1]:where[1] + 32].lstrip(b" \t\r\n\\")[:1] == b"=":
                    return True
        where = self.span(node)  # a change in its parts keeps its quotes around it
        self.formatted.append(where or (0, len(self.data)))
        return False

    def mark(self, site, now=None):
        """Notes that the text at `site` (an original positioned node) must
        parse to `now` (by default the site itself, changed in place); gives
        its key in `sites`."""
        end = getattr(site, "end_lineno", None)
        if site is None or end is None:
            raise Unsupported("change outside any positioned node")
        key = (site.lineno, site.col_offset, end, site.end_col_offset, type(site).__name__)
        self.sites[key] = site if now is None else now
        return key
