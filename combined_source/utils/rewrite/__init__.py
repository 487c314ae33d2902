"""Format-preserving rewrites of source text.

The text is parsed, every node's fields are recorded, the post-processor
rewrites the tree, and a walk over the recorded fields finds what changed.
The result is the original text with only the source spans of the changed
nodes replaced; everything else (comments, blank lines, quote styles,
redundant parentheses, line endings) stays byte for byte. Before the result
is handed out, it is parsed again and compared with the rewritten tree; a
text that does not parse to that tree is never returned: the caller gets the
whole rendering of the rewritten tree instead, flagged as such.

Nodes are located by the parser's positions, so all splicing happens on the
UTF-8 bytes of the text (`positions`). The parts: `changes` (the walk that
finds what changed), `edits` (the edit of each kind of change),
`keywords` (removing an argument by its tokens), `check` and `trees` (the
check of the result), `idempotence` (earlier output of the rules kept).
"""
import contextlib
import functools
import os
import time
from typing import NamedTuple, Optional

import gast

from .. import TRANSPOSE_ENV, SpliceRejected, convert
from ..convert import ast_to_gast
from ..KQA import BaseTransformerConfig
from ..RUF import ast_to_source_code
from ..TEH import ObjectLike, Transformer
from .changes import record
from .check import parse, statement_lines
from .edits import Splicer
from .positions import Reason, Unsupported

__all__ = ["rewrite", "rewrite_source", "Options", "Result", "FELL_BACK", "Unsupported", "OrbApiObject",
           "TRANSPOSE_ENV", "transpose_variable", "render", "Reason", "SpliceRejected"]

BOM = "\ufeff"
# From this many characters of text on, the standard parse tree is not kept
# beside the converted one: the peak memory of a large file is about half,
# for a second parse of its changed statements.
LARGE_TEXT = 1 << 20
FELL_BACK = "fell back to whole rendering (comments and layout of this file are not kept)"


class OrbApiObject:
    """Stands for the translated object when it is part of the orb API."""


OrbApiObject.__module__ = "orb"  # the host's is_orb_api judges by the module


class Options(NamedTuple):
    """What the rules are run with."""

    object_name: str = ""
    orb_api: bool = False
    new_name: str = "arr"
    dtype_map: Optional[dict] = None


class Result(NamedTuple):
    """The rewrite of one text: the new text (None when nothing changes), the
    places worth a warning as (line, message), and whether the text is the
    whole rendering of the tree because splicing could not be trusted, with
    the reason why (the construct, line and column of the first difference)
    in `reason`; `findings` holds a `Finding` per change made and per
    warning worth a rule name."""

    output: Optional[str]
    notes: tuple = ()
    whole: bool = False
    reason: Optional[Reason] = None
    findings: tuple = ()


@contextlib.contextmanager
def transpose_variable(on, clear_when_off):
    """The post-processor's transpose variable set to "true" while `on`;
    when off, removed if `clear_when_off`, else left as it is. What was
    there before is restored (worker processes started meanwhile inherit
    the setting)."""
    want = "true" if on else None
    old = os.environ.get(TRANSPOSE_ENV) if on or clear_when_off else want
    if old == want:
        yield
        return
    try:
        if want is None:
            del os.environ[TRANSPOSE_ENV]
        else:
            os.environ[TRANSPOSE_ENV] = want
        yield
    finally:
        if old is None:
            os.environ.pop(TRANSPOSE_ENV, None)
        else:
            os.environ[TRANSPOSE_ENV] = old


class Clock:
    """Seconds spent per stage, added into the dict `laps`; with None,
    stages are not timed."""

    def __init__(self, laps):
        self.laps = laps

    @contextlib.contextmanager
    def stage(self, name):
        laps = self.laps
        if laps is None:
            yield
            return
        t0 = time.perf_counter()
        try:
            yield
        finally:
            laps[name] = laps.get(name, 0.0) + (time.perf_counter() - t0)


def render(tree):
    """The rendered module: no blank lines around it, one closing line break."""
    text = ast_to_source_code(tree).strip()
    return text + "\n" if text else ""


def _converted(original, body):
    """The gast tree of the standard tree `original` of `body`, and the
    fields of its nodes as `record` gives them, recorded while converting
    (None when another conversion is in place). For a large text the
    standard tree is let go statement by statement as it is converted, so
    the two trees are never held whole at once."""
    if ast_to_gast is convert.ast_to_gast:
        fields = {}
        convert_one = functools.partial(convert.ast_to_gast_recorded, fields=fields, record=record)
    else:
        fields, convert_one = None, ast_to_gast
    if len(body) < LARGE_TEXT:
        return convert_one(original), fields
    statements = original.body
    converted = []
    for i in range(len(statements)):
        converted.append(convert_one(statements[i]))
        statements[i] = None
    tree = gast.Module(converted, [])  # as the conversion of the whole module makes it
    if fields is not None:
        record(tree, fields)
    return tree, fields


def _transform(tree, options, processor):
    obj = OrbApiObject() if options.orb_api else object()
    transformer = Transformer(ObjectLike(obj, options.object_name))
    config = BaseTransformerConfig(options.dtype_map)
    processor(tree, transformer, config, options.new_name).transform()


def rewrite(text, options, processor, clock=None, reformat=True):
    """The format-preserving rewrite of `text` (a leading byte-order mark
    allowed) by the post-processor class `processor`. Raises SyntaxError for
    text that does not parse, and SpliceRejected when the splice cannot be
    used and `reformat` is false (else the whole rendering of the tree is
    the output); every other exception comes from the rules or the
    renderer. `clock`, a dict, receives seconds spent per stage."""
    stage = Clock(clock).stage
    bom = BOM if text.startswith(BOM) else ""
    body = text[len(bom):]
    with stage("parse"):
        original = parse(body)
    lines = statement_lines(original)
    with stage("convert"):
        tree, fields = _converted(original, body)
        if len(body) >= LARGE_TEXT:  # the check parses the changed statements' original text again
            original = None
    if fields is None:
        with stage("record"):
            fields = record(tree)
    with stage("transform"):
        _transform(tree, options, processor)
    splicer = Splicer(body.encode("utf-8"), fields)
    with stage("splice"):
        edits, spliced, output = splicer.splice(tree)
    notes = tuple(splicer.notes)
    # The recorded fields are not needed past this point, and neither is a
    # second copy of the text: free them before the checking parse.
    del fields
    splicer.release()
    if output is not None and not splicer.failed:
        with stage("verify"):
            try:
                ok = output != body and splicer.check(original, lines, body, edits, spliced, output)
            except Exception as e:  # a fault of the check: never hand the text out
                ok = False
                splicer.reason = Reason("check fault: %s: %s" % (type(e).__name__, e))
        if ok:
            return Result(bom + output, notes)
        if output == body:
            return Result(None, notes)
    elif not splicer.failed:
        return Result(None, notes)
    reason = splicer.reason or Reason("the check rejected the splice")
    if not reformat:
        raise SpliceRejected(*reason)
    with stage("render"):
        whole = render(tree)
        if "\r\n" in text[: text.find("\n") + 1]:
            whole = whole.replace("\n", "\r\n")
    return Result(bom + whole, notes, True, reason)


def rewrite_source(text, *, object_name="", orb_api=False, new_name="arr", transpose=False, dtype_map=None,
                   allow_reformat=False):
    """See ``combined_source.utils.rewrite_source``."""
    from ..ZOK import FrontendTorchCodePostProcessor

    if not isinstance(text, str):
        raise TypeError("rewrite_source() expects source text (str), not %s" % type(text).__name__)
    options = Options(object_name, orb_api, new_name, dtype_map)
    with transpose_variable(transpose, clear_when_off=True):
        output = rewrite(text, options, FrontendTorchCodePostProcessor, reformat=allow_reformat).output
    return text if output is None else output
