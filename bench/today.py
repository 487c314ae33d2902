"""The host stand-ins' renderer and traversal as they were before the direct
rendering path and the inlined dispatch, gast's own conversion in place of
the direct one, and the check's tree comparison in Python: the
command-line benchmark's "today" peer runs with these swapped in."""
import sys

import gast

from combined_source.utils import HUJ, RUF, convert
from combined_source.utils.rewrite import trees


def generic_visit(self, node):
    """The traversal as it was: one `visit` call per child node."""
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


def use(earlier):
    """Puts the earlier renderer, traversal and conversion in place (`earlier`
    true) or the current ones back, wherever the package's modules (the
    extension included) have bound them."""
    from combined_source.utils import ZOK, cli  # noqa: F401  (loaded so that their bindings are switched too)

    for attr, current, before in (("ast_to_source_code", _RENDER, RUF.reference_source_code),
                                  ("ast_to_gast", convert.ast_to_gast, gast.ast_to_gast)):
        old, new = (current, before) if earlier else (before, current)
        for name, module in list(sys.modules.items()):
            if name.startswith("combined_source.") and name != "combined_source.utils.convert" \
                    and getattr(module, attr, None) is old:
                setattr(module, attr, new)
    HUJ.BaseCodePostProcessor.generic_visit = generic_visit if earlier else _GENERIC_VISIT
    trees._native_same = trees._python_same if earlier else _SAME


_RENDER, _GENERIC_VISIT = RUF.ast_to_source_code, HUJ.BaseCodePostProcessor.generic_visit
_SAME = trees._native_same
