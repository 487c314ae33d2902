"""The command line's options: the parser, the checks of option values and
the loading of the dtype map."""
import argparse
import ast
import json
import keyword
import os
import textwrap

from .. import TRANSPOSE_ENV, config
from . import cache, discovery

PROG = "orb-postprocess"
DTYPE_MAP_MAX_BYTES = 16 << 20

EPILOG = """\
PATH is a file, a folder or - for standard input. A folder yields the files
below it that --include matches (default: .py files), in sorted order,
skipping:
  - what git ignores: every .gitignore from the project root (the nearest
    folder above the paths holding .git or pyproject.toml) down to the
    file, and .git/info/exclude (git itself is not needed);
  - by default, any folder holding pyvenv.cfg (a virtual environment) and
    the folders named
%(defaults)s;
    --exclude replaces this set, --extend-exclude adds to it;
  - symbolic links to folders, links to files outside the project root,
    and anything that is not a regular file.
The expressions are searched in the path relative to the project root with
/ separators, a leading / and, for a folder, a trailing / ("/src/gen/",
"/src/gen/m.py"); a value holding a newline is read in verbose mode. A path
named on the command line is processed even when ignored or excluded,
unless --force-exclude matches it; a named path that is not a regular file
(a pipe, a device) is refused. --verbose names each path skipped, and why.

output modes:
  (default)     print the rewritten source; with several files each one
                follows a header line "# ==> PATH <==". Unchanged files are
                printed as they are.
  --diff        print a unified diff from each file to its rewritten text;
                coloured when stdout is a terminal, unless NO_COLOR is set
                (FORCE_COLOR colours any output; NO_COLOR wins when both are
                set, and --color/--no-color win over both)
  --check       list the files that would be rewritten; write nothing
  --in-place    replace each changed file atomically; unchanged files are
                not touched; standard input is printed instead. A file that
                changed since it was read, has several hard links or has no
                write permission is left alone with a message.
Only the rewritten expressions change; the result is parsed and compared
with the rewritten tree first. A file where they differ is not rewritten:
it is named with the line and column of the difference, printed as it is
where output is printed, left out of diffs and --check's list, counted as
"not rewritten" and the exit status is 2. --allow-reformat renders such a
file whole instead (losing its comments and layout), with a warning.
Standard input that --force-exclude matches (by --stdin-filename) is
printed back unchanged, so an editor keeps its buffer.

configuration:
  Defaults come from the [tool.%(table)s] table of the file that
  --config names, or else of the nearest %(file)s that has one, searched
  upwards from the folder holding the paths (for standard input, the folder
  of --stdin-filename or the current one). Options given on the command
  line win; --no-FLAG turns off a flag that the file turns on. Keys (words
  joined by - or _):
%(keys)s

cache:
  A file in which a run finds nothing to change and nothing to warn about
  is remembered (path, size, SHA-256) in one cache file per set of options
  (the options that decide results, the dtype map's contents, the transpose
  variable, the Python version, the installed code). A later run with the
  same set hashes each file and takes one it knows from the cache instead
  of rewriting it: unchanged, printed as it is where output is printed, and
  named by --verbose as "PATH: unchanged (cached)". Standard input is not
  cached. The folder: --cache-dir, else $ORB_POSTPROCESS_CACHE_DIR, else
  $XDG_CACHE_HOME/orb-postprocess or ~/.cache/orb-postprocess. --no-cache
  (or cache = false) turns it off. A damaged or foreign cache file is
  ignored and replaced; a folder that cannot be written is one warning and
  the run goes on without the cache.

exit status:
  0    success (with --check: nothing would change)
  1    --check: some file would be rewritten
  2    usage error, or a file could not be read, decoded, parsed or written,
       or was not rewritten because its layout could not be kept
  123  internal error: the post-processor or the renderer failed on a file
  130  interrupted (SIGINT), 143 terminated (SIGTERM); the files written
       before the stop are reported
"""


def epilog():
    keys = "\n".join("    %-16s%s" % (key, expected) for key, (_, _, expected) in config.OPTIONS.items())
    defaults = textwrap.fill(", ".join(sorted(discovery.DEFAULT_EXCLUDES)), 76, initial_indent="    ", break_on_hyphens=False,
                             subsequent_indent="    ")
    return EPILOG % {"defaults": defaults, "table": config.TABLE,
                     "file": config.FILE, "keys": keys}


class Flag(argparse.Action):
    """A switch with its negation: ``--NAME`` sets it, ``--no-NAME`` clears it
    (so a flag that the configuration sets can be turned off again)."""

    def __init__(self, option_strings, dest, default=False, help=None):
        negations = ["--no-" + o[2:] for o in option_strings if o.startswith("--")]
        super().__init__(option_strings + negations, dest, nargs=0, default=default, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        setattr(namespace, self.dest, not option_string.startswith("--no-"))


def expression(text):
    try:
        return discovery.regex(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def positive_int(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("expected a whole number of at least 1, got %r" % text)
    return int(text)


def build_parser():
    p = argparse.ArgumentParser(
        prog=PROG, epilog=epilog(), formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Rewrite generated orb source files with the torch-to-orb post-processor.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="file, folder or - (standard input)")
    mode = p.add_argument_group("output modes (default: print the rewritten source)")
    mode.add_argument("--diff", action="store_true", help="print unified diffs instead of sources")
    mode.add_argument("--check", action="store_true", help="exit 1 if any file would be rewritten")
    mode.add_argument("-i", "--in-place", action="store_true", help="rewrite changed files in place")
    mode.add_argument("--color", action=Flag, default=None, help="colour the diff (default: on a terminal)")
    rules = p.add_argument_group("post-processing")
    rules.add_argument("--object-name", default="", metavar="NAME",
                       help="qualified name of the translated object, e.g. torch.nn.modules.conv._ConvNd")
    rules.add_argument("--orb-api", action=Flag, help="the translated object is part of the orb API")
    rules.add_argument("--new-name", default="arr", metavar="NAME",
                       help="name that replaces self with --orb-api (default: %(default)s)")
    rules.add_argument("--transpose", action=Flag,
                       help="channel-last layouts (like %s=true)" % TRANSPOSE_ENV)
    rules.add_argument("--dtype-map", metavar="FILE",
                       help="JSON object mapping source text of attribute chains to replacement text")
    rules.add_argument("--allow-reformat", action=Flag,
                       help="render a file whose layout cannot be kept whole, losing its comments "
                       "(default: leave it as it is, exit 2)")
    finding = p.add_argument_group("finding files (expressions: see below)")
    finding.add_argument("--include", type=expression, metavar="REGEX", help="files to take in folders (default: .py)")
    finding.add_argument("--exclude", type=expression, metavar="REGEX",
                         help="paths to skip in folders, instead of the default set")
    finding.add_argument("--extend-exclude", type=expression, metavar="REGEX",
                         help="paths to skip in folders, besides --exclude or the default set")
    finding.add_argument("--force-exclude", type=expression, metavar="REGEX",
                         help="paths to skip, named ones included")
    finding.add_argument("--stdin-filename", metavar="PATH",
                         help="name of standard input (-) in messages and diffs, to find the configuration "
                         "and for --force-exclude")
    p.add_argument("--config", metavar="FILE", help="configuration file to use instead of the nearest %s" % config.FILE)
    p.add_argument("--cache", action=Flag, default=True,
                   help="skip files that an earlier run with the same options found unchanged (default: on; "
                   "see below)")
    p.add_argument("--cache-dir", metavar="DIR", help="folder of the cache (default: $%s, else the user's cache "
                   "folder)" % cache.ENV)
    p.add_argument("-j", "--jobs", type=positive_int, default=os.cpu_count() or 1, metavar="N",
                   help="worker processes (default: number of cores, %(default)s here)")
    p.add_argument("-q", "--quiet", action=Flag, help="report only errors on stderr")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="name the configuration file used and each path skipped, with the reason")
    p.add_argument("--version", action=config.VersionAction)
    return p


def load_dtype_map(parser, path):
    """The mapping read from `path`; a usage error unless every value is an expression."""
    if path is None:
        return {}
    try:
        # A named pipe nobody writes to reads as empty instead of hanging, and
        # a device that never ends is cut off at the bound.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        os.set_blocking(fd, True)
        with open(fd, "rb") as f:
            data = f.read(DTYPE_MAP_MAX_BYTES + 1)
        if len(data) > DTYPE_MAP_MAX_BYTES:
            parser.error("--dtype-map %s: larger than %d MiB" % (path, DTYPE_MAP_MAX_BYTES >> 20))
        mapping = json.loads(data.decode("utf-8"))
    except OSError as e:
        parser.error("--dtype-map %s: cannot read: %s" % (path, e.strerror or e))
    except ValueError as e:
        parser.error("--dtype-map %s: not valid JSON: %s" % (path, e))
    except (RecursionError, MemoryError):
        parser.error("--dtype-map %s: nested too deeply" % path)
    if not isinstance(mapping, dict) or not all(isinstance(v, str) for v in mapping.values()):
        parser.error("--dtype-map %s: must be a JSON object whose values are strings" % path)
    for key, value in mapping.items():
        try:
            ast.parse(value, mode="eval")
        except (SyntaxError, ValueError, RecursionError, MemoryError):
            parser.error("--dtype-map %s: replacement of %r is not a Python expression: %r" % (path, key, value))
    return mapping


def check_options(parser, args):
    if args.stdin_filename is not None and "-" not in args.paths:
        parser.error("--stdin-filename names standard input, which needs - among the paths")
    if args.in_place and (args.diff or args.check):
        parser.error("--in-place cannot be combined with --diff or --check")
    if not args.new_name.isidentifier() or keyword.iskeyword(args.new_name):
        parser.error("--new-name must be a Python identifier that is not a keyword, got %r" % args.new_name)


def wants_colour(choice, stream):
    """Whether diffs are coloured: as asked, else not when NO_COLOR is set,
    else when FORCE_COLOR is set or `stream` is a terminal (not a dumb one)."""
    if choice is not None:
        return choice
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("FORCE_COLOR"):
        return True
    return stream.isatty() and os.environ.get("TERM") != "dumb"
