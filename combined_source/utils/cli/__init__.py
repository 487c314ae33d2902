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
file), `pool` (workers and signals), `cache` (files known to be unchanged)
and `report` (what the run tells).
"""
import contextlib
import os
import sys

from .. import config
from . import cache, collector, discovery, options, pool, process
from .process import Settings
from .report import EXIT_INTERNAL, EXIT_OK, Report, to_stderr

__all__ = ["main"]


def discover(args, printing, prog=options.PROG):
    """The jobs of the run, and whether standard input was passed through
    unchanged (printed back, since --force-exclude matches its name)."""
    if args.verbose:
        root, mark = discovery.find_root([args.stdin_filename if p == "-" and args.stdin_filename else p
                                          for p in args.paths])
        to_stderr("project root: %s (%s)" % (root, "%s found in it" % mark if mark else "no %s found at or above it" % (
            " or ".join(discovery.ROOT_MARKS))))
        to_stderr("configuration: %s" % (args.config or "none (no %s with [tool.%s] found)" % (
            config.FILE, config.TABLE)))
    filters = discovery.Filters(**{k: v for k, v in (
        ("include", args.include), ("exclude", args.exclude), ("extend_exclude", args.extend_exclude),
        ("force_exclude", args.force_exclude)) if v is not None})
    found = discovery.collect(args.paths, filters, stdin_filename=args.stdin_filename, on_skip=(
        lambda path, reason: to_stderr("%s: skipped: %s" % (path, reason))) if args.verbose else None)
    for path in found.stale if not args.quiet else ():
        to_stderr("%s: warning: %s: temporary file of a run that was killed; remove it" % (prog, path))
    for name, data in found.passthrough:
        if printing or args.in_place:
            several = len(found.jobs) + len(found.passthrough) > 1
            sys.stdout.buffer.write((b"# ==> " + os.fsencode(name) + b" <==\n" if several else b"") + data)
            sys.stdout.buffer.flush()
    return found.jobs, bool(found.passthrough)


def rewriting(args, dtype_map, printing):
    """The settings of the files to rewrite, and the transpose switch to run
    them under; imports the rewrite and the native module (before any worker
    starts, which then has them), which a run answered by the cache alone
    does without."""
    from ..rewrite import Options, transpose_variable

    process.load_rewrite()
    settings = Settings(Options(args.object_name, args.orb_api, args.new_name, dtype_map, args.skip_comments,
                                args.add_import),
                        args.in_place, printing or args.diff, args.allow_reformat)
    return settings, transpose_variable(args.transpose, clear_when_off=False)


def outcomes(jobs, hits, fresh, signals, store, report):
    """The outcomes of the jobs in their order, each with whether it came
    from the cache: those of `hits` (index -> outcome) from the cache, the
    rest from the iterator `fresh`; each file rewritten is shown to the
    cache."""
    for i in range(len(jobs)):
        outcome = hits.get(i)
        cached = outcome is not None
        if not cached:
            outcome = next(fresh)
            if store is not None and jobs[i][1] is None:  # a file read from disk
                store.learn(outcome)
        elif signals.received:
            raise pool.Interrupted(signals.received)
        yield outcome, cached



def main(argv=None, prog=options.PROG):
    """Runs the command line on `argv` (default: sys.argv[1:]); `prog` is the
    name it was called by, for the usage and messages."""
    parser = options.build_parser(prog)
    args = config.parse_args(parser, argv)  # defaults from [tool.orb-postprocess] in pyproject.toml
    options.check_options(parser, args)
    printing = not (args.diff or args.check or args.in_place)
    dtype_map = options.load_dtype_map(parser, args)
    # With a machine format, stdout holds the findings and diffs go to stderr.
    args.color = options.wants_colour(args.color, sys.stdout if args.output_format == "text" else sys.stderr)
    jobs, passed = discover(args, printing, prog)
    if not jobs:
        if not passed:
            print("%s: no Python files found" % prog, file=sys.stderr)
        if args.output_format in ("json", "gitlab"):
            sys.stdout.write("[]\n")
        return EXIT_OK
    report = Report(args, len(jobs), stdin_at=next((i for i, (_, data) in enumerate(jobs) if data is not None), None))
    store = None
    try:
        store = cache.Cache.open(args, dtype_map, report.warn) if args.cache else None
        hits = store.look_up(jobs, printing) if store is not None else {}
        todo = [job for i, job in enumerate(jobs) if i not in hits]
        settings, switch = rewriting(args, dtype_map, printing) if todo else (None, contextlib.nullcontext())
        with switch, pool.signals_caught() as signals, collector.tuned():
            fresh = pool.run(todo, settings, args.jobs, signals, report.warn)
            for outcome, cached in outcomes(jobs, hits, fresh, signals, store, report):
                report.add(outcome, cached)
    except pool.Interrupted as e:
        if store is not None:
            store.save()
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
            prog, " while reporting %s" % current if current else "", type(e).__name__, e), always=True)
        return EXIT_INTERNAL
    if store is not None:
        store.save()
    report.summary()
    return report.status
