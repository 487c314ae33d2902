"""The command line's options: the parser, the checks of option values and
the loading of the dtype map."""
import argparse
import ast
import difflib
import json
import keyword
import os
import sys
import textwrap

from .. import TRANSPOSE_ENV, config
from ..findings import RULES
from . import cache, discovery, formats

PROG = "orb-postprocess"
DTYPE_MAP_MAX_BYTES = 16 << 20
COLOR_CHOICES = ("always", "never", "auto")

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
(a pipe, a device) is refused. --verbose names the project root and why,
each path skipped and why (the files of a folder that --include does not
match, once per folder), and whether each file processed changed.

output modes:
  (default)     print the rewritten source; with several files each one
                follows a header line "# ==> PATH <==". Unchanged files are
                printed as they are.
  --diff        print a unified diff from each file to its rewritten text;
                coloured when stdout is a terminal, unless NO_COLOR is set
                (FORCE_COLOR colours any output; NO_COLOR wins when both are
                set, and --color/--no-color win over both)
  --check       list the files that would be rewritten on stdout, each as
                "PATH:LINE:COL: would rewrite (RULE)" with its first change
                (on stderr with --diff, whose diff has stdout); write nothing
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

findings:
  Each change made or that would be made is a finding: path, line and column
  (from 1; columns count characters) to the end of the changed text, the rule
  that made it (--list-rules prints them), the text before and after. Files
  that could not be processed and warnings are findings too (parse-error,
  not-rewritten, ambiguous-shape, ...). --output-format writes them all on
  stdout, in place of the text output:
    text     the default: the --check list above, messages on stderr
    json     one JSON array; objects with file, line, column, end_line,
             end_column, rule, severity, message, old, new
    github   GitHub Actions workflow commands (annotations), one per line
    gitlab   a GitLab code-quality report (JSON)
  A machine format needs --check, --diff or --in-place (not on standard
  input); the diffs of --diff then go to stderr. --statistics counts the
  findings per rule (on stdout after --check's list, else on stderr).
  In a GitHub Actions step:
    run: orb-postprocess --check --output-format github .
  In .pre-commit-config.yaml, the hooks of this repository:
    - repo: <its URL>
      rev: <a tag>
      hooks: [{id: orb-postprocess-check}]

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


class Parser(argparse.ArgumentParser):
    """The command line's parser, for every option it has: a long option is
    never abbreviated (a script relying on a prefix would break when an
    option is added), and an unknown one is answered with the nearest known
    option."""

    def __init__(self, **kwargs):
        super().__init__(allow_abbrev=False, **kwargs)

    def parse_args(self, args=None, namespace=None):
        args = colour_value_kept_apart(sys.argv[1:] if args is None else list(args))
        # Unknown long options first: a typo is the likelier fault than a missing path.
        ends = args.index("--") if "--" in args else len(args)
        known = self._option_string_actions
        unknown = [a for a in args[:ends] if a.startswith("--") and a.partition("=")[0] not in known]
        if not unknown:
            parsed, unknown = self.parse_known_args(args, namespace)
        if unknown:
            self.error("unrecognized arguments: %s" % " ".join(self.suggested(arg) for arg in unknown))
        return parsed

    def suggested(self, arg):
        """`arg`, an unknown option, with the known option it was most
        likely meant to be."""
        name = arg.partition("=")[0]
        close = difflib.get_close_matches(name, list(self._option_string_actions), n=1) if arg[:1] == "-" else []
        return arg + (" (did you mean %s?)" % close[0] if close else "")


def colour_value_kept_apart(argv):
    """`argv` with a --color that stands alone before a path written
    --color=always, so that the path is not taken for its value."""
    out = list(argv)
    for i, arg in enumerate(argv[:-1]):
        if arg == "--":
            break
        if arg == "--color" and argv[i + 1] not in COLOR_CHOICES:
            out[i] = "--color=always"
    return out


def expression(text):
    try:
        return config.regex(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def positive_int(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("expected a whole number of at least 1, got %r" % text)
    return int(text)


def output_format(text):
    if text not in formats.FORMATS:
        raise argparse.ArgumentTypeError(formats.unknown("format", text, formats.FORMATS))
    return text


class ListRules(argparse.Action):
    """Prints the rules (all, or those named) one line each, and exits."""

    def __init__(self, option_strings, dest, help=None):
        super().__init__(option_strings, dest, nargs="*", default=argparse.SUPPRESS, metavar="RULE", help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        for name in values:
            if name not in RULES:
                parser.error("%s: %s" % (option_string, formats.unknown("rule", name, list(RULES))))
        sys.stdout.write("".join(line + "\n" for line in formats.rule_lines(values)))
        parser.exit()


def build_parser(prog=PROG):
    p = Parser(
        prog=prog, epilog=epilog(), formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Rewrite generated orb source files with the torch-to-orb post-processor.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="file, folder or - (standard input)")
    mode = p.add_argument_group("output modes (default: print the rewritten source)")
    mode.add_argument("--diff", action="store_true", help="print unified diffs instead of sources")
    mode.add_argument("--check", action="store_true", help="exit 1 if any file would be rewritten")
    mode.add_argument("-i", "--in-place", action="store_true", help="rewrite changed files in place")
    mode.add_argument("--color", nargs="?", const="always", choices=COLOR_CHOICES, metavar="WHEN",
                      help="colour the diff: always (--color alone), never, or auto: on a terminal (the default)")
    mode.add_argument("--no-color", action="store_const", const="never", dest="color", help="the same as --color=never")
    report = p.add_argument_group("findings (see below)")
    report.add_argument("--output-format", type=output_format, default="text", metavar="FORMAT",
                        help="how the findings are written on stdout: %s (default: %%(default)s)" % ", ".join(
                            formats.FORMATS))
    report.add_argument("--statistics", action="store_true", help="count the findings per rule, as a table")
    report.add_argument("--list-rules", action=ListRules, help="print the rules (or those named) and exit")
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
    rules.add_argument("--skip-comments", action=Flag, default=True,
                       help="keep the changes starting on a line that ends in '# orb-postprocess: skip', and "
                       "the whole file after a comment line '# orb-postprocess: skip-file' before its first "
                       "statement (default: on; --no-skip-comments ignores them)")
    rules.add_argument("--add-import", action=Flag,
                       help="add 'import orb' to a changed file that uses orb without importing it (default: "
                       "warn 'orb is used but not imported' at the first use)")
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


def refuse(parser, args, dest, message, problem):
    """A usage error about the value of option `dest`: `message` when the
    command line gave the value, else `problem` after the configuration file
    and key that gave it (without the usage, which has nothing to do with it)."""
    origin = getattr(args, "origins", {}).get(dest)
    if origin is None:
        parser.error(message)
    config.error(parser, "%s: %s" % (origin, problem))


def load_dtype_map(parser, args):
    """The mapping read from the file `args.dtype_map`; a usage error unless
    every value is an expression."""
    path = args.dtype_map
    if path is None:
        return {}

    def fail(problem):
        refuse(parser, args, "dtype_map", "--dtype-map %s: %s" % (path, problem), "%s: %s" % (path, problem))

    try:
        # A named pipe nobody writes to reads as empty instead of hanging, and
        # a device that never ends is cut off at the bound.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        os.set_blocking(fd, True)
        with open(fd, "rb") as f:
            data = f.read(DTYPE_MAP_MAX_BYTES + 1)
        if len(data) > DTYPE_MAP_MAX_BYTES:
            fail("larger than %d MiB" % (DTYPE_MAP_MAX_BYTES >> 20))
        mapping = json.loads(data.decode("utf-8"))
    except OSError as e:
        fail("cannot read: %s" % (e.strerror or e))
    except ValueError as e:
        fail("not valid JSON: %s" % e)
    except (RecursionError, MemoryError):
        fail("nested too deeply")
    if not isinstance(mapping, dict) or not all(isinstance(v, str) for v in mapping.values()):
        fail("must be a JSON object whose values are strings")
    for key, value in mapping.items():
        try:
            ast.parse(value, mode="eval")
        except (SyntaxError, ValueError, RecursionError, MemoryError):
            fail("replacement of %r is not a Python expression: %r" % (key, value))
    return mapping


def check_options(parser, args):
    if args.stdin_filename is not None and "-" not in args.paths:
        parser.error("--stdin-filename names standard input, which needs - among the paths")
    if args.in_place and (args.diff or args.check):
        parser.error("--in-place cannot be combined with --diff or --check")
    if args.output_format != "text":
        if not (args.diff or args.check or args.in_place):
            parser.error("--output-format %s needs --check, --diff or --in-place (without one, the rewritten "
                         "source goes to stdout)" % args.output_format)
        if args.in_place and "-" in args.paths:
            parser.error("--output-format %s cannot be combined with --in-place on standard input (-), which "
                         "prints the rewritten source on stdout" % args.output_format)
    if not args.new_name.isidentifier() or keyword.iskeyword(args.new_name):
        problem = "must be a Python identifier that is not a keyword, got %r" % args.new_name
        refuse(parser, args, "new_name", "--new-name " + problem, problem)


def wants_colour(choice, stream):
    """Whether diffs are coloured: as asked ("always", "never"), else (None,
    "auto") not when NO_COLOR is set, else when FORCE_COLOR is set or
    `stream` is a terminal (not a dumb one)."""
    if choice in ("always", "never"):
        return choice == "always"
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("FORCE_COLOR"):
        return True
    return stream.isatty() and os.environ.get("TERM") != "dumb"
