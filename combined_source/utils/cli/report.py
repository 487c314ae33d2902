"""What a run tells: outputs and diffs on stdout, messages, progress and the
summary on stderr, and the exit status."""
import difflib
import functools
import os
import re
import sys

from ..findings import CHANGE, kind_of
from . import formats
from .files import encode
from .process import BROKEN, CHANGED, FAILED, REJECTED, SKIPPED, UNCHANGED, failure_finding

EXIT_OK, EXIT_CHANGED, EXIT_INPUT, EXIT_INTERNAL = 0, 1, 2, 123
PROGRESS_MIN_FILES = 6


def diff_lines(name, old, new):
    split = functools.partial(re.findall, r"[^\n]*\n|[^\n]+\Z")
    for line in difflib.unified_diff(split(old), split(new), name, name):
        yield line if line.endswith("\n") else line + "\n\\ No newline at end of file\n"


# Colours of a diff's lines by their first byte; the two header lines are bold.
DIFF_COLOURS = {b"+": b"\x1b[32m", b"-": b"\x1b[31m", b"@": b"\x1b[36m"}
BOLD, RESET = b"\x1b[1m", b"\x1b[0m"


def cached_line(name):
    """What --verbose says of a file whose result came from the cache."""
    return "%s: unchanged (cached)" % name


def to_stderr(line):
    """Writes one line on stderr; file names that are not UTF-8 go out as
    the bytes they are."""
    err = sys.stderr
    raw = getattr(err, "buffer", None)
    if raw is None:
        print(line, file=err, flush=True)
    else:
        err.flush()
        raw.write(line.encode("utf-8", "surrogateescape") + b"\n")
        raw.flush()


class Progress:
    """A bar redrawn in place on stderr; does nothing when not enabled."""

    def __init__(self, total, enabled):
        self.total, self.done, self.enabled = total, 0, enabled

    def step(self):
        if self.enabled:
            self.done += 1
            filled = 30 * self.done // self.total
            sys.stderr.write("\r[%s%s] %d/%d" % ("#" * filled, "." * (30 - filled), self.done, self.total))
            sys.stderr.flush()

    def clear(self):
        if self.enabled:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


class Report:
    """The report of one run of `total` files in the output mode of `args`:
    each outcome as it comes (`add`), the counts, the exit status and the
    summary."""

    def __init__(self, args, total, stdin_at=None):
        self.args, self.total = args, total
        self.stdin_at, self.added = stdin_at, 0  # the place of standard input's job, and the jobs reported
        self.printing = not (args.diff or args.check or args.in_place)
        self.progress = Progress(total, total >= PROGRESS_MIN_FILES and not args.quiet and sys.stderr.isatty())
        self.counts = dict.fromkeys((CHANGED, UNCHANGED, FAILED, BROKEN, REJECTED, SKIPPED), 0)
        self.status = EXIT_OK
        self.whole = 0  # files that took the whole rendering
        self.targets = 0  # assignment targets rewritten
        self.current = None  # the file being reported
        self.out = sys.stdout.buffer
        self.format = getattr(args, "output_format", "text")
        self.found = []  # (path, finding) of the run, for a machine format and the statistics
        self.keep_found = self.format in ("json", "gitlab") or getattr(args, "statistics", False)

    def emit(self, data):
        self.progress.clear()
        out = self.out
        out.write(data)
        out.flush()

    def note(self, line, always=False):
        if always or not self.args.quiet:
            self.progress.clear()
            to_stderr(line)

    def warn(self, line):
        self.note("warning: " + line)

    def verbose(self, o, cached=False):
        """The -v line of a file processed: what became of it."""
        if cached:
            self.note(cached_line(o.name))
        elif o.status in (CHANGED, UNCHANGED):
            self.note("%s: %s" % (o.name, o.status))

    def write_text(self, text):
        self.emit(text.encode("utf-8", "surrogateescape"))

    def findings(self, o):
        """The findings of outcome `o`: its own, or for a failure that came
        without one (a worker that ended), one made from its message."""
        if o.findings or o.status not in (FAILED, BROKEN, REJECTED):
            return sorted(o.findings, key=lambda f: (f.line or 0, f.column or 0))
        rule = {BROKEN: "internal-error", REJECTED: "not-rewritten"}.get(o.status, "read-error")
        return (failure_finding(o.name, o.message, rule),)

    def listed(self, o, found):
        """The line naming changed file `o` with the place and rule of its
        first change, in the text format."""
        first = next((f for f in found if kind_of(f.rule) == CHANGE), found[0] if found else None)
        if first is None:
            return "%s: would rewrite" % o.name
        return "%s:%d:%d: would rewrite (%s)" % (o.name, first.line, first.column, first.rule)

    def add(self, o, cached=False):
        """Reports the outcome `o` of one file (`cached`: taken from the cache)."""
        args = self.args
        self.current = o.name
        from_stdin, self.added = self.added == self.stdin_at, self.added + 1
        self.counts[o.status] += 1
        self.whole += o.whole
        self.targets += o.targets
        found = self.findings(o)
        if self.keep_found:
            self.found.extend((o.name, f) for f in found)
        if self.format == "github":  # one line per finding, as the files come
            self.write_text(formats.to_github([(o.name, f) for f in found], args.check))
        for line in o.warnings:
            self.warn(line)
        if o.status in (FAILED, BROKEN, REJECTED):
            self.note(o.message, always=True)
            self.status = max(self.status, EXIT_INTERNAL if o.status == BROKEN else EXIT_INPUT)
        if o.status == SKIPPED:
            self.note(o.message)
        if o.status in (FAILED, BROKEN, SKIPPED):
            pass  # nothing to print: the message says why
        elif self.printing or (args.in_place and from_stdin):  # a rejected file is printed as it is
            header = b"# ==> " + os.fsencode(o.name) + b" <==\n" if self.total > 1 else b""
            text = o.output + ("" if o.output.endswith("\n") or not header else "\n")
            self.emit(header + encode(text, o.encoding))
        elif o.status == CHANGED:
            if args.diff:
                self.write_diff(self.diff(o))
            if args.check:
                self.status = max(self.status, EXIT_CHANGED)
            if args.in_place:
                self.note("rewrote " + o.name)
            elif self.format != "text":
                pass  # the findings say it
            elif args.check and not args.diff:  # the listing is the output
                self.write_text(self.listed(o, found) + "\n")
            else:  # stdout holds the diff
                self.note(self.listed(o, found))
        if args.verbose:
            self.verbose(o, cached)
        self.progress.step()
        self.current = None

    def write_diff(self, data):
        """A diff goes to stdout, unless stdout holds the findings of a
        machine format: then to stderr."""
        if self.format == "text":
            self.emit(data)
        else:
            self.progress.clear()
            err = sys.stderr
            err.flush()
            getattr(err, "buffer", err).write(data)
            err.flush()

    def diff(self, o):
        """The diff of outcome `o`, coloured when args.color is true."""
        out = []
        for i, line in enumerate(diff_lines(o.name, o.original, o.output)):
            header = i < 2 and line.startswith(("--- ", "+++ "))
            data = os.fsencode(line) if header else encode(line, o.encoding)
            if self.args.color:
                body, _, rest = data.partition(b"\n")  # rest: a note of no newline at the end
                colour = BOLD if header else DIFF_COLOURS.get(body[:1])
                data = colour + body + RESET + b"\n" + rest if colour else data
            out.append(data)
        return b"".join(out)

    def summary(self, prefix=""):
        self.progress.clear()
        if self.format in formats.WRITERS and self.format != "github":
            self.write_text(formats.WRITERS[self.format](self.found, self.args.check))
        counts = self.counts
        done = sum(counts.values())
        failed = counts[FAILED] + counts[BROKEN]
        rest = "%s%s" % (", %d rendered whole" % self.whole if self.whole else "",
                         ", %d not rewritten" % counts[REJECTED] if counts[REJECTED] else "")
        if self.targets:
            rest += ", %d assignment target%s rewritten" % (self.targets, "" if self.targets == 1 else "s")
        rest += ", %d skipped" % counts[SKIPPED] if counts[SKIPPED] else ""
        if self.args.check:  # what would be done
            changed = counts[CHANGED]
            head = ("%s%d file%s: %d" % (prefix, done, "" if done == 1 else "s", changed) if prefix
                    else "%d file%s" % (changed, "" if changed == 1 else "s"))
            self.note("%s would be rewritten, %d left unchanged%s%s" % (
                head, counts[UNCHANGED], ", %d failed" % failed if failed else "", rest))
        else:
            self.note("%s%d file%s: %d changed, %d unchanged, %d failed%s" % (
                prefix, done, "" if done == 1 else "s", counts[CHANGED], counts[UNCHANGED], failed, rest))
        if getattr(self.args, "statistics", False):
            table = formats.statistics(self.found) or "no findings\n"
            if self.format == "text" and self.args.check and not self.args.diff:
                self.write_text(table)
            else:
                self.progress.clear()
                sys.stderr.write(table)
                sys.stderr.flush()
