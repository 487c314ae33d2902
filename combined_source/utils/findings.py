"""Findings and the rules they are named after.

A finding is one change a run makes or would make, one warning, or one file
that could not be processed; each names its rule. This module holds the
table of rules and the attribution of a change to its rule, and imports
neither the syntax-tree package nor the extension: the command line reads
the table (and unpickles findings sent by its workers) without them.

Positions are 1-based lines and columns as the source shows them (a column
counts characters from 1, not bytes, and a tab is one character);
`end_line` and `end_column` close the span (the column just after its last
character). `old` and `new` are the source texts before and after, where
the finding is a change."""
from typing import NamedTuple

__all__ = ["Finding", "RULES", "CHANGE", "WARNING", "ERROR", "kind_of", "describe", "rule_of_replacement",
           "rule_of_rename", "rule_of_relabel", "rule_of_removal"]


class Finding(NamedTuple):
    line: int
    column: int
    end_line: int
    end_column: int
    rule: str
    message: str
    old: str = ""
    new: str = ""


CHANGE, WARNING, ERROR = "change", "warning", "error"

# Rule name -> (kind, what it stands for). The names are stable: CI
# configurations and scripts read them. The changes come first, one per
# kind of rewrite the post-processor makes.
RULES = {
    "type-name": (CHANGE, "a torch or front-end type name (torch.Tensor, Tensor, Parameter, nn.Module, ...) "
                  "becomes orb.Array or orb.Module"),
    "dtype-map": (CHANGE, "an attribute chain that the dtype map lists becomes its mapped text"),
    "self-rename": (CHANGE, "with --orb-api, the receiver self becomes the new name (arr by default)"),
    "orb-array-access": (CHANGE, "with --orb-api, an access of an orb_array attribute is dropped, its receiver "
                         "stays"),
    "inplace-update-data": (CHANGE, "a call of orb.inplace_update gains an access of .data"),
    "requires-grad": (CHANGE, "a call whose callee holds Array (orb.Array(...)) loses its requires_grad keyword"),
    "float32-cast": (CHANGE, "np.log2(8) and np.zeros((channels, channels)) gain a float32 type"),
    "channel-last-layout": (CHANGE, "with --transpose, a channel-first data_format or filter_format constant "
                            "becomes channel-last"),
    "weight-shape": (CHANGE, "with --transpose and a _ConvNd object, the shape of orb_empty((in_channels, ...)) "
                     "is reversed"),
    "other-rewrite": (CHANGE, "a change no other rule describes (made by another post-processor)"),
    "ambiguous-shape": (WARNING, "a reversed shape whose first and last elements both name channels: a second "
                        "run reverses it back"),
    "assignment-target": (WARNING, "a rewritten name or chain that is assigned to"),
    "missing-import": (WARNING, "a changed file uses orb but neither imports nor defines it"),
    "whole-rendering": (WARNING, "the layout could not be kept and --allow-reformat rendered the file whole"),
    "read-error": (ERROR, "the file cannot be read (or is not a regular file, or too large)"),
    "decode-error": (ERROR, "the file cannot be decoded (bytes not in its encoding, a bad coding declaration)"),
    "parse-error": (ERROR, "the file does not parse"),
    "too-complex": (ERROR, "the file is nested too deeply or too large to process"),
    "not-rewritten": (ERROR, "the layout could not be kept, so the file was left as it is"),
    "encode-error": (ERROR, "the rewrite cannot be written in the file's encoding"),
    "write-error": (ERROR, "the file cannot be written (changed since it was read, read-only, ...)"),
    "internal-error": (ERROR, "a fault of the post-processor, the renderer or this program"),
}


def kind_of(rule):
    """CHANGE, WARNING or ERROR for a rule name (a rule this table does not
    know, from a newer part of the program, counts as a warning)."""
    entry = RULES.get(rule)
    return WARNING if entry is None else entry[0]


def describe(rule):
    entry = RULES.get(rule)
    return "" if entry is None else entry[1]


# What the rules compare against; the texts are the post-processor's own.
TYPE_NAMES = frozenset(("torch.Tensor", "torch_frontend.Tensor", "Tensor", "Parameter", "nn.Parameter",
                        "torch.nn.Parameter", "torch.nn.parameter.Parameter", "torch.nn.Module", "nn.Module"))
ORB_TYPES = frozenset(("orb.Array", "orb.Module"))
FLOAT32_CALLEES = frozenset(("np.log2", "np.zeros"))
LAYOUTS = {"channel_first": "channel_last", "NCHW": "NHWC", "NCS": "NSC"}
# The last part of each of TYPE_NAMES: a chain ending in another is none of them.
_TYPE_NAME_ENDS = frozenset(name.rpartition(".")[2] for name in TYPE_NAMES)


def _chain(node):
    """The dotted text of a name or an attribute chain ending in a name, as
    its fields read now; None for any other node."""
    kind = type(node).__name__
    parts = []
    while kind == "Attribute":
        attr = getattr(node, "attr", None)
        if type(attr) is not str:
            return None
        parts.append(attr)
        node = getattr(node, "value", None)
        kind = type(node).__name__
    if kind != "Name":
        return None
    ident = getattr(node, "id", None)
    if type(ident) is not str:
        return None
    if not parts:
        return ident
    parts.append(ident)
    parts.reverse()
    return ".".join(parts)


# The attribution of a change to its rule: each kind of edit asks the
# function of its kind, with the nodes the change was found on.

def rule_of_replacement(old, new, owner, field, moved):
    """The rule of a node `old` replaced by `new` in field `field` of
    `owner`; `moved` tells that `new` is an original node that stood
    elsewhere in the same tuple."""
    if moved and type(owner).__name__ == "Tuple" and field == "elts":
        return "weight-shape"
    old_kind, new_kind = type(old).__name__, type(new).__name__
    if new_kind == "Attribute" and getattr(new, "attr", None) == "data" and getattr(new, "value", None) is old:
        return "inplace-update-data"
    if old_kind == "Attribute":
        attr = getattr(old, "attr", None)
        if type(attr) is str and "orb_array" in attr and getattr(old, "value", None) is new:
            return "orb-array-access"
    if old_kind in ("Name", "Attribute"):
        # A chain whose last part (a str when it is a chain) ends none of
        # the type names is a dtype chain, told without building the chains.
        last = getattr(old, "id" if old_kind == "Name" else "attr", None)
        if (type(last) is str and last in _TYPE_NAME_ENDS and _chain(new) in ORB_TYPES
                and _chain(old) in TYPE_NAMES):
            return "type-name"
        return "dtype-map"
    if old_kind == "Call" and _chain(getattr(old, "func", None)) in FLOAT32_CALLEES:
        return "float32-cast"
    return "other-rewrite"


def rule_of_rename(old, new):
    """The rule of an identifier `old` renamed `new`."""
    return "self-rename" if old == "self" else "other-rewrite"


def rule_of_relabel(old, new):
    """The rule of a string constant `old` changed to `new`."""
    return "channel-last-layout" if type(old) is str and LAYOUTS.get(old) == new else "other-rewrite"


def rule_of_removal(removed):
    """The rule of the keyword arguments `removed` taken out of a call."""
    if removed and all(getattr(k, "arg", None) == "requires_grad" for k in removed):
        return "requires-grad"
    return "other-rewrite"
