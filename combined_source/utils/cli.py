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
import contextlib
import difflib
import errno
import fcntl
import functools
import hashlib
import io
import json
import keyword
import multiprocessing
import multiprocessing.connection
import os
import re
import signal
import stat
import sys
import tempfile
import threading
import time
import tokenize
from typing import NamedTuple, Optional

from . import config
from . import rewrite as splice
from .rewrite import OrbApiObject, render  # noqa: F401  (part of this module's interface)
from .ZOK import FrontendTorchCodePostProcessor

PROG = "orb-postprocess"
TRANSPOSE_ENV = "APPLY_TRANSPOSE_OPTIMIZATION"
EXIT_OK, EXIT_CHANGED, EXIT_INPUT, EXIT_INTERNAL = 0, 1, 2, 123
CHANGED, UNCHANGED, FAILED, BROKEN = "changed", "unchanged", "failed", "broken"
PROGRESS_MIN_FILES = 6
WORKERS_PER_CORE = 4  # -j is capped at this many worker processes per core
DTYPE_MAP_MAX_BYTES = 16 << 20
# Temporary files of --in-place: ".NAME.orb-postprocess.PID.RANDOM.tmp" beside
# the file they replace; the writer's process id tells a stale one apart.
TEMP_MARK = ".orb-postprocess."
TEMP_NAME = re.compile(r"\A\..+\.orb-postprocess\.(\d+)\.[^.]+\.tmp\Z", re.S)

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
    encoding: str = "utf-8"  # of the source, in which its output is written


class Refused(Exception):
    """A file that --in-place leaves alone; the message says why."""


class Interrupted(BaseException):
    """SIGINT or SIGTERM arrived: the run stops; `signum` says which."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class _Signals:
    """What the process's SIGINT/SIGTERM handler saw. A signal stops the
    current file at once only while `abortable` (reading and rewriting, when
    nothing has been written yet); elsewhere it is noted and the run stops
    before the next file, so a file being written is finished and reported."""

    received = 0
    abortable = False


def _on_signal(signum, frame):
    if not _Signals.received:
        _Signals.received = signum
    if _Signals.abortable:
        _Signals.abortable = False
        raise Interrupted(signum)


@contextlib.contextmanager
def abortable():
    _Signals.abortable = True
    try:
        if _Signals.received:
            raise Interrupted(_Signals.received)
        yield
    finally:
        _Signals.abortable = False



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


class Snapshot(NamedTuple):
    """What a file was when it was read: --in-place replaces only that."""

    dev: int
    ino: int
    size: int
    mtime_ns: int
    digest: bytes


def digest(data):
    return hashlib.sha256(data).digest()


def read_file(name):
    """The bytes of the regular file `name` and its snapshot. The file is
    opened without blocking (a pipe without a writer would hang) and read by
    its size, so a special file is refused before anything is read."""
    fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    with open(fd, "rb", buffering=0) as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise Refused("not a regular file")
        chunks, left = [], st.st_size
        while left > 0:  # short reads end at the end of a file that shrank
            chunk = f.read(left)
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
    data = chunks[0] if len(chunks) == 1 else b"".join(chunks)
    return data, Snapshot(st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, digest(data))


def copy_identity(target, tmp, st):
    """Gives the temporary file the owner, group, mode and extended attributes
    of the file it replaces, as far as this process is permitted to."""
    for uid in (st.st_uid, -1):  # without the right to give the file away, keep its group
        try:
            os.chown(tmp, uid, st.st_gid)
            break
        except PermissionError:
            continue
    os.chmod(tmp, stat.S_IMODE(st.st_mode))  # after chown, which clears set-id bits
    try:
        names = os.listxattr(target)
    except OSError:  # a file system without extended attributes
        return
    for name in names:
        try:
            os.setxattr(tmp, name, os.getxattr(target, name))
        except OSError as e:
            if e.errno not in (errno.EPERM, errno.EACCES, errno.ENOTSUP, errno.EOPNOTSUPP):
                raise


def lock(f, seconds=5.0):
    """Takes the advisory lock of the open file `f`, waiting a bounded time:
    runs of this command hold it only while they check and replace a file."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except BlockingIOError:
            if time.monotonic() > deadline:
                raise Refused("locked by another process; not rewritten")
            time.sleep(0.005)


def still_same(f, target, snapshot):
    """Whether `target` is still the file read (same inode, size, modification
    time and content), open as `f`."""
    st = os.fstat(f.fileno())
    if (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns) != snapshot[:4]:
        return False
    now = os.stat(target)
    if (now.st_dev, now.st_ino) != (st.st_dev, st.st_ino):  # replaced since it was opened
        return False
    return digest(f.read(st.st_size + 1)) == snapshot.digest


def write_atomically(path, data, snapshot=None):
    """Replaces the file's content by `data` with a rename from a temporary file
    beside it: readers see the old or the new file, never a mix, and on any
    failure the old file stays as it was and the temporary file is removed.
    The file keeps its owner, group, mode and extended attributes. With a
    `snapshot`, the file is replaced only while it is still what was read."""
    target = os.path.realpath(path)
    st = os.stat(target)
    if st.st_nlink > 1:
        raise Refused("has %d hard links; not rewritten (a replacement would split them)" % st.st_nlink)
    if not st.st_mode & 0o222 or not os.access(target, os.W_OK):
        raise Refused("is read-only; not rewritten")
    directory, base = os.path.split(target)
    fd, tmp = tempfile.mkstemp(prefix="." + base + TEMP_MARK + "%d." % os.getpid(), suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        copy_identity(target, tmp, st)
        if snapshot is None:
            os.replace(tmp, target)
        else:
            # Checked and replaced under the file's lock, so that two runs
            # never both replace it; an editor's save can only fall between
            # the check and the rename.
            with open(target, "rb") as f:
                lock(f)
                if not still_same(f, target, snapshot):
                    raise Refused("changed since it was read; not rewritten")
                os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def detect(data):
    return tokenize.detect_encoding(io.BytesIO(data).readline)[0]


def same_encoding(data, encoding):
    """Whether Python reads `data` in `encoding`."""
    try:
        return detect(data) == encoding
    except SyntaxError:
        return False


def decode(data):
    """The source text of `data` decoded as Python decodes a file (byte-order
    mark, coding declaration; UTF-8 by default), a leading byte-order mark kept
    as a character, and the encoding in which to write its rewrite."""
    try:
        encoding = detect(data)
    except SyntaxError:
        end = data.find(b"\n", data.find(b"\n") + 1)
        data[: len(data) if end < 0 else end].decode("utf-8")  # bytes that are not UTF-8, with their place
        raise
    return data.decode("utf-8" if encoding == "utf-8-sig" else encoding), encoding


def encode(text, encoding):
    """`text` in the file's `encoding` (a leading byte-order mark included)."""
    return text.encode("utf-8" if encoding == "utf-8-sig" else encoding)


def encoding_name(encoding):
    return "UTF-8" if encoding.startswith("utf-8") else encoding


def process(job, settings):
    """Reads, rewrites and (in place mode) writes one file; never raises for
    a fault of the file, which comes back as a failed outcome instead. Raises
    Interrupted when a signal stops it before anything was written."""
    name, data = job  # data is None for a file still to be read
    from_file = data is None
    keep = settings.keep_text or not from_file
    snapshot = None
    with abortable():
        try:
            if from_file:
                data, snapshot = read_file(name)
            text, encoding = decode(data)
        except Refused as e:
            return Outcome(name, FAILED, "%s: cannot read: %s" % (name, e))
        except OSError as e:
            return Outcome(name, FAILED, "%s: cannot read: %s" % (name, e.strerror or e))
        except SyntaxError as e:  # from detect_encoding: unknown or conflicting declaration
            where = ":%d" % e.lineno if getattr(e, "lineno", None) else ""
            return Outcome(name, FAILED, "%s%s: cannot decode: %s" % (name, where, e.msg))
        except UnicodeDecodeError as e:
            return Outcome(name, FAILED, "%s: not %s: %s at byte %d" % (
                name, encoding_name(e.encoding), e.reason, e.start))
        del data  # the text is all that is needed from here on
        try:
            result = rewrite_text(name, text, settings)
        except (SyntaxError, ValueError) as e:  # ValueError: 3.8's refusal of null bytes
            line, column = getattr(e, "lineno", None), getattr(e, "offset", None)
            where = (":%d" % line if line else "") + (":%d" % column if line and column else "")
            return Outcome(name, FAILED, "%s%s: cannot parse: %s" % (name, where, getattr(e, "msg", e)))
        except (RecursionError, MemoryError) as e:  # the parser's or the rules' limits
            return Outcome(name, FAILED, "%s: too deeply nested or too large to process (%s%s)" % (
                name, type(e).__name__, ": %s" % e if str(e) else ""))
        except Exception as e:  # a fault of the post-processor or the renderer
            return Outcome(name, BROKEN, "%s: internal error: %s: %s" % (name, type(e).__name__, e))
        output = result.output
        if output is None:
            return Outcome(name, UNCHANGED, "", *((text, text) if keep else ()), warnings=result.warnings,
                           encoding=encoding)
        try:
            new_data = encode(output, encoding)
        except UnicodeEncodeError as e:
            return Outcome(name, FAILED, "%s: left alone: the rewrite cannot be written in %s: %s" % (
                name, encoding_name(encoding), e.reason))
        if not same_encoding(new_data, encoding):  # a coding declaration lost by the rendering
            return Outcome(name, FAILED, "%s: left alone: the rewrite would lose its %s coding declaration" % (
                name, encoding))
        whole = result.whole
    if settings.in_place and from_file:
        try:
            write_atomically(name, new_data, snapshot)
        except Refused as e:
            return Outcome(name, FAILED, "%s: %s" % (name, e))
        except OSError as e:
            return Outcome(name, FAILED, "%s: cannot write: %s" % (name, e.strerror or e))
    return Outcome(name, CHANGED, "", *((text, output) if keep else ()), warnings=result.warnings,
                   whole=whole, encoding=encoding)


def _set_parent_death_signal(parent):
    """Asks the kernel to send SIGTERM to this process when its parent dies
    (Linux); the closed pipe to the parent is noticed anyway, between files."""
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM, 0, 0, 0)  # PR_SET_PDEATHSIG
    except Exception:  # another system: the pipe is the only sign
        pass
    if os.getppid() != parent:  # the parent died before the request
        os._exit(0)


def _worker(conn, settings, parent, inherited):
    """A worker process: takes one file at a time from `conn` and sends back
    its outcome, until the pipe closes, the parent dies or a signal comes."""
    for other in inherited:  # the parent's ends of the pipes, copied by fork
        other.close()
    signal.set_wakeup_fd(-1)
    _Signals.received, _Signals.abortable = 0, False
    signal.signal(signal.SIGINT, _on_signal)
    signal.signal(signal.SIGTERM, _on_signal)
    _set_parent_death_signal(parent)
    try:
        while not _Signals.received:
            with abortable():
                try:
                    index, job = conn.recv()
                except EOFError:
                    return
            try:
                outcome = process(job, settings)
            except Exception as e:
                outcome = Outcome(job[0], BROKEN, "%s: internal error: %s: %s" % (job[0], type(e).__name__, e))
            conn.send((index, outcome))
    except (Interrupted, OSError):  # stopped, or the parent is gone
        return


def _run_serial(jobs, settings):
    for job in jobs:
        if _Signals.received:
            raise Interrupted(_Signals.received)
        yield process(job, settings)


def _start_workers(count, settings, warn):
    """Up to `count` worker processes with their pipes; fewer (with a warning)
    when the system refuses to start more."""
    ctx = multiprocessing.get_context("fork")
    workers = {}  # the parent's end of each pipe -> its process
    for _ in range(count):
        here, there = ctx.Pipe()
        proc = ctx.Process(target=_worker, args=(there, settings, os.getpid(), list(workers) + [here]),
                           daemon=True)
        try:
            proc.start()
        except OSError as e:
            here.close()
            there.close()
            warn("cannot start more worker processes (%s); going on with %d" % (
                e.strerror or e, len(workers) or 1))
            break
        there.close()
        workers[here] = proc
    return workers


def _run_parallel(jobs, settings, count, warn):
    """Outcomes in the order of the jobs; each worker has one file at a time,
    so a stop loses at most the files in flight."""
    workers = _start_workers(count, settings, warn)
    if not workers:
        yield from _run_serial(jobs, settings)
        return
    # A signal wakes the wait for the workers' results up through this pipe
    # (handlers run only in the main thread; elsewhere nothing is caught).
    wake_r, wake_w = os.pipe()
    os.set_blocking(wake_w, False)
    in_main = threading.current_thread() is threading.main_thread()
    old_wakeup = signal.set_wakeup_fd(wake_w) if in_main else -1
    todo = list(range(len(jobs)))[::-1]  # next job at the end
    busy = {}  # pipe -> index of the job in flight
    done = {}
    following = 0  # the next index to yield
    stopping = False

    def hand_out(conn):
        while todo and not _Signals.received:
            index = todo.pop()
            try:
                conn.send((index, jobs[index]))
            except OSError:  # the worker is gone: the job goes back
                todo.append(index)
                break
            busy[conn] = index
            return
        drop(conn)

    def drop(conn):
        conn.close()
        workers.pop(conn).join(1)

    try:
        for conn in list(workers):
            hand_out(conn)
        while busy:
            if _Signals.received and not stopping:
                stopping = True
                for conn in busy:
                    with contextlib.suppress(OSError):
                        os.kill(workers[conn].pid, _Signals.received)
            ready = multiprocessing.connection.wait(list(busy) + [wake_r])
            if wake_r in ready:
                os.read(wake_r, 512)
            for conn in ready:
                if conn == wake_r:
                    continue
                index = busy.pop(conn)
                try:
                    got, outcome = conn.recv()
                except (EOFError, OSError):
                    proc = workers[conn]
                    drop(conn)
                    if not stopping and not _Signals.received:
                        name = jobs[index][0]
                        done[index] = Outcome(name, BROKEN, "%s: internal error: worker process ended (%s)" % (
                            name, "exit code %s" % proc.exitcode if (proc.exitcode or 0) >= 0
                            else "signal %d" % -proc.exitcode))
                    continue
                done[got] = outcome
                hand_out(conn)
            while following in done:
                yield done.pop(following)
                following += 1
        if _Signals.received:  # every finished file is reported, in order
            for index in sorted(done):
                yield done[index]
            raise Interrupted(_Signals.received)
        if todo:  # every worker died: the rest is done here
            yield from _run_serial([jobs[i] for i in reversed(todo)], settings)
    finally:
        for conn, proc in list(workers.items()):
            conn.close()
            if conn in busy and proc.is_alive():
                with contextlib.suppress(OSError):
                    os.kill(proc.pid, signal.SIGTERM)
        for proc in workers.values():
            proc.join()
        if in_main:
            signal.set_wakeup_fd(old_wakeup)
        os.close(wake_r)
        os.close(wake_w)


def worker_count(requested, files):
    return max(1, min(requested, files, WORKERS_PER_CORE * (os.cpu_count() or 1)))


def run(jobs, settings, workers, warn=lambda line: None):
    """Outcomes of all jobs in the order of the jobs, computed in worker
    processes when there is more than one job and more than one worker.
    Raises Interrupted after the outcomes of the files finished when a
    SIGINT or SIGTERM stops the run (see `signals_caught`)."""
    workers = worker_count(workers, len(jobs))
    if workers == 1:
        yield from _run_serial(jobs, settings)
    else:
        yield from _run_parallel(jobs, settings, workers, warn)


@contextlib.contextmanager
def signals_caught():
    """SIGINT and SIGTERM stop the run instead of killing the process (only
    in the main thread, where handlers can be set)."""
    _Signals.received, _Signals.abortable = 0, False
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    old = {s: signal.signal(s, _on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for s, handler in old.items():
            signal.signal(s, handler)


def stale_temporaries(directory, names):
    """Temporary files among `names` left by an --in-place run that is gone."""
    for name in names:
        m = TEMP_NAME.match(name)
        if m:
            try:
                os.kill(int(m.group(1)), 0)
            except ProcessLookupError:
                yield os.path.join(directory, name)
            except (OSError, OverflowError):
                pass


def is_regular(path):
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def collect(paths, stale=None):
    """The jobs for the command-line paths, in order and without repeats.
    Folders yield their regular files only; stale temporary files seen in
    them are added to `stale`."""
    stale = [] if stale is None else stale
    names, named_dirs = [], {}
    for path in paths:
        if path != "-" and os.path.isdir(path):
            found = []
            for root, dirs, files in os.walk(path):
                dirs[:] = [d for d in dirs if not d.startswith(".")]
                stale += stale_temporaries(root, sorted(files))
                found += [os.path.join(root, f) for f in files if f.endswith(".py") and not f.startswith(".")
                          and is_regular(os.path.join(root, f))]
            names += sorted(found)
        else:
            names.append(path)
            if path != "-":
                named_dirs.setdefault(os.path.dirname(path))
    for directory in named_dirs:
        with contextlib.suppress(OSError):
            stale += stale_temporaries(directory, sorted(os.listdir(directory or os.curdir)))
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


def main(argv=None):
    parser = build_parser()
    args = config.parse_args(parser, argv)  # defaults from [tool.orb-postprocess] in pyproject.toml
    check_options(parser, args)
    printing = not (args.diff or args.check or args.in_place)
    settings = Settings(args.object_name, args.orb_api, args.new_name,
                        load_dtype_map(parser, args.dtype_map), args.in_place, printing or args.diff)
    stale = []
    jobs = collect(args.paths, stale)
    for path in stale:
        print("%s: warning: %s: temporary file of a run that was killed; remove it" % (
            PROG, path), file=sys.stderr, flush=True)
    if not jobs:
        print("%s: no Python files found" % PROG, file=sys.stderr)
        return EXIT_OK
    progress = Progress(len(jobs), len(jobs) >= PROGRESS_MIN_FILES and not args.quiet and sys.stderr.isatty())
    counts = dict.fromkeys((CHANGED, UNCHANGED, FAILED, BROKEN), 0)
    status = EXIT_OK
    whole = 0  # files that took the whole rendering
    out = sys.stdout.buffer
    current = None  # the file being reported

    def emit(data):
        progress.clear()
        out.write(data)
        out.flush()

    def note(line, always=False):
        if always or not args.quiet:
            progress.clear()
            err = sys.stderr
            raw = getattr(err, "buffer", None)
            if raw is None:
                print(line, file=err, flush=True)
            else:  # file names that are not UTF-8 go out as the bytes they are
                err.flush()
                raw.write(line.encode("utf-8", "surrogateescape") + b"\n")
                raw.flush()

    def summary(prefix=""):
        progress.clear()
        done = sum(counts.values())
        note("%s%d file%s: %d changed, %d unchanged, %d failed%s" % (
            prefix, done, "" if done == 1 else "s", counts[CHANGED], counts[UNCHANGED],
            counts[FAILED] + counts[BROKEN], ", %d rendered whole" % whole if whole else ""))

    try:
        with transpose_switched_on(args.transpose), signals_caught():
            for o in run(jobs, settings, args.jobs, lambda line: note("warning: " + line, always=True)):
                current = o.name
                counts[o.status] += 1
                whole += o.whole
                for line in o.warnings:
                    note("warning: " + line, always=True)
                if o.status in (FAILED, BROKEN):
                    note(o.message, always=True)
                    status = max(status, EXIT_INPUT if o.status == FAILED else EXIT_INTERNAL)
                elif printing or (args.in_place and o.name == "-"):
                    header = b"# ==> " + os.fsencode(o.name) + b" <==\n" if len(jobs) > 1 else b""
                    text = o.output + ("" if o.output.endswith("\n") or not header else "\n")
                    emit(header + encode(text, o.encoding))
                elif o.status == CHANGED:
                    if args.diff:
                        emit(b"".join(os.fsencode(line) if line.startswith(("--- ", "+++ ")) and i < 2
                                      else encode(line, o.encoding)
                                      for i, line in enumerate(diff_lines(o.name, o.original, o.output))))
                    if args.check:
                        status = max(status, EXIT_CHANGED)
                    note(("rewrote " if args.in_place else "would rewrite ") + o.name)
                progress.step()
                current = None
    except Interrupted as e:
        summary("interrupted after ")
        return 128 + e.signum
    except KeyboardInterrupt:
        progress.clear()
        return 130
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, as a program
        # killed by SIGPIPE would, and keep the interpreter's final flush
        # from complaining about the closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except Exception as e:  # output could not be written, or a fault of this program
        note("%s: internal error%s: %s: %s" % (
            PROG, " while reporting %s" % current if current else "", type(e).__name__, e), always=True)
        return EXIT_INTERNAL
    summary()
    return status
