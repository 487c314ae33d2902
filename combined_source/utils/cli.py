"""Command line of the post-processor: rewrites files of generated orb code.

Each file is parsed, rewritten by ``FrontendTorchCodePostProcessor`` and
spliced (``splice``): only the source spans of what the rules changed are
replaced, everything else stays byte for byte. A file counts as changed when
its rewritten tree differs from the parse of the original, so a file that the
rules leave alone is never touched. Output of the rules found in the input is
left alone, so running the command line on its own output changes nothing.
"""
import argparse
import ast
import concurrent.futures
import contextlib
import difflib
import functools
import json
import os
import re
import stat
import sys
import tempfile
from typing import NamedTuple, Optional

from . import config, splice
from .splice import OrbApiObject, render  # noqa: F401  (part of this module's interface)
from .ZOK import FrontendTorchCodePostProcessor

PROG = "orb-postprocess"
TRANSPOSE_ENV = "APPLY_TRANSPOSE_OPTIMIZATION"
EXIT_OK, EXIT_CHANGED, EXIT_INPUT, EXIT_INTERNAL = 0, 1, 2, 123
CHANGED, UNCHANGED, FAILED, BROKEN = "changed", "unchanged", "failed", "broken"
PROGRESS_MIN_FILES = 6

EPILOG = """\
PATH is a file, a folder (every *.py below it, in sorted order, skipping
names that start with a dot) or - for standard input.

output modes:
  (default)     print the rewritten source; with several files each one
                follows a header line "# ==> PATH <==". Unchanged files are
                printed as they are.
  --diff        print a unified diff from each file to its rewritten text
  --check       list the files that would be rewritten; write nothing
  --in-place    replace each changed file atomically; unchanged files are
                not touched; standard input is printed instead

exit status:
  0    success (with --check: nothing would change)
  1    --check: some file would be rewritten
  2    usage error, or a file could not be read, decoded, parsed or written
  123  internal error: the post-processor or the renderer failed on a file
"""


class Settings(NamedTuple):
    """What every file of a run is processed with; sent to worker processes."""

    object_name: str
    orb_api: bool
    new_name: str
    dtype_map: dict
    in_place: bool
    keep_text: bool  # whether the outcome carries the texts back


class Outcome(NamedTuple):
    name: str
    status: str
    message: str = ""
    original: str = ""
    output: str = ""
    warnings: tuple = ()
    whole: bool = False  # the output is the whole rendering, not the spliced text


class Rewritten(NamedTuple):
    """What the rules made of one decoded source text."""

    output: Optional[str]  # the new text, None when nothing changes
    warnings: tuple = ()  # lines to report, each naming a place in the file
    whole: bool = False  # the output is the whole rendering of the rewritten tree


def rewrite_text(name, text, settings):
    """The rewrite of one decoded source text (a leading byte-order mark
    included): the text with only the rewritten expressions replaced, or
    None when nothing changes. Output of the rules already present in the
    text is kept as it is, so a second run changes nothing. Raises
    SyntaxError for text that does not parse; any other exception is a
    fault of the post-processor or the renderer."""
    options = splice.Options(settings.object_name, settings.orb_api, settings.new_name, settings.dtype_map)
    result = splice.rewrite(text, options, FrontendTorchCodePostProcessor)
    warnings = ["%s:%d: %s" % (name, line, message) for line, message in result.notes]
    if result.whole:
        warnings.append("%s: %s" % (name, splice.FELL_BACK))
    return Rewritten(result.output, tuple(warnings), result.whole)


def write_atomically(path, data):
    """Replaces the file's content by `data` with a rename from a temporary file
    beside it: readers see the old or the new file, never a mix, and on any
    failure the old file stays as it was and the temporary file is removed."""
    target = os.path.realpath(path)
    mode = stat.S_IMODE(os.stat(target).st_mode)
    directory, base = os.path.split(target)
    fd, tmp = tempfile.mkstemp(prefix="." + base + ".", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def process(job, settings):
    """Reads, rewrites and (in place mode) writes one file; never raises for
    a fault of the file, which comes back as a failed outcome instead."""
    name, data = job  # data is None for a file still to be read
    from_file = data is None
    try:
        if from_file:
            with open(name, "rb") as f:
                data = f.read()
        text = data.decode("utf-8")
    except OSError as e:
        return Outcome(name, FAILED, "%s: cannot read: %s" % (name, e.strerror or e))
    except UnicodeDecodeError as e:
        return Outcome(name, FAILED, "%s: not UTF-8: %s at byte %d" % (name, e.reason, e.start))
    keep = settings.keep_text or not from_file
    try:
        result = rewrite_text(name, text, settings)
    except (SyntaxError, ValueError) as e:  # ValueError: 3.8's refusal of null bytes
        line, column = getattr(e, "lineno", None), getattr(e, "offset", None)
        where = (":%d" % line if line else "") + (":%d" % column if line and column else "")
        return Outcome(name, FAILED, "%s%s: cannot parse: %s" % (name, where, getattr(e, "msg", e)))
    except Exception as e:  # a fault of the post-processor or the renderer
        return Outcome(name, BROKEN, "%s: internal error: %s: %s" % (name, type(e).__name__, e))
    output = result.output
    if output is None:
        return Outcome(name, UNCHANGED, "", *((text, text) if keep else ()), warnings=result.warnings)
    whole = result.whole
    if settings.in_place and from_file:
        try:
            write_atomically(name, output.encode("utf-8"))
        except OSError as e:
            return Outcome(name, FAILED, "%s: cannot write: %s" % (name, e.strerror or e))
    return Outcome(name, CHANGED, "", *((text, output) if keep else ()), warnings=result.warnings, whole=whole)


def run(jobs, settings, workers):
    """Outcomes of all jobs in the order of the jobs, computed in worker
    processes when there is more than one job and more than one worker."""
    work = functools.partial(process, settings=settings)
    if workers == 1 or len(jobs) <= 1:
        yield from map(work, jobs)
        return
    workers = min(workers, len(jobs))
    with concurrent.futures.ProcessPoolExecutor(workers) as pool:
        yield from pool.map(work, jobs, chunksize=max(1, len(jobs) // (workers * 4)))


def collect(paths):
    """The jobs for the command-line paths, in order and without repeats."""
    names = []
    for path in paths:
        if path != "-" and os.path.isdir(path):
            found = []
            for root, dirs, files in os.walk(path):
                dirs[:] = [d for d in dirs if not d.startswith(".")]
                found += [os.path.join(root, f) for f in files if f.endswith(".py") and not f.startswith(".")]
            names += sorted(found)
        else:
            names.append(path)
    unique = {}  # the same file reached by two paths is processed once
    for name in names:
        unique.setdefault(name if name == "-" else os.path.realpath(name), name)
    return [(name, sys.stdin.buffer.read() if name == "-" else None) for name in unique.values()]


def diff_lines(name, old, new):
    split = functools.partial(re.findall, r"[^\n]*\n|[^\n]+\Z")
    for line in difflib.unified_diff(split(old), split(new), name, name):
        yield line if line.endswith("\n") else line + "\n\\ No newline at end of file\n"


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


@contextlib.contextmanager
def transpose_switched_on(on):
    """Sets the post-processor's transpose variable for the run (worker
    processes inherit it) and restores what was there before."""
    old = os.environ.get(TRANSPOSE_ENV)
    if on:
        os.environ[TRANSPOSE_ENV] = "true"
    try:
        yield
    finally:
        if on and old is None:
            del os.environ[TRANSPOSE_ENV]
        elif on:
            os.environ[TRANSPOSE_ENV] = old


def positive_int(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("expected a whole number of at least 1, got %r" % text)
    return int(text)


def build_parser():
    p = argparse.ArgumentParser(
        prog=PROG, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Rewrite generated orb source files with the torch-to-orb post-processor.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="file, folder or - (standard input)")
    mode = p.add_argument_group("output modes (default: print the rewritten source)")
    mode.add_argument("--diff", action="store_true", help="print unified diffs instead of sources")
    mode.add_argument("--check", action="store_true", help="exit 1 if any file would be rewritten")
    mode.add_argument("-i", "--in-place", action="store_true", help="rewrite changed files in place")
    rules = p.add_argument_group("post-processing")
    rules.add_argument("--object-name", default="", metavar="NAME",
                       help="qualified name of the translated object, e.g. torch.nn.modules.conv._ConvNd")
    rules.add_argument("--orb-api", action="store_true", help="the translated object is part of the orb API")
    rules.add_argument("--new-name", default="arr", metavar="NAME",
                       help="name that replaces self with --orb-api (default: %(default)s)")
    rules.add_argument("--transpose", action="store_true",
                       help="channel-last layouts (like %s=true)" % TRANSPOSE_ENV)
    rules.add_argument("--dtype-map", metavar="FILE",
                       help="JSON object mapping source text of attribute chains to replacement text")
    p.add_argument("-j", "--jobs", type=positive_int, default=os.cpu_count() or 1, metavar="N",
                   help="worker processes (default: number of cores, %(default)s here)")
    p.add_argument("-q", "--quiet", action="store_true", help="report only errors on stderr")
    p.add_argument("--version", action=config.VersionAction)
    return p


def load_dtype_map(parser, path):
    """The mapping read from `path`; a usage error unless every value is an expression."""
    if path is None:
        return {}
    try:
        with open(path, encoding="utf-8") as f:
            mapping = json.load(f)
    except OSError as e:
        parser.error("--dtype-map %s: cannot read: %s" % (path, e.strerror or e))
    except ValueError as e:
        parser.error("--dtype-map %s: not valid JSON: %s" % (path, e))
    if not isinstance(mapping, dict) or not all(isinstance(v, str) for v in mapping.values()):
        parser.error("--dtype-map %s: must be a JSON object whose values are strings" % path)
    for key, value in mapping.items():
        try:
            ast.parse(value, mode="eval")
        except (SyntaxError, ValueError):
            parser.error("--dtype-map %s: replacement of %r is not a Python expression: %r" % (path, key, value))
    return mapping


def main(argv=None):
    parser = build_parser()
    args = config.parse_args(parser, argv)  # defaults from [tool.orb-postprocess] in pyproject.toml
    if args.in_place and (args.diff or args.check):
        parser.error("--in-place cannot be combined with --diff or --check")
    printing = not (args.diff or args.check or args.in_place)
    settings = Settings(args.object_name, args.orb_api, args.new_name,
                        load_dtype_map(parser, args.dtype_map), args.in_place, printing or args.diff)
    jobs = collect(args.paths)
    if not jobs:
        print("%s: no Python files found" % PROG, file=sys.stderr)
        return EXIT_OK
    progress = Progress(len(jobs), len(jobs) >= PROGRESS_MIN_FILES and not args.quiet and sys.stderr.isatty())
    counts = dict.fromkeys((CHANGED, UNCHANGED, FAILED, BROKEN), 0)
    status = EXIT_OK
    whole = 0  # files that took the whole rendering
    out = sys.stdout.buffer

    def emit(text):
        progress.clear()
        out.write(text.encode("utf-8"))
        out.flush()

    def note(line, always=False):
        if always or not args.quiet:
            progress.clear()
            print(line, file=sys.stderr, flush=True)

    try:
        with transpose_switched_on(args.transpose):
            for o in run(jobs, settings, args.jobs):
                counts[o.status] += 1
                whole += o.whole
                for line in o.warnings:
                    note("warning: " + line, always=True)
                if o.status in (FAILED, BROKEN):
                    note(o.message, always=True)
                    status = max(status, EXIT_INPUT if o.status == FAILED else EXIT_INTERNAL)
                elif printing or (args.in_place and o.name == "-"):
                    header = "# ==> %s <==\n" % o.name if len(jobs) > 1 else ""
                    emit(header + o.output + ("" if o.output.endswith("\n") or not header else "\n"))
                elif o.status == CHANGED:
                    if args.diff:
                        emit("".join(diff_lines(o.name, o.original, o.output)))
                    if args.check:
                        status = max(status, EXIT_CHANGED)
                    note(("rewrote " if args.in_place else "would rewrite ") + o.name)
                progress.step()
    except KeyboardInterrupt:
        progress.clear()
        return 130
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, as a program
        # killed by SIGPIPE would, and keep the interpreter's final flush
        # from complaining about the closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except Exception as e:  # a worker died, or output could not be written
        note("%s: internal error: %s: %s" % (PROG, type(e).__name__, e), always=True)
        return EXIT_INTERNAL
    progress.clear()
    note("%d file%s: %d changed, %d unchanged, %d failed%s" % (
        len(jobs), "" if len(jobs) == 1 else "s", counts[CHANGED], counts[UNCHANGED],
        counts[FAILED] + counts[BROKEN], ", %d rendered whole" % whole if whole else ""))
    return status
