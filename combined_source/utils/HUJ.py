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
