"""Processing one file: read, decode, rewrite, encode and (in place) write.
A fault of the file comes back as a failed outcome whose message `failure`
writes; nothing else is caught.

The rewrite (and with it gast) and the native module are imported when the
first file is rewritten, so that a run whose files all come from the cache
loads neither."""
import contextlib
from typing import TYPE_CHECKING, NamedTuple, Optional

from .. import SpliceRejected
from .files import Refused, decode, encode, encoding_name, read_source, same_encoding, write_atomically

if TYPE_CHECKING:
    from ..rewrite import Options

rewrite = FrontendTorchCodePostProcessor = None  # imported by `load_rewrite` when first needed

CHANGED, UNCHANGED, FAILED, BROKEN = "changed", "unchanged", "failed", "broken"
REJECTED = "rejected"  # not rewritten: the splice was rejected and whole rendering not allowed


def load_rewrite():
    """Imports the rewrite and the native module (once)."""
    global rewrite, FrontendTorchCodePostProcessor
    if rewrite is None:
        from ..rewrite import rewrite
    if FrontendTorchCodePostProcessor is None:
        from ..ZOK import FrontendTorchCodePostProcessor


class Settings(NamedTuple):
    """What every file of a run is processed with; sent to worker processes."""

    options: "Options"
    in_place: bool
    keep_text: bool  # whether the outcome carries the texts back
    allow_reformat: bool = False  # a rejected splice takes the whole rendering


class Outcome(NamedTuple):
    name: str
    status: str
    message: str = ""
    original: str = ""
    output: str = ""
    warnings: tuple = ()
    whole: bool = False  # the output is the whole rendering, not the spliced text
    encoding: str = "utf-8"  # of the source, in which its output is written
    seen: Optional[tuple] = None  # of an unchanged file read from disk: (size, SHA-256) of what was read


def placed(name, line, column):
    """`name` with `:line:column` where known."""
    return name + ("" if line is None else ":%d" % line + ("" if column is None else ":%d" % column))


def failure(name, stage, e, encoding=None):
    """The outcome of exception `e` raised while `stage` ("read", "rewrite",
    "encode" or "write") of file `name` ran, or None for an exception that is
    not the file's fault. `encoding` is the file's, once it is known."""
    if stage == "read":
        if isinstance(e, Refused):
            return Outcome(name, FAILED, "%s: cannot read: %s" % (name, e))
        if isinstance(e, OSError):
            return Outcome(name, FAILED, "%s: cannot read: %s" % (name, e.strerror or e))
        if isinstance(e, SyntaxError):  # from detect_encoding: unknown or conflicting declaration
            where = ":%d" % e.lineno if getattr(e, "lineno", None) else ""
            return Outcome(name, FAILED, "%s%s: cannot decode: %s" % (name, where, e.msg))
        if isinstance(e, UnicodeDecodeError):
            return Outcome(name, FAILED, "%s: not %s: %s at byte %d" % (
                name, encoding_name(e.encoding), e.reason, e.start))
    elif stage == "rewrite":
        if isinstance(e, SpliceRejected):
            return Outcome(name, REJECTED, "%s: not rewritten: its layout cannot be kept: %s "
                           "(--allow-reformat renders the file whole, losing its comments)" % (
                               placed(name, e.line, e.column), e.reason))
        if isinstance(e, (SyntaxError, ValueError)):  # ValueError: 3.8's refusal of null bytes
            line, column = getattr(e, "lineno", None), getattr(e, "offset", None)
            where = (":%d" % line if line else "") + (":%d" % column if line and column else "")
            return Outcome(name, FAILED, "%s%s: cannot parse: %s" % (name, where, getattr(e, "msg", e)))
        if isinstance(e, (RecursionError, MemoryError)):  # the parser's or the rules' limits
            return Outcome(name, FAILED, "%s: too deeply nested or too large to process (%s%s)" % (
                name, type(e).__name__, ": %s" % e if str(e) else ""))
        # a fault of the post-processor or the renderer
        return Outcome(name, BROKEN, "%s: internal error: %s: %s" % (name, type(e).__name__, e))
    elif stage == "encode":
        if isinstance(e, UnicodeEncodeError):
            return Outcome(name, FAILED, "%s: left alone: the rewrite cannot be written in %s: %s" % (
                name, encoding_name(encoding), e.reason))
    elif stage == "write":
        if isinstance(e, Refused):
            return Outcome(name, FAILED, "%s: %s" % (name, e))
        if isinstance(e, OSError):
            return Outcome(name, FAILED, "%s: cannot write: %s" % (name, e.strerror or e))
    return None


def rewrite_text(name, text, options, allow_reformat=False):
    """The rewrite of one decoded text, with the warnings to report, each
    naming its place in file `name`. Raises SyntaxError for text that does
    not parse and SpliceRejected for a splice that cannot be used, unless
    `allow_reformat`; any other exception is a fault of the rules or the
    renderer."""
    load_rewrite()
    from ..rewrite import FELL_BACK

    result = rewrite(text, options, FrontendTorchCodePostProcessor, reformat=allow_reformat)
    warnings = ["%s:%d: %s" % (name, line, message) for line, message in result.notes]
    if result.whole:
        reason = result.reason
        warnings.append("%s: %s: %s" % (placed(name, reason.line, reason.column), FELL_BACK, reason.what))
    return result, tuple(warnings)


def process_file(job, settings, abortable=contextlib.nullcontext):
    """Reads, rewrites and (in place mode) writes one file; never raises for
    a fault of the file, which comes back as a failed outcome instead.
    `abortable()` is entered while nothing has been written yet (a signal may
    then stop the file at once)."""
    name, data = job  # data is None for a file still to be read
    from_file = data is None
    keep = settings.keep_text or not from_file
    snapshot = encoding = None
    stage = "read"
    try:
        with abortable():
            if from_file:
                data, snapshot = read_source(name)
            text, encoding = decode(data)
            del data  # the text is all that is needed from here on
            stage = "rewrite"
            result, warnings = rewrite_text(name, text, settings.options, settings.allow_reformat)
            output = result.output
            if output is None:
                return Outcome(name, UNCHANGED, "", *((text, text) if keep else ()), warnings=warnings,
                               encoding=encoding, seen=snapshot and (snapshot.size, snapshot.digest))
            stage = "encode"
            new_data = encode(output, encoding)
            if not same_encoding(new_data, encoding):  # a coding declaration lost by the rendering
                return Outcome(name, FAILED, "%s: left alone: the rewrite would lose its %s coding declaration" % (
                    name, encoding))
        stage = "write"
        if settings.in_place and from_file:
            write_atomically(name, new_data, snapshot)
    except Exception as e:
        outcome = failure(name, stage, e, encoding)
        if outcome is None:
            raise
        if outcome.status == REJECTED and keep:  # printed as it is where output is printed
            outcome = outcome._replace(original=text, output=text, encoding=encoding)
        return outcome
    return Outcome(name, CHANGED, "", *((text, output) if keep else ()), warnings=warnings,
                   whole=result.whole, encoding=encoding)
