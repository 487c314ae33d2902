"""The command line against hostile or unlucky inputs, signals and neighbours,
end to end in subprocesses (a few cases in-process where a neighbour must act
at an exact moment)."""
import errno
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from combined_source.utils import cli
from combined_source.utils.cli import files, pool, process, report

SRC = "x = torch.Tensor(a, requires_grad=True)\n"
OUT = "x = orb.Array(a)\n"
CLI = [sys.executable, "-m", "combined_source.utils"]
# A debug build of the interpreter runs a few times slower: the time limits,
# which only stop a run that hangs, grow with it.
SLOWER = 5 if hasattr(sys, "gettotalrefcount") else 1
ENV = dict(os.environ)


def run_cli(cwd, *args, timeout=60, prelude=None):
    """rc, stdout and stderr (bytes) of the command line; `prelude` is Python
    run in the process before the command line's main."""
    argv = CLI if prelude is None else [sys.executable, "-c", prelude + "\nfrom combined_source.utils.cli import main"
                                        "\nimport sys\nsys.exit(main(sys.argv[1:]))"]
    proc = subprocess.run(argv + [os.fsdecode(a) for a in args], cwd=str(cwd), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr.decode("utf-8", "surrogateescape")


def make(folder, files):
    for name, data in files.items():
        path = os.path.join(str(folder), name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())


def read(folder, name):
    with open(os.path.join(str(folder), name), "rb") as f:
        return f.read().decode("utf-8", "replace")


# -- special files: nothing hangs, nothing is read without a bound ---------

@pytest.mark.parametrize("special, named", [("fifo", False), ("zero", False), ("fifo", True), ("zero", True)])
def test_special_files_are_skipped_in_folders_and_refused_by_name(tmp_path, special, named):
    make(tmp_path, {"d/a.py": SRC})
    path = tmp_path / "d" / "x.py"
    if special == "fifo":
        os.mkfifo(str(path))
    else:
        os.symlink("/dev/zero", str(path))
    rc, out, err = run_cli(tmp_path, "--in-place", "d/a.py" if named else "d", *(["d/x.py"] if named else []),
                           timeout=30)
    if named:
        assert rc == 2 and "d/x.py: cannot read: not a regular file" in err and "2 files: 1 changed" in err
    else:
        assert rc == 0 and "1 file: 1 changed" in err
    assert read(tmp_path, "d/a.py") == OUT


# -- one bad file is one line naming it; the run goes on ----------------

DEEP = {
    "parens": "x = " + "(" * 300 + "1" + ")" * 300 + "\n",
    "calls": "x = " + "f(" * 2000 + "1" + ")" * 2000 + "\n",
    # deeper than the native conversion gets through on any version (3.12 and
    # later rewrite a chain of some thousands)
    "plus": "x = " + " + ".join(["a"] * 100_000) + "\n",
}


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("kind", sorted(DEEP))
def test_deep_input_fails_alone(tmp_path, kind, jobs):
    make(tmp_path, {"a.py": SRC, "b.py": DEEP[kind], "c.py": SRC})
    rc, out, err = run_cli(tmp_path, "--in-place", "-j", jobs, ".")
    assert rc == 2 and "internal error" not in err
    assert [line for line in err.splitlines() if "b.py" in line][-1].startswith("./b.py")
    assert "rewrote ./c.py" in err and "3 files: 2 changed, 0 unchanged, 1 failed" in err
    assert read(tmp_path, "c.py") == OUT and read(tmp_path, "b.py") == DEEP[kind]


@pytest.mark.parametrize("args", [[], ["--diff"], ["--check"], ["--in-place"]])
def test_file_name_that_is_not_utf8(tmp_path, args):
    name = b"\xff\xfe.py"
    make(tmp_path, {os.fsdecode(name): SRC, "b.py": SRC})
    rc, out, err = run_cli(tmp_path, *args, name, "b.py")
    assert rc == (1 if args == ["--check"] else 0)
    assert ("2 files would be rewritten" if args == ["--check"] else "2 files: 2 changed") in err
    if not args:
        assert out.startswith(b"# ==> " + name + b" <==\n" + OUT.encode())
    if args == ["--diff"]:
        assert out.startswith(b"--- " + name + b"\n+++ " + name + b"\n")
    if args == ["--check"]:
        assert out.startswith(name + b":1:5: would rewrite (type-name)\n")
    if args == ["--in-place"]:
        # the name's own bytes (the file uses orb without importing it: a warning first)
        assert err.startswith("warning: %s:1:5: orb is used but not imported\nrewrote %s\n" % ((os.fsdecode(name),) * 2))


# -- sources decoded as Python decodes them -------------------------------

@pytest.mark.parametrize("data, rc, stdout, message", [
    # printed back byte for byte in its own encoding, not as UTF-8
    (b"# -*- coding: latin-1 -*-\nx = g('caf\xe9')\n", 0, b"# -*- coding: latin-1 -*-\nx = g('caf\xe9')\n", ""),
    # rewritten in its own encoding: the string's value does not change
    (b"# coding: latin-1\nx = torch.Tensor('caf\xc3\xa9')\n", 0,
     b"# coding: latin-1\nx = orb.Array('caf\xc3\xa9')\n", ""),
    (b"# coding: utf-8\nx = torch.Tensor('caf\xc3\xa9')\n", 0, b"# coding: utf-8\nx = orb.Array('caf\xc3\xa9')\n", ""),
    # line endings of lines left alone stay as they are, mixed or CR only
    (b"a = 1\r\nx = torch.Tensor(a, requires_grad=True)\nb = 2\r\n", 0, b"a = 1\r\nx = orb.Array(a)\nb = 2\r\n", ""),
    (b"a = 1\rx = torch.Tensor(a, requires_grad=True)\rb = 2\r", 0, b"a = 1\rx = orb.Array(a)\rb = 2\r", ""),
    (b"# coding: no-such-codec\nx = 1\n", 2, b"", "m.py: cannot decode: unknown encoding: no-such-codec"),
    (b"\xef\xbb\xbf# coding: latin-1\nx = 1\n", 2, b"", "m.py: cannot decode: encoding problem: "),
    # a declaration counts on the first two lines only
    (b"x = 1\ny = 2\n# coding: latin-1\nz = '\xe9'\n", 2, b"", "m.py:4:6: not UTF-8: invalid continuation byte"),
])
def test_source_encodings(tmp_path, data, rc, stdout, message):
    make(tmp_path, {"m.py": data})
    got = run_cli(tmp_path, "m.py")
    assert got[:2] == (rc, stdout) and message in got[2]
    got = run_cli(tmp_path, "--in-place", "m.py")
    assert got[0] == rc and message in got[2]
    assert (tmp_path / "m.py").read_bytes() == (data if rc or stdout == data else stdout)


def test_rewrite_that_cannot_be_encoded_back_is_left_alone(tmp_path):
    data = b"# coding: latin-1\nx.astype(torch.float32)  # caf\xe9\n"
    make(tmp_path, {"m.py": data, "map.json": json.dumps({"torch.float32": "orb.\u0192"})})
    rc, out, err = run_cli(tmp_path, "--in-place", "--dtype-map", "map.json", "m.py")
    assert rc == 2 and "m.py: left alone: the rewrite cannot be written in iso-8859-1: " in err
    assert (tmp_path / "m.py").read_bytes() == data


# -- options checked before any file is touched --------------------------

@pytest.mark.parametrize("args, message", [
    (["--new-name", "x y"], "--new-name must be a Python identifier that is not a keyword, got 'x y'"),
    (["--new-name", "class"], "not a keyword, got 'class'"),
    (["--new-name", ""], "got ''"),
    (["--dtype-map", "deep.json"], "--dtype-map deep.json: nested too deeply"),
    (["--dtype-map", "deepvalue.json"], "replacement of 'torch.float32' is not a Python expression"),
    (["--dtype-map", "fifo.json"], "--dtype-map fifo.json: not valid JSON"),
    (["--dtype-map", "/dev/zero"], "--dtype-map /dev/zero: larger than 16 MiB"),
])
def test_bad_options_are_usage_errors(tmp_path, args, message):
    make(tmp_path, {"a.py": SRC, "deep.json": "[" * 100000 + "]" * 100000,
                    "deepvalue.json": json.dumps({"torch.float32": "(" * 100000 + ")" * 100000})})
    os.mkfifo(str(tmp_path / "fifo.json"))
    rc, out, err = run_cli(tmp_path, "--in-place", "--orb-api", *args, "a.py", timeout=30)
    assert (rc, out) == (2, b"") and message in err and "Traceback" not in err
    assert read(tmp_path, "a.py") == SRC


def test_jobs_are_capped():
    cores = os.cpu_count() or 1
    assert [pool.worker_count(j, n) for j, n in [(100000, 500), (100000, 3), (1, 500), (8, 0)]] == [
        min(500, pool.WORKERS_PER_CORE * cores), min(3, pool.WORKERS_PER_CORE * cores), 1, 1]


def test_workers_that_cannot_start_leave_the_work_to_those_that_did(tmp_path):
    prelude = """
import multiprocessing.context, errno
started = []
real = multiprocessing.context.ForkProcess._Popen
def limited(process):
    if started:
        raise BlockingIOError(errno.EAGAIN, "Resource temporarily unavailable")
    started.append(process)
    return real(process)
multiprocessing.context.ForkProcess._Popen = staticmethod(limited)
"""
    make(tmp_path, {"m%d.py" % i: SRC for i in range(6)})
    rc, out, err = run_cli(tmp_path, "--in-place", "-j", "4", ".", prelude=prelude, timeout=30)
    assert rc == 0 and "cannot start more worker processes (Resource temporarily unavailable); going on with 1" in err
    assert "6 files: 6 changed" in err and all(read(tmp_path, "m%d.py" % i) == OUT for i in range(6))


# -- signals --------------------------------------------------------------

BIG = "".join("x%d = torch.Tensor(a, requires_grad=True)\n" % i for i in range(300))
BIG_OUT = "".join("x%d = orb.Array(a)\n" % i for i in range(300))


def live_members(group):
    """Processes of the group that are still running (zombies do not count:
    the reaper of an orphan may be slow)."""
    members = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == group and fields[0] != "Z":
            members.append(int(pid))
    return members


def wait_for_group(group, seconds=15):
    deadline = time.monotonic() + seconds
    while live_members(group) and time.monotonic() < deadline:
        time.sleep(0.05)
    return live_members(group)


@pytest.mark.parametrize("sig, to_group, jobs", [
    (signal.SIGINT, False, "2"), (signal.SIGTERM, False, "2"),
    (signal.SIGINT, True, "2"), (signal.SIGTERM, True, "2"),
    (signal.SIGTERM, False, "1"), (signal.SIGKILL, False, "2"),
])
def test_signal_stops_the_run(tmp_path, sig, to_group, jobs):
    names = ["m%03d.py" % i for i in range(80)]
    make(tmp_path, dict.fromkeys(names, BIG))
    proc = subprocess.Popen(CLI + ["--in-place", "-j", jobs, "."], cwd=str(tmp_path), env=ENV,
                            stderr=subprocess.PIPE, start_new_session=True)
    try:
        first = proc.stderr.readline().decode()  # one file written: the run is under way
        (os.killpg if to_group else os.kill)(proc.pid, sig)
        err = first + proc.stderr.read().decode()
        rc = proc.wait(timeout=30 * SLOWER)
        assert not wait_for_group(proc.pid), "a worker outlived the run"
    finally:  # nothing of a failed case is left running
        if proc.poll() is None:
            proc.kill()
        for pid in live_members(proc.pid):
            os.kill(pid, signal.SIGKILL)
        proc.stderr.close()
    texts = {n: read(tmp_path, n) for n in names}
    assert set(texts.values()) <= {BIG, BIG_OUT}  # each file original or complete
    assert sorted(os.listdir(str(tmp_path))) == names  # no temporary file left
    written = {"./" + n for n, t in texts.items() if t == BIG_OUT}
    assert 1 <= len(written) < len(names)  # stopped promptly
    if sig != signal.SIGKILL:
        count = len(written)
        assert rc == 128 + sig and "interrupted after %d file%s: %d changed" % (count, "s"[count == 1:], count) in err
        assert {line[8:] for line in err.splitlines() if line.startswith("rewrote ")} == written


# -- neighbours: a file changed since it was read is not written ----------

def save_as_new_file(path):
    tmp = path + ".new"
    with open(tmp, "w") as f:
        f.write("edited = 1\n")
    os.replace(tmp, path)


def edit_keeping_size_and_time(path):
    st = os.stat(path)
    with open(path, "r+") as f:
        f.write("y")  # same size
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def append(path):
    with open(path, "a") as f:
        f.write("edited = 1\n")


@pytest.mark.parametrize("edit, expected", [
    (save_as_new_file, "edited = 1\n"),
    (edit_keeping_size_and_time, "y" + SRC[1:]),
    (append, SRC + "edited = 1\n"),
])
def test_file_changed_during_the_rewrite_is_left_alone(tmp_path, monkeypatch, capsys, edit, expected):
    path = str(tmp_path / "a.py")
    make(tmp_path, {"a.py": SRC, "b.py": SRC})
    real = process.rewrite_text

    def rewrite_while_someone_edits(name, text, *rest):
        if name == path:
            edit(name)
        return real(name, text, *rest)

    monkeypatch.setattr(process, "rewrite_text", rewrite_while_someone_edits)
    assert cli.main(["--in-place", "-j", "1", path, str(tmp_path / "b.py")]) == report.EXIT_INPUT
    err = capsys.readouterr().err
    assert "a.py: changed since it was read; not rewritten" in err and "2 files: 1 changed" in err
    assert read(tmp_path, "a.py") == expected and read(tmp_path, "b.py") == OUT
    assert sorted(os.listdir(str(tmp_path))) == ["a.py", "b.py"]


def test_concurrent_runs_rewrite_each_file_once(tmp_path):
    names = ["m%03d.py" % i for i in range(60)]
    make(tmp_path, dict.fromkeys(names, BIG))
    procs = [subprocess.Popen(CLI + ["--in-place", "-j", "1", "."], cwd=str(tmp_path), env=ENV,
                              stderr=subprocess.PIPE) for _ in range(2)]
    try:
        errs = [p.communicate(timeout=60 * SLOWER)[1].decode() for p in procs]
    finally:  # nothing of a failed case is left running
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.communicate()
    rewrote = [line for e in errs for line in e.splitlines() if line.startswith("rewrote ")]
    assert all(read(tmp_path, n) == BIG_OUT for n in names)
    assert sorted(rewrote) == ["rewrote ./" + n for n in names]


def test_stale_temporary_file_is_named(tmp_path):
    dead = subprocess.Popen(["true"])
    dead.wait()
    stale = ".a.py.orb-postprocess.%d.x1y2.tmp" % dead.pid
    live = ".a.py.orb-postprocess.%d.x1y2.tmp" % os.getpid()
    make(tmp_path, {"a.py": SRC, "d/b.py": SRC, "d/" + stale: "", stale: "", live: ""})
    rc, out, err = run_cli(tmp_path, "--check", "a.py", "d")
    warned = sorted(line for line in err.splitlines() if "temporary file" in line)
    prog = "%s -m combined_source.utils" % os.path.basename(sys.executable)  # as it was called
    assert rc == 1 and warned == ["%s: warning: %s: temporary file of a run that was killed; remove it"
                                  % (prog, p) for p in sorted([stale, "d/" + stale])]
    assert "temporary file" not in run_cli(tmp_path, "--check", "-q", "a.py", "d")[2]  # a warning: -q silences it


# -- identity of a rewritten file ----------------------------------------

def hard_link(path):
    os.link(path, path + ".link")


def read_only(path):
    os.chmod(path, 0o444)


@pytest.mark.parametrize("prepare, a_py, rc, message, summary", [
    (hard_link, SRC, 2, "a.py: has 2 hard links; not rewritten (a replacement would split them)",
     "3 files: 1 changed, 1 unchanged, 1 failed\n"),
    # A read-only file is its owner's wish: skipped, not a failure; unchanged, it is just unchanged.
    (read_only, SRC, 0, "a.py: skipped: read-only; not rewritten",
     "3 files: 1 changed, 1 unchanged, 0 failed, 1 skipped\n"),
    (read_only, "y = 1\n", 0, "", "3 files: 1 changed, 2 unchanged, 0 failed\n"),
])
def test_files_a_replacement_would_harm_are_left_alone(tmp_path, prepare, a_py, rc, message, summary):
    make(tmp_path, {"a.py": a_py, "b.py": SRC, "c.py": "y = 1\n"})
    prepare(str(tmp_path / "a.py"))
    rc_got, out, err = run_cli(tmp_path, "--in-place", "a.py", "b.py", "c.py")
    assert (rc_got, out) == (rc, b"") and message in err and err.endswith(summary), err
    assert read(tmp_path, "a.py") == a_py and read(tmp_path, "b.py") == OUT
    assert rc or run_cli(tmp_path, "-q", "--in-place", "a.py")[2] == ""  # a skip is a note, -q silences it


def test_owner_group_mode_and_extended_attributes_are_kept(tmp_path):
    make(tmp_path, {"a.py": SRC})
    path = str(tmp_path / "a.py")
    os.chmod(path, 0o664)
    try:
        os.setxattr(path, "user.origin", b"generated")
        xattr = True
    except OSError as e:
        assert e.errno in (errno.ENOTSUP, errno.EOPNOTSUPP, errno.EPERM)
        xattr = False
    owner = (4321, 4322) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(path, *owner)
    assert run_cli(tmp_path, "--in-place", "a.py")[0] == 0
    st = os.stat(path)
    assert read(tmp_path, "a.py") == OUT and (st.st_uid, st.st_gid, st.st_mode & 0o7777) == owner + (0o664,)
    assert not xattr or os.getxattr(path, "user.origin") == b"generated"


def test_file_locked_by_another_run_is_left_alone(tmp_path, monkeypatch, capsys):
    import fcntl
    import functools
    make(tmp_path, {"a.py": SRC})
    monkeypatch.setattr(files, "lock", functools.partial(files.lock, seconds=0.05))
    with open(str(tmp_path / "a.py"), "rb") as held:
        fcntl.flock(held.fileno(), fcntl.LOCK_EX)
        assert cli.main(["--in-place", "-j", "1", str(tmp_path / "a.py")]) == report.EXIT_INPUT
    assert "a.py: locked by another process; not rewritten" in capsys.readouterr().err
    assert read(tmp_path, "a.py") == SRC and os.listdir(str(tmp_path)) == ["a.py"]


def test_worker_that_dies_is_one_internal_error_naming_its_file(tmp_path):
    prelude = """
import os
from combined_source.utils.cli import pool
real = pool.process_file
def process_file(job, *args):
    if job[0].endswith("b.py"):
        os._exit(3)
    return real(job, *args)
pool.process_file = process_file
"""
    make(tmp_path, {"%s.py" % c: SRC for c in "abcdef"})
    rc, out, err = run_cli(tmp_path, "--in-place", "-j", "2", ".", prelude=prelude, timeout=30)
    assert rc == 123 and "./b.py: internal error: worker process ended (exit code 3)" in err
    assert "6 files: 5 changed, 0 unchanged, 1 failed" in err
    assert [c for c in "abcdef" if read(tmp_path, "%s.py" % c) == OUT] == list("acdef")
