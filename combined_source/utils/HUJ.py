"""Base class of the code post-processors."""
import gast


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
        for field, old_value in gast.iter_fields(node):
            if isinstance(old_value, list):
                i = 0
                while i < len(old_value):
                    value = old_value[i]
                    if not isinstance(value, gast.AST):
                        i += 1
                        continue
                    new = self.visit(value)
                    if new is None:
                        del old_value[i]
                    elif isinstance(new, gast.AST):
                        old_value[i] = new
                        i += 1
                    else:
                        new = list(new)
                        old_value[i:i + 1] = new
                        i += len(new)
            elif isinstance(old_value, gast.AST):
                new_node = self.visit(old_value)
                if new_node is None:
                    delattr(node, field)
                else:
                    setattr(node, field, new_node)
        return node
