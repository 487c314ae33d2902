"""The command line's options: the parser, the checks of option values and
the loading of the dtype map."""
import argparse
import ast
import json
import keyword
import os

from .. import config
from ..rewrite import TRANSPOSE_ENV

PROG = "orb-postprocess"
DTYPE_MAP_MAX_BYTES = 16 << 20

EPILOG = """\
PATH is a file, a folder (every *.py regular file below it, in sorted
order, skipping names that start with a dot) or - for standard input. A
named path that is not a regular file (a pipe, a device) is refused.

output modes:
  (default)     print the rewritten source; with several files each one
                follows a header line "# ==> PATH <==". Unchanged files are
                printed as they are.
  --diff        print a unified diff from each file to its rewritten text
  --check       list the files that would be rewritten; write nothing
  --in-place    replace each changed file atomically; unchanged files are
                not touched; standard input is printed instead. A file that
                changed since it was read, has several hard links or has no
                write permission is left alone with a message.

exit status:
  0    success (with --check: nothing would change)
  1    --check: some file would be rewritten
  2    usage error, or a file could not be read, decoded, parsed or written
  123  internal error: the post-processor or the renderer failed on a file
  130  interrupted (SIGINT), 143 terminated (SIGTERM); the files written
       before the stop are reported
"""


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
    if args.in_place and (args.diff or args.check):
        parser.error("--in-place cannot be combined with --diff or --check")
    if not args.new_name.isidentifier() or keyword.iskeyword(args.new_name):
        parser.error("--new-name must be a Python identifier that is not a keyword, got %r" % args.new_name)
