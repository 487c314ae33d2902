"""Command line of the post-processor: rewrites files of generated orb code.

Each file is parsed, rewritten by ``FrontendTorchCodePostProcessor`` and
spliced (``combined_source.utils.rewrite``): only the source spans of what
the rules changed are replaced, everything else stays byte for byte. A file
counts as changed when its rewritten tree differs from the parse of the
original, so a file that the rules leave alone is never touched. Output of
the rules found in the input is left alone, so running the command line on
its own output changes nothing.

The parts: `options` (parser and option checks), `discovery` (the files of
the paths given), `files` (reading, decoding, safe writing), `process` (one
file), `pool` (workers and signals) and `report` (what the run tells).
"""
import os
import sys

from .. import config
from ..rewrite import Options, transpose_variable
from . import collector, discovery, options, pool
from .process import Settings
from .report import EXIT_INTERNAL, EXIT_OK, Report, to_stderr

__all__ = ["main"]


def discover(args, printing):
    """The jobs of the run, and whether standard input was passed through
    unchanged (printed back, since --force-exclude matches its name)."""
    if args.verbose:
        to_stderr("configuration: %s" % (args.config or "none (no %s with [tool.%s] found)" % (
            config.FILE, config.TABLE)))
    filters = discovery.Filters(**{k: v for k, v in (
        ("include", args.include), ("exclude", args.exclude), ("extend_exclude", args.extend_exclude),
        ("force_exclude", args.force_exclude)) if v is not None})
    found = discovery.collect(args.paths, filters, stdin_filename=args.stdin_filename, on_skip=(
        lambda path, reason: to_stderr("%s: skipped: %s" % (path, reason))) if args.verbose else None)
    for path in found.stale:
        to_stderr("%s: warning: %s: temporary file of a run that was killed; remove it" % (options.PROG, path))
    for name, data in found.passthrough:
        if printing or args.in_place:
            several = len(found.jobs) + len(found.passthrough) > 1
            sys.stdout.buffer.write((b"# ==> " + os.fsencode(name) + b" <==\n" if several else b"") + data)
            sys.stdout.buffer.flush()
    return found.jobs, bool(found.passthrough)


def main(argv=None):
    parser = options.build_parser()
    args = config.parse_args(parser, argv)  # defaults from [tool.orb-postprocess] in pyproject.toml
    options.check_options(parser, args)
    printing = not (args.diff or args.check or args.in_place)
    settings = Settings(Options(args.object_name, args.orb_api, args.new_name,
                                options.load_dtype_map(parser, args.dtype_map)), args.in_place, printing or args.diff,
                        args.allow_reformat)
    args.color = options.wants_colour(args.color, sys.stdout)
    jobs, passed = discover(args, printing)
    if not jobs:
        if not passed:
            print("%s: no Python files found" % options.PROG, file=sys.stderr)
        return EXIT_OK
    report = Report(args, len(jobs), stdin_at=next((i for i, (_, data) in enumerate(jobs) if data is not None), None))
    try:
        with transpose_variable(args.transpose, clear_when_off=False), pool.signals_caught() as signals, \
                collector.tuned():
            for outcome in pool.run(jobs, settings, args.jobs, signals, report.warn):
                report.add(outcome)
    except pool.Interrupted as e:
        report.summary("interrupted after ")
        return 128 + e.signum
    except KeyboardInterrupt:
        report.progress.clear()
        return 130
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, as a program
        # killed by SIGPIPE would, and keep the interpreter's final flush
        # from complaining about the closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except Exception as e:  # output could not be written, or a fault of this program
        current = report.current
        report.note("%s: internal error%s: %s: %s" % (
            options.PROG, " while reporting %s" % current if current else "", type(e).__name__, e), always=True)
        return EXIT_INTERNAL
    report.summary()
    return report.status
