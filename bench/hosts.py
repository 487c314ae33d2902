"""Host pieces for the benchmark: the real objects, and a cheap renderer that
looks pre-rendered texts up instead of unparsing, so the post-processor's own
cost is what remains."""
import gast

from combined_source.utils.KQA import BaseTransformerConfig
from combined_source.utils.RUF import ast_to_source_code
from combined_source.utils.TEH import ObjectLike, Transformer

import workload


class TorchConv:
    """The translated object: a torch convolution class, outside the orb API."""


def host_objects():
    return (Transformer(ObjectLike(TorchConv, workload.CONV_NAME)),
            BaseTransformerConfig(workload.DTYPE_MAPPING))


def prerender(template):
    """Texts of every expression node of the template tree, in walk order."""
    return [ast_to_source_code(n) if isinstance(n, gast.expr) else None for n in gast.walk(template)]


def _structural(node):
    # Replacement nodes made during the walk are not in the table; those the
    # rules render are names and attribute chains.
    if isinstance(node, gast.Name):
        return node.id
    if isinstance(node, gast.Attribute):
        return _structural(node.value) + "." + node.attr
    return ast_to_source_code(node)


def cheap_renderer(template, tree, texts):
    """ast_to_source_code for `tree` (a fresh parse of the template's source)."""
    return cheap_renderer_for(template, [tree], texts)


def cheap_renderer_for(template, trees, texts):
    """ast_to_source_code for several fresh parses of the template's source."""
    table = {}
    for tree in trees:
        table.update((n, t) for n, t in zip(gast.walk(tree), texts) if t is not None)
    get = table.get

    def render(node):
        text = get(node)
        return text if text is not None else _structural(node)

    return render


def install(globs, renderer):
    """Makes `renderer` the ast_to_source_code that a peer's module looks up."""
    if globs is not None:
        setattr(globs, "ast_to_source_code", renderer)
