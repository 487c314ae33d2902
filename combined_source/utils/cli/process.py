"""Processing one file: read, decode, rewrite, encode and (in place) write.
A fault of the file comes back as a failed outcome whose message `failure`
writes; nothing else is caught.

The rewrite (and with it gast) and the native module are imported when the
first file is rewritten, so that a run whose files all come from the cache
loads neither."""
import contextlib
import re
import unicodedata
import warnings
from typing import TYPE_CHECKING, NamedTuple, Optional

from .. import NoValidSource, SpliceRejected
from ..findings import Finding
from .files import ReadOnly, Refused, decode, encode, encoding_name, read_source, same_encoding, write_atomically

if TYPE_CHECKING:
    from ..rewrite import Options

rewrite = FrontendTorchCodePostProcessor = None  # imported by `load_rewrite` when first needed

CHANGED, UNCHANGED, FAILED, BROKEN = "changed", "unchanged", "failed", "broken"
REJECTED = "rejected"  # not rewritten: the splice was rejected and whole rendering not allowed
TARGET_RULE = "assignment-target"  # the findings of rewritten targets, which are also warnings
SKIPPED = "skipped"  # left alone as its owner asked (read-only), not a failure
LINE_BREAK = re.compile(r"\r\n|\r|\n")  # the line breaks of Python source
EXCERPT_MAX = 100  # characters of a long line shown around the column of a parse error


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
    targets: int = 0  # assignment targets rewritten
    findings: tuple = ()  # a Finding per change and warning; for a file that failed, one saying why
    seen: Optional[tuple] = None  # of an unchanged file read from disk: (size, SHA-256) of what was read


def placed(name, line, column):
    """`name` with `:line:column` where known."""
    return name + ("" if line is None else ":%d" % line + ("" if column is None else ":%d" % column))


def undecodable_at(e):
    """(line, column) of the first byte that `e`, a UnicodeDecodeError,
    refused, both from 1, the column in characters as an editor counts them."""
    before = LINE_BREAK.split(e.object[:e.start].decode(e.encoding, "replace"))
    return len(before), len(before[-1]) + 1 - (len(before) == 1 and before[0].startswith("\ufeff"))


def _width(c):
    """Columns of character `c` on a terminal: wide ones take two, combining marks none."""
    if unicodedata.combining(c):
        return 0
    return 2 if unicodedata.east_asian_width(c) in "WF" else 1


def excerpt(text, line, column):
    """Line `line` of `text` and a caret under its character `column` (both
    from 1), indented, as Python's traceback shows a syntax error; "" when
    the line is not in the text. Leading blanks are left out, a long line is
    cut around the column, and a tab stays a tab in the caret's line so the
    two line up; characters that would act on a terminal are shown as U+FFFD."""
    if not line or not text:
        return ""
    lines = LINE_BREAK.split(text, maxsplit=line)
    if line > len(lines) or (line == len(lines) and not lines[-1]):
        return ""
    shown = lines[line - 1][line == 1 and text.startswith("\ufeff"):]  # the parser did not see a byte-order mark
    stripped = shown.lstrip(" \t\f")
    at = max(0, min((column or 1) - 1 - (len(shown) - len(stripped)), len(stripped)))
    start = max(0, min(at - EXCERPT_MAX // 2, len(stripped) - EXCERPT_MAX))
    piece = stripped[start:start + EXCERPT_MAX]
    head, tail = "..." if start else "", "..." if start + EXCERPT_MAX < len(stripped) else ""
    piece = "".join(c if c == "\t" or c.isprintable() else "\ufffd" for c in piece)
    caret = "".join("\t" if c == "\t" else " " * _width(c) for c in head + piece[:at - start])
    return "\n    %s%s%s\n    %s^" % (head, piece, tail, caret)


def failure(name, stage, e, encoding=None, text=None):
    """The outcome of exception `e` raised while `stage` ("read", "rewrite",
    "encode" or "write") of file `name` ran, or None for an exception that is
    not the file's fault. `encoding` is the file's and `text` its decoded
    text, once they are known."""
    if stage == "read":
        if isinstance(e, Refused):
            return Outcome(name, FAILED, "%s: cannot read: %s" % (name, e))
        if isinstance(e, OSError):
            return Outcome(name, FAILED, "%s: cannot read: %s" % (name, e.strerror or e))
        if isinstance(e, SyntaxError):  # from detect_encoding: unknown or conflicting declaration
            where = ":%d" % e.lineno if getattr(e, "lineno", None) else ""
            return Outcome(name, FAILED, "%s%s: cannot decode: %s" % (name, where, e.msg))
        if isinstance(e, UnicodeDecodeError):
            return Outcome(name, FAILED, "%s: not %s: %s" % (
                placed(name, *undecodable_at(e)), encoding_name(e.encoding), e.reason))
    elif stage == "rewrite":
        if isinstance(e, NoValidSource):  # not even the whole rendering parses
            return Outcome(name, REJECTED, "%s: not rewritten: %s" % (placed(name, e.line, e.column), e.reason))
        if isinstance(e, SpliceRejected):
            return Outcome(name, REJECTED, "%s: not rewritten: its layout cannot be kept: %s "
                           "(--allow-reformat renders the file whole, losing its comments)" % (
                               placed(name, e.line, e.column), e.reason))
        if isinstance(e, (SyntaxError, ValueError)):  # ValueError: 3.8's refusal of null bytes
            line, column = getattr(e, "lineno", None), getattr(e, "offset", None)
            where = (":%d" % line if line else "") + (":%d" % column if line and column else "")
            return Outcome(name, FAILED, "%s%s: cannot parse: %s%s" % (
                name, where, getattr(e, "msg", e), excerpt(text, line, column)))
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
        if isinstance(e, ReadOnly):
            return Outcome(name, SKIPPED, "%s: skipped: %s" % (name, e))
        if isinstance(e, Refused):
            return Outcome(name, FAILED, "%s: %s" % (name, e))
        if isinstance(e, OSError):
            return Outcome(name, FAILED, "%s: cannot write: %s" % (name, e.strerror or e))
    return None


def failure_rule(stage, e):
    """The rule name of the failure that exception `e` raised in `stage`
    caused (as `failure` tells them apart)."""
    if stage == "read":
        return "decode-error" if isinstance(e, (SyntaxError, UnicodeDecodeError)) else "read-error"
    if stage == "rewrite":
        if isinstance(e, SpliceRejected):
            return "not-rewritten"
        if isinstance(e, (SyntaxError, ValueError)):
            return "parse-error"
        if isinstance(e, (RecursionError, MemoryError)):
            return "too-complex"
        return "internal-error"
    return "encode-error" if stage == "encode" else "write-error"


_PLACE = re.compile(r":(\d+)(?::(\d+))?: ")


def failure_finding(name, message, rule):
    """The finding of a file that failed with `message` (which starts with
    the file's name and, where known, its line and column)."""
    line = column = 1
    text = message
    if message.startswith(name):
        text = message[len(name):]
        m = _PLACE.match(text)
        if m:
            line, column = int(m.group(1)), int(m.group(2) or 1)
            text = text[m.end():]
        elif text.startswith(": "):
            text = text[2:]
    return Finding(line, column, line, column, rule, text)


def rewrite_text(name, text, options, allow_reformat=False):
    """The rewrite of one decoded text, with the warnings to report, each
    naming its place in file `name`. Raises SyntaxError for text that does
    not parse and SpliceRejected for a splice that cannot be used, unless
    `allow_reformat`; any other exception is a fault of the rules or the
    renderer."""
    load_rewrite()
    from ..rewrite import FELL_BACK

    with warnings.catch_warnings():
        # What the compiler warns of in the text (an invalid escape sequence)
        # comes back in the notes, with its line; the parses of the check
        # would only repeat it, as from "<unknown>".
        warnings.filterwarnings("ignore", module="<unknown>")
        result = rewrite(text, options, FrontendTorchCodePostProcessor, reformat=allow_reformat)
    noted = [placed(name, note[0], note[1] if len(note) > 2 else None) + ": " + note[-1] for note in result.notes]
    noted += ["%s:%d:%d: %s" % (name, f.line, f.column, f.message) for f in result.findings if f.rule == TARGET_RULE]
    if result.whole:
        reason = result.reason
        noted.append("%s: %s: %s" % (placed(name, reason.line, reason.column), FELL_BACK, reason.what))
    return result, tuple(noted)


def process_file(job, settings, abortable=contextlib.nullcontext):
    """Reads, rewrites and (in place mode) writes one file; never raises for
    a fault of the file, which comes back as a failed outcome instead.
    `abortable()` is entered while nothing has been written yet (a signal may
    then stop the file at once)."""
    name, data = job  # data is None for a file still to be read
    from_file = data is None
    keep = settings.keep_text or not from_file
    snapshot = encoding = text = None
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
                               encoding=encoding, findings=result.findings,
                               seen=snapshot and (snapshot.size, snapshot.digest))
            stage = "encode"
            new_data = encode(output, encoding)
            if not same_encoding(new_data, encoding):  # a coding declaration lost by the rendering
                message = "%s: left alone: the rewrite would lose its %s coding declaration" % (name, encoding)
                return Outcome(name, FAILED, message, findings=(failure_finding(name, message, "encode-error"),))
        stage = "write"
        if settings.in_place and from_file:
            write_atomically(name, new_data, snapshot)
    except Exception as e:
        outcome = failure(name, stage, e, encoding, text)
        if outcome is None:
            raise
        outcome = outcome._replace(findings=(failure_finding(name, outcome.message, failure_rule(stage, e)),))
        if outcome.status == REJECTED and keep:  # printed as it is where output is printed
            outcome = outcome._replace(original=text, output=text, encoding=encoding)
        return outcome
    return Outcome(name, CHANGED, "", *((text, output) if keep else ()), warnings=warnings,
                   whole=result.whole, encoding=encoding, findings=result.findings,
                   targets=sum(f.rule == TARGET_RULE for f in result.findings))
