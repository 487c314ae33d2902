"""Finding what the rules changed: a walk of each node's recorded fields
against its fields now, which hands every change to the edit of its kind."""
import operator
import sys
from typing import Any, Callable, Dict

import gast

from ..RUF import ast_to_source_code
from . import idempotence
from .positions import Text, Unsupported

_AST = gast.AST
_Name, _Constant, _Call, _Tuple = gast.Name, gast.Constant, gast.Call, gast.Tuple
_JoinedStr = gast.JoinedStr
# Python 3.8 gives the expressions inside an f-string shifted positions.
_FSTRING_PARTS_MISPLACED = sys.version_info < (3, 9)


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

    GETTERS[kind] = fields_of
    return fields_of


GETTERS: Dict[Any, Callable[[Any], Any]] = {}
# Node kinds without fields (contexts, operators): they never change, so
# they are neither recorded nor compared.
LEAVES = frozenset(k for k in vars(gast).values() if isinstance(k, type) and issubclass(k, _AST)
                   and not getattr(k, "_fields"))


def record(root, fields=None):
    """The fields of every node below `root`, lists frozen into tuples; with
    `fields`, added to that dict, skipping the nodes already in it and those
    below them."""
    if fields is None:
        fields = {}
    stack = [root]
    pop, push, extend = stack.pop, stack.append, stack.extend
    getters, leaves = GETTERS, LEAVES
    while stack:
        node = pop()
        if node in fields:
            continue
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


class Changes(Text):
    """The walk over the recorded fields; the edits of each kind of change
    are the subclass's (`replace`, `rename`, `relabel`, `remove_keywords`)."""

    def __init__(self, data, fields):
        super().__init__(data)
        self.fields = fields
        self.sites = {}  # (line, column) of positioned nodes holding a change -> the node
        self.notes = []
        self.failed = False

    def edits(self, top, site=None):
        """The byte edits that turn the text of original node `top` into the
        text of what it holds now."""
        fields = self.fields
        getters, leaves, hooks = GETTERS, LEAVES, idempotence.HOOKS
        edits = []
        stack = [(top, site)]
        pop, push = stack.pop, stack.append
        while stack:
            node, site = pop()
            kind = type(node)
            hook = hooks.get(kind)
            if hook is not None:
                hook(node, fields)
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
                    self.changed(node, kind, name, old, new, site, edits, push)
                except Unsupported:
                    # Keep walking: later nodes may still need the output of
                    # earlier runs restored before the whole rendering.
                    self.failed = True
        return edits

    def changed(self, node, kind, name, old, new, site, edits, push):
        """Hands the change of field `name` of `node` to the edit of its kind;
        unchanged nodes below it go to `push` to be walked."""
        leaves = LEAVES
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
                        self.note(idempotence.ambiguous_shape(node, old))
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
            return
        elif kind is _Name and name == "id":
            self.rename(node, old, new, edits, site)
            self.mark(site)
        elif kind is _Constant and name == "value":
            self.relabel(node, old, new, edits)
            self.mark(site)
        else:
            raise Unsupported("field %s of %s changed" % (name, kind.__name__))

    def note(self, note):
        if note is not None:
            self.notes.append(note)

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
