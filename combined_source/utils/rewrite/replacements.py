"""The `gast` that the post-processor reads while a text is rewritten.

The rules build every replacement node as `gast.parse(text).body[0].value`
from a handful of texts ("orb.Array", "orb.Module", the two texts of the
transpose rules, the dtype map's values), and gast's `parse` converts the
standard tree in Python: on generated code that was about half of the
transform. While a text is rewritten, the post-processor's module sees a
copy of gast whose `parse` gives the same tree for a dotted name (the usual
replacement) and for the rules' own texts: the text's standard tree is
parsed once and kept, and every call converts it anew with the package's
conversion, which makes exactly gast's tree, so no two replacements share a
node. Neither kind of text makes the compiler warn (no backslash, no literal
called, subscripted or compared by identity), so keeping its tree loses no
warning. Every other text, or value of another type, goes to gast's own
`parse`, errors included.

The copy is put in place only where the module's `gast` is gast itself,
gast's `parse` is its own and the conversion is the package's; whoever has
changed any of them keeps what they set. Every module that sees it gets the
same trees as from gast, so a run in another thread at the same time is not
affected either.
"""
import ast
import contextlib
import re
import sys
import types
from typing import Dict

import gast

from .. import convert

_STOCK_PARSE = gast.parse
_NATIVE_CONVERSION = convert.ast_to_gast
_DOTTED = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*")
# What the transpose rules parse, besides dotted names.
RULE_TEXTS = frozenset(("np.log2(8).astype('float32')", "np.zeros((channels, channels),dtype='float32')"))
MAX_KEPT = 1024  # texts whose standard tree is kept

_kept: Dict[str, ast.Module] = {}


def parse(source, *args, **kwargs):
    """`gast.parse`, with the standard tree of a dotted name kept."""
    if args or kwargs or type(source) is not str:
        return _STOCK_PARSE(source, *args, **kwargs)
    standard = _kept.get(source)
    if standard is None:
        if source not in RULE_TEXTS and not _DOTTED.fullmatch(source):
            return _STOCK_PARSE(source)
        standard = ast.parse(source)  # a keyword as a part raises here, as gast's would
        if len(_kept) < MAX_KEPT:
            _kept[source] = standard
    return _NATIVE_CONVERSION(standard)


FAST_GAST = types.ModuleType(gast.__name__, gast.__doc__)
FAST_GAST.__dict__.update((k, v) for k, v in vars(gast).items() if k not in ("__name__", "__doc__"))
setattr(FAST_GAST, "parse", parse)


@contextlib.contextmanager
def installed(processor):
    """The module of the post-processor class `processor` reads FAST_GAST as
    its `gast` while the block runs, where nothing else was put there."""
    module = sys.modules.get(getattr(processor, "__module__", None))
    if (module is None or getattr(module, "gast", None) is not gast or gast.parse is not _STOCK_PARSE
            or convert.ast_to_gast is not _NATIVE_CONVERSION or convert._treeops is None):
        yield
        return
    module.gast = FAST_GAST
    try:
        yield
    finally:
        if getattr(module, "gast", None) is FAST_GAST:
            module.gast = gast
