"""The host stand-ins' renderer and traversal as they were before the direct
rendering path and the inlined dispatch: the command-line benchmark's
"today" peer runs with these swapped in."""
import sys

import gast

from combined_source.utils import HUJ, RUF


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
    """Puts the earlier renderer and traversal in place (`earlier` true) or
    the current ones back, wherever the package's modules (the extension
    included) have bound the renderer."""
    from combined_source.utils import ZOK  # noqa: F401  (loaded so that its binding is switched too)

    old, new = (_CURRENT[0], RUF.reference_source_code) if earlier else (RUF.reference_source_code, _CURRENT[0])
    for name, module in list(sys.modules.items()):
        if name.startswith("combined_source.") and getattr(module, "ast_to_source_code", None) is old:
            module.ast_to_source_code = new
    HUJ.BaseCodePostProcessor.generic_visit = generic_visit if earlier else _CURRENT[1]


_CURRENT = (RUF.ast_to_source_code, HUJ.BaseCodePostProcessor.generic_visit)
