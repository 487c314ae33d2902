"""Running the files of a run: serially, or in worker processes that take one
file at a time; SIGINT and SIGTERM stop the run between files, and a worker
whose parent dies ends. multiprocessing is imported when workers start, so
that a run answered by the cache does without it."""
import contextlib
import os
import signal
import threading

from .process import BROKEN, Outcome, process_file

WORKERS_PER_CORE = 4  # -j is capped at this many worker processes per core


class Interrupted(BaseException):
    """SIGINT or SIGTERM arrived: the run stops; `signum` says which."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class Signals:
    """What this process's SIGINT/SIGTERM handler saw during one run. A
    signal stops the current file at once only while `abortable` (reading and
    rewriting, when nothing has been written yet); elsewhere it is noted and
    the run stops before the next file, so a file being written is finished
    and reported."""

    def __init__(self):
        self.received = 0
        self.aborting = False

    def handle(self, signum, frame):
        if not self.received:
            self.received = signum
        if self.aborting:
            self.aborting = False
            raise Interrupted(signum)

    @contextlib.contextmanager
    def abortable(self):
        self.aborting = True
        try:
            if self.received:
                raise Interrupted(self.received)
            yield
        finally:
            self.aborting = False

    def install(self):
        """Handles SIGINT and SIGTERM; gives the handlers there were."""
        return {s: signal.signal(s, self.handle) for s in (signal.SIGINT, signal.SIGTERM)}


@contextlib.contextmanager
def signals_caught():
    """SIGINT and SIGTERM stop the run instead of killing the process (only
    in the main thread, where handlers can be set); gives the run's `Signals`."""
    signals = Signals()
    if threading.current_thread() is not threading.main_thread():
        yield signals
        return
    old = signals.install()
    try:
        yield signals
    finally:
        for s, handler in old.items():
            signal.signal(s, handler)


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
    signals = Signals()
    signals.install()
    _set_parent_death_signal(parent)
    try:
        while not signals.received:
            with signals.abortable():
                try:
                    index, job = conn.recv()
                except EOFError:
                    return
            try:
                outcome = process_file(job, settings, signals.abortable)
            except Exception as e:
                outcome = Outcome(job[0], BROKEN, "%s: internal error: %s: %s" % (job[0], type(e).__name__, e))
            conn.send((index, outcome))
    except (Interrupted, OSError):  # stopped, or the parent is gone
        return


def _run_serial(jobs, settings, signals):
    for job in jobs:
        if signals.received:
            raise Interrupted(signals.received)
        yield process_file(job, settings, signals.abortable)


def _start_workers(count, settings, warn):
    """Up to `count` worker processes with their pipes; fewer (with a warning)
    when the system refuses to start more."""
    import multiprocessing

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


def worker_count(requested, files):
    return max(1, min(requested, files, WORKERS_PER_CORE * (os.cpu_count() or 1)))


def run(jobs, settings, workers, signals, warn=lambda line: None):
    """Outcomes of all jobs in the order of the jobs, computed in worker
    processes when there is more than one job and more than one worker.
    Raises Interrupted after the outcomes of the files finished when a
    SIGINT or SIGTERM stops the run (`signals`, from `signals_caught`)."""
    workers = worker_count(workers, len(jobs))
    if workers == 1:
        yield from _run_serial(jobs, settings, signals)
        return
    procs = _start_workers(workers, settings, warn)
    if not procs:
        yield from _run_serial(jobs, settings, signals)
        return
    yield from _Parallel(jobs, settings, procs, signals).outcomes()


class _Parallel:
    """One parallel run: outcomes in the order of the jobs; each worker has
    one file at a time, so a stop loses at most the files in flight."""

    def __init__(self, jobs, settings, workers, signals):
        self.jobs, self.settings, self.workers, self.signals = jobs, settings, workers, signals
        self.todo = list(range(len(jobs)))[::-1]  # next job at the end
        self.busy = {}  # pipe -> index of the job in flight
        self.done = {}
        self.stopping = False

    def hand_out(self, conn):
        todo = self.todo
        while todo and not self.signals.received:
            index = todo.pop()
            try:
                conn.send((index, self.jobs[index]))
            except OSError:  # the worker is gone: the job goes back
                todo.append(index)
                break
            self.busy[conn] = index
            return
        self.drop(conn)

    def drop(self, conn):
        conn.close()
        self.workers.pop(conn).join(1)

    def receive(self, conn):
        """Takes the outcome that worker `conn` sent, or notes how it ended."""
        index = self.busy.pop(conn)
        try:
            got, outcome = conn.recv()
        except (EOFError, OSError):
            proc = self.workers[conn]
            self.drop(conn)
            if not self.stopping and not self.signals.received:
                name = self.jobs[index][0]
                self.done[index] = Outcome(name, BROKEN, "%s: internal error: worker process ended (%s)" % (
                    name, "exit code %s" % proc.exitcode if (proc.exitcode or 0) >= 0
                    else "signal %d" % -proc.exitcode))
            return
        self.done[got] = outcome
        self.hand_out(conn)

    def outcomes(self):
        # A signal wakes the wait for the workers' results up through this pipe
        # (handlers run only in the main thread; elsewhere nothing is caught).
        wake_r, wake_w = os.pipe()
        os.set_blocking(wake_w, False)
        in_main = threading.current_thread() is threading.main_thread()
        old_wakeup = signal.set_wakeup_fd(wake_w) if in_main else -1
        try:
            yield from self.collect(wake_r)
        finally:
            self.stop()
            if in_main:
                signal.set_wakeup_fd(old_wakeup)
            os.close(wake_r)
            os.close(wake_w)

    def collect(self, wake_r):
        import multiprocessing.connection

        busy, done, workers, signals = self.busy, self.done, self.workers, self.signals
        following = 0  # the next index to yield
        for conn in list(workers):
            self.hand_out(conn)
        while busy:
            if signals.received and not self.stopping:
                self.stopping = True
                for conn in busy:
                    with contextlib.suppress(OSError):
                        os.kill(workers[conn].pid, signals.received)
            ready = multiprocessing.connection.wait(list(busy) + [wake_r])
            if wake_r in ready:
                os.read(wake_r, 512)
            for conn in ready:
                if conn != wake_r:
                    self.receive(conn)
            while following in done:
                yield done.pop(following)
                following += 1
        if signals.received:  # every finished file is reported, in order
            for index in sorted(done):
                yield done[index]
            raise Interrupted(signals.received)
        if self.todo:  # every worker died: the rest is done here
            yield from _run_serial([self.jobs[i] for i in reversed(self.todo)], self.settings, signals)

    def stop(self):
        for conn, proc in list(self.workers.items()):
            conn.close()
            if conn in self.busy and proc.is_alive():
                with contextlib.suppress(OSError):
                    os.kill(proc.pid, signal.SIGTERM)
        for proc in self.workers.values():
            proc.join()
