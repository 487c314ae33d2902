"""Base class of the code post-processors."""
import ast

import gast

_AST = gast.AST
_MISSING = object()


class BaseCodePostProcessor(gast.NodeTransformer):
    """A tree rewriter over ``gast`` nodes.

    ``visit`` dispatches a node to ``visit_<ClassName>`` when the instance has
    one and to ``generic_visit`` otherwise; ``generic_visit`` visits every child
    node and stores what the visit returns in the child's place. Both rely on no
    state set by ``__init__``, so subclasses that never call it still work.
    """

    def __init__(self, root, transformer, configuration):
        self.root = root
        self.transformer = transformer
        self.configuration = configuration
        self.rewrites = 0

    def transform(self):
        self.visit(self.root)

    def generic_visit(self, node):
        # Like the standard transformer, but each replacement is stored in
        # its place as soon as the visit returns it, so that a failure later
        # in the walk leaves every earlier rewrite in the tree.
        #
        # With the standard `visit`, its dispatch is done here instead of
        # through a call of it per child; and below a child that has no
        # rewrite method, while `generic_visit` is this one, the walk goes on
        # here too. Both are looked up as each call of this method starts.
        visit = self.visit
        if getattr(visit, "__func__", None) is not _STOCK_VISIT:
            return _walk(self, node, visit, None)
        generic = self.generic_visit
        return _walk(self, node, None, None if getattr(generic, "__func__", None) is _GENERIC_VISIT else generic)


try:  # generic_visit without a Python frame per call, when the package is built with it
    from ._treeops import GenericVisit as _GenericVisit
except ImportError:
    pass
else:
    BaseCodePostProcessor.generic_visit = _GenericVisit(BaseCodePostProcessor.generic_visit)

_STOCK_VISIT = gast.NodeTransformer.visit
_GENERIC_VISIT = BaseCodePostProcessor.generic_visit  # what an instance's generic_visit is bound to when not overridden


def _python_walk(self, node, visit, generic):
    """`generic_visit` of `node`: children go to `visit` when it is given,
    else to their ``visit_<ClassName>`` method, or to `generic` when they
    have none, or (`generic` None) are walked here."""
    for field in node._fields:
        try:
            old_value = getattr(node, field)
        except AttributeError:  # a field the node was made without
            continue
        if isinstance(old_value, list):
            i = 0
            while i < len(old_value):
                value = old_value[i]
                if not isinstance(value, _AST):
                    i += 1
                    continue
                if visit is not None:
                    new = visit(value)
                else:
                    method = getattr(self, "visit_" + value.__class__.__name__, _MISSING)
                    if method is not _MISSING:
                        new = method(value)
                    elif generic is not None:
                        new = generic(value)
                    else:
                        new = _python_walk(self, value, None, None) if value._fields else value
                if new is None:
                    del old_value[i]
                elif isinstance(new, _AST):
                    old_value[i] = new
                    i += 1
                else:
                    new = list(new)
                    old_value[i:i + 1] = new
                    i += len(new)
        elif isinstance(old_value, _AST):
            if visit is not None:
                new = visit(old_value)
            else:
                method = getattr(self, "visit_" + old_value.__class__.__name__, _MISSING)
                if method is not _MISSING:
                    new = method(old_value)
                elif generic is not None:
                    new = generic(old_value)
                else:
                    new = _python_walk(self, old_value, None, None) if old_value._fields else old_value
            if new is None:
                delattr(node, field)
            else:
                setattr(node, field, new)
    return node


try:  # the same walk, native, when the package is built with it
    from ._treeops import configure_walk as _configure_walk, walk as _walk
except ImportError:
    _walk = _python_walk
else:
    # The standard visitor's visit_Constant (up to 3.13) looks for a legacy
    # method of each constant's kind and, finding none, calls generic_visit:
    # the walk makes that call itself where nothing else can happen.
    _configure_walk(getattr(ast.NodeVisitor, "visit_Constant", None), vars(ast), (gast.Constant, ast.Constant))
