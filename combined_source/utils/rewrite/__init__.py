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
import warnings
from typing import NamedTuple, Optional

import gast

from .. import TRANSPOSE_ENV, NoValidSource, RewriteWarning, SpliceRejected, convert
from ..convert import ast_to_gast
from ..KQA import BaseTransformerConfig
from ..RUF import ast_to_source_code
from ..TEH import ObjectLike, Transformer
from .changes import record
from .check import parse, statement_lines
from . import findings, replacements
from .edits import TARGET_RULE, Splicer
from .imports import complete, output_statements
from .keep import directives, restore
from .positions import Reason, Unsupported

__all__ = ["rewrite", "rewrite_source", "Options", "Result", "FELL_BACK", "Unsupported", "OrbApiObject",
           "TRANSPOSE_ENV", "transpose_variable", "render", "Reason", "SpliceRejected", "NoValidSource"]

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
    skip_comments: bool = True  # `# orb-postprocess: skip` comments keep what they mark
    add_import: bool = False  # a changed text using orb without importing it gets `import orb`


class Result(NamedTuple):
    """The rewrite of one text: the new text (None when nothing changes), the
    places worth a warning as (line, message) or (line, column, message)
    (the column in characters, from 1), and whether the text is the
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


def _compiler_notes(warned):
    """The warnings the compiler raised on the text (an invalid escape
    sequence) as notes: (line, "Category: message"), each once."""
    notes = ((w.lineno, "%s: %s" % (w.category.__name__, w.message)) for w in warned)
    return tuple(dict.fromkeys(notes))


def _transform(tree, options, processor):
    obj = OrbApiObject() if options.orb_api else object()
    transformer = Transformer(ObjectLike(obj, options.object_name))
    config = BaseTransformerConfig(options.dtype_map)
    with replacements.installed(processor):
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
    with stage("parse"), warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")  # each one, whatever the filters say, to be noted with its line
        original = parse(body)
    kept = directives(body, original) if options.skip_comments else ()
    if kept is None:  # the whole file is kept as written
        return Result(None)
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
    if kept:
        restore(tree, fields, kept, lines)
    splicer = Splicer(body.encode("utf-8"), fields)
    with stage("splice"):
        edits, spliced, output = splicer.splice(tree)
    notes = _compiler_notes(warned) + tuple(splicer.notes)
    targets = tuple(sorted(splicer.targets))
    # The recorded fields are not needed past this point, and neither is a
    # second copy of the text: free them before the checking parse.
    del fields
    splicer.release()
    if output is not None and not splicer.failed:
        with stage("verify"):
            try:
                # A splice that gives the text back unchanged is checked too:
                # it is right only where the changes made no difference.
                ok = splicer.check(original, lines, body, edits, spliced, output)
            except Exception as e:  # a fault of the check: never hand the text out
                ok = False
                splicer.reason = Reason("check fault: %s: %s" % (type(e).__name__, e))
        if ok and output == body:
            return Result(None, notes)
        if ok:
            found = findings.changes(splicer, splicer.found, edits)
            found += findings.warnings(splicer, notes, found)
            statements = functools.partial(output_statements, lines, edits, splicer.starts, len(splicer.data), spliced)
            return _completed(Result(bom + output, notes, findings=tuple(found) + targets), tree, options, statements,
                              splicer.parts, splicer.expressions)
    elif not splicer.failed:
        return Result(None, notes)
    reason = splicer.reason or Reason("the check rejected the splice")
    with stage("render"):
        whole = _whole_rendering(tree, text, reason, reformat)
    if not reformat:
        raise SpliceRejected(*reason)
    # The changes the splicer recorded before it gave up (all of them when
    # the check refused the splice), and the fall-back itself.
    found = findings.changes(splicer, splicer.found, edits or ())
    found += findings.warnings(splicer, notes, found, reason, FELL_BACK)
    return _completed(Result(bom + whole, notes, True, reason, tuple(found) + targets), tree, options)


def _whole_rendering(tree, text, reason, reformat):
    """The whole rendering of `tree`, in the line ends of `text`; raises
    NoValidSource (placed where `reason`, the splice's rejection, is) when it
    does not parse: a tree the rules made that no text can hold is never
    handed out. Without `reformat` it is only tried, to tell such a tree
    apart (a fault of the renderer then leaves the plain rejection)."""
    try:
        whole = render(tree)
    except Exception:
        if reformat:
            raise
        return None
    try:
        parse(whole)
    except SyntaxError as e:
        raise NoValidSource("the rewritten tree has no valid source: %s" % e.msg, reason.line,
                            reason.column) from None
    if "\r\n" in text[: text.find("\n") + 1]:
        whole = whole.replace("\n", "\r\n")
    return whole


def _completed(result, tree, options, statements=None, parts=(), expressions=None):
    """`result`, a changed text of rewritten tree `tree`, with the import of
    orb added, or its lack noted, where the text uses it without one;
    `statements`, `parts` and `expressions` as `complete` takes them."""
    bom = BOM if result.output.startswith(BOM) else ""
    output, notes, added = complete(tree, result.output[len(bom):], options.add_import, statements, parts,
                                    expressions)
    return result._replace(output=bom + output, notes=result.notes + notes, findings=result.findings + added)



def rewrite_source(text, *, object_name="", orb_api=False, new_name="arr", transpose=False, dtype_map=None,
                   allow_reformat=False, skip_comments=True, add_import=False):
    """See ``combined_source.utils.rewrite_source``."""
    from ..ZOK import FrontendTorchCodePostProcessor

    if not isinstance(text, str):
        raise TypeError("rewrite_source() expects source text (str), not %s" % type(text).__name__)
    options = Options(object_name, orb_api, new_name, dtype_map, skip_comments, add_import)
    with transpose_variable(transpose, clear_when_off=True), warnings.catch_warnings():
        warnings.filterwarnings("ignore", module="<unknown>")  # the compiler's, on the text and its checks
        result = rewrite(text, options, FrontendTorchCodePostProcessor, reformat=allow_reformat)
    for f in result.findings:
        if f.rule == TARGET_RULE:
            warnings.warn(RewriteWarning(f.message, f.line, f.column, f.rule), stacklevel=3)
    return text if result.output is None else result.output
