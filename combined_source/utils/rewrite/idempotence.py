"""The rules' own output found in the input: kept as it is, so that a
second run over a rewritten file changes nothing; and the shapes whose
rewrite a second run would undo, noted.

The walk that finds the changes calls `HOOKS[type(node)](node, fields)` on
each node it visits, before comparing its fields, and `ambiguous_shape`
for each tuple whose elements changed.
"""
import gast

from ..RUF import ast_to_source_code

CHANNELS = ("in_channels", "out_channels")
_Name, _Constant, _Call, _Attribute = gast.Name, gast.Constant, gast.Call, gast.Attribute


def keep_data_access(node, fields):
    """Undoes ``orb.inplace_update(...).data`` gaining a second ``.data``."""
    if node.attr != "data":
        return
    old = fields[node][0]
    new = node.value
    if (new is not old and type(new) is _Attribute and new not in fields and new.value is old
            and new.attr == "data" and type(old) is _Call):
        node.value = old


def keep_float32_cast(node, fields):
    """Undoes ``np.log2(8).astype('float32')`` gaining a second cast."""
    func = node.func
    if type(func) is not _Attribute or func.attr != "astype" or func not in fields:
        return
    old = fields[func][0]
    new = func.value
    if new is old or type(old) is not _Call or type(new) is not _Call or new in fields:
        return
    args = node.args
    if node.keywords or len(args) != 1 or type(args[0]) is not _Constant:
        return
    value = args[0].value
    if type(value) is not str or value != "float32":
        return
    if ast_to_source_code(new).strip() == "np.log2(8).astype('float32')":
        func.value = old


# Node kind -> what restores the earlier output in a node of that kind.
HOOKS = {_Attribute: keep_data_access, _Call: keep_float32_cast}


def ambiguous_shape(node, old):
    """The note (line, message) for a reversed tuple whose first and last
    elements both name channels, or None."""
    first, last = old[0], old[-1]
    if (type(first) is _Name and type(last) is _Name and first.id in CHANNELS and last.id in CHANNELS
            and list(reversed(old)) == node.elts):
        return (node.lineno, "ambiguous shape (%s, ..., %s): reversed as the rule says, but its "
                "first and last elements both name channels, so a second run reverses it back" % (first.id, last.id))
    return None
