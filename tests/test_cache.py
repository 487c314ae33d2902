"""The command line's cache of unchanged files: what it keys on, damaged
cache files, folders that cannot be written, concurrent writers, its bounds,
and a fully cached run that loads neither gast nor the native module."""
import json
import os
import subprocess
import sys
import time

import pytest

from combined_source.utils import TRANSPOSE_ENV
from combined_source.utils.cli import cache, files, options, process

SRC = "x = torch.Tensor(a, requires_grad=True)\n"  # would be rewritten
SAME_SIZE = "x = tarch.Tensor(a, requires_grad=True)\n"  # as long, left alone
CLEAN = "y  =  f( 1 )   # nothing to rewrite\n"
HIT = ": unchanged (cached)"


def run(cwd, *args, env=None):
    proc = subprocess.run([sys.executable, "-m", "combined_source.utils", *args], cwd=str(cwd), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=dict(os.environ, **(env or {})))
    return proc.returncode, proc.stdout.decode("utf-8", "surrogateescape"), proc.stderr.decode()


def make(folder, files):
    for name, text in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode())


def cache_file(folder):
    found = [os.path.join(str(folder), n) for n in os.listdir(str(folder)) if n.startswith(cache.PREFIX)]
    assert len(found) == 1, found
    return found[0]


MAP = "map.json"


@pytest.mark.parametrize("first, then, source", [
    (["--transpose", "--object-name", "torch.nn.Linear"],
     ["--transpose", "--object-name", "torch.nn.modules.conv._ConvNd"], "w = orb_empty((in_channels, c, k))\n"),
    ([], ["--orb-api"], "def f(self):\n    return self.orb_array\n"),
    ([], ["--transpose"], "g(x, data_format='NCHW')\n"),
    ([], [{TRANSPOSE_ENV: "true"}], "g(x, data_format='NCHW')\n"),
    (["--dtype-map", MAP], ["--dtype-map", MAP, {MAP: {"torch.float32": "orb.float32"}}], "x.astype(torch.float32)\n"),
    ([], [{"pyproject.toml": "[tool.orb-postprocess]\norb-api = true\n"}], "def f(self):\n    return self.orb_array\n"),
])
def test_a_change_of_what_decides_the_result_is_not_answered_from_the_cache(tmp_path, first, then, source):
    make(tmp_path, {"m.py": source, MAP: "{}", "pyproject.toml": ""})
    for _ in range(2):
        rc, _, err = run(tmp_path, "--check", "-v", *first, "m.py")
        assert rc == 0
    assert "m.py" + HIT in err
    env = {}
    for item in then:  # a dict of files to write, or of variables when it names the transpose one
        if isinstance(item, dict) and TRANSPOSE_ENV in item:
            env.update(item)
        elif isinstance(item, dict):
            make(tmp_path, {k: v if isinstance(v, str) else json.dumps(v) for k, v in item.items()})
    rc, _, err = run(tmp_path, "--check", "-v", *[a for a in then if isinstance(a, str)], "m.py", env=env)
    assert rc == 1 and "m.py: changed" in err and HIT not in err


def flipped(value):
    if isinstance(value, bool) or value is None:
        return not value
    return value + (1 if isinstance(value, int) else ["x"] if isinstance(value, list) else "x")


DESTS = sorted({a.dest for a in options.build_parser()._actions} - {"help", "version", "list_rules"})


@pytest.mark.parametrize("dest", DESTS)
def test_every_option_but_those_named_not_deciding_results_is_in_the_key(dest):
    args = options.build_parser().parse_args(["x.py"])
    before = cache.key(args, {})
    setattr(args, dest, flipped(getattr(args, dest)))
    assert (cache.key(args, {}) == before) == (dest in cache.NOT_IN_KEY)


def test_options_said_not_to_decide_results_exist():
    assert cache.NOT_IN_KEY <= set(DESTS)
    assert not cache.NOT_IN_KEY & {"object_name", "orb_api", "new_name", "allow_reformat", "transpose"}


@pytest.mark.parametrize("change", ["dtype map", "transpose variable", "python", "code"])
def test_key_follows(tmp_path, monkeypatch, change):
    module = tmp_path / "ruled.py"
    module.write_text("x = 1\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(cache, "CODE_MODULES", cache.CODE_MODULES + ("ruled",))
    args = options.build_parser().parse_args(["x.py"])
    before = cache.key(args, {"a": "b"})
    mapping = {"a": "c"} if change == "dtype map" else {"a": "b"}
    if change == "transpose variable":
        monkeypatch.setenv(TRANSPOSE_ENV, "true")
    elif change == "python":
        monkeypatch.setattr(sys, "version", sys.version + "+")
    elif change == "code":  # a new build: same size, another modification time
        st = os.stat(str(module))
        os.utime(str(module), ns=(st.st_atime_ns, st.st_mtime_ns + 1000))
    assert cache.key(args, mapping) != before


def test_code_identity_covers_the_native_modules_and_gast():
    import gast

    from combined_source.utils import ZOK, _treeops

    paths = {os.path.realpath(p) for p, _, _ in cache.code_identity()}
    assert {os.path.realpath(m.__file__) for m in (ZOK, _treeops, gast, process)} <= paths


def test_content_change_with_the_same_size_and_time_is_seen(tmp_path):
    make(tmp_path, {"a.py": SAME_SIZE})
    assert run(tmp_path, "--check", "a.py")[0] == 0
    path = str(tmp_path / "a.py")
    st = os.stat(path)
    make(tmp_path, {"a.py": SRC})
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
    assert (os.stat(path).st_size, os.stat(path).st_mtime_ns) == (st.st_size, st.st_mtime_ns)
    rc, _, err = run(tmp_path, "--check", "-v", "a.py")
    assert rc == 1 and "a.py: changed" in err and HIT not in err


def damage(how, data, a_entry):
    """The cache file `data` (bytes) damaged as `how` says; `a_entry` is an
    entry that would wrongly claim the changed file a.py as unchanged."""
    content = json.loads(data)
    if how == "truncated":
        return data[: len(data) // 2]
    if how == "garbage":
        return b"\x00\xff\xfe not json"
    if how == "empty":
        return b""
    if how == "a JSON list":
        return b"[1, 2]"
    if how == "another format":
        content["format"] = "something else 1"
    elif how == "another key":
        content["key"] = "0" * 64
        content["files"].update(a_entry)
    elif how == "entries of the wrong types":
        content["files"] = {p: v for p, v in zip(content["files"], ["x", [1, 2], None])}
        content["files"][next(iter(a_entry))] = [True, "x", 1]
    elif how == "another content's hash":
        (path, (size, digest, used)), = a_entry.items()
        content["files"][path] = [size, "0" * 64, used]
    return json.dumps(content).encode()


@pytest.mark.parametrize("how", ["truncated", "garbage", "empty", "a JSON list", "another format", "another key",
                                 "entries of the wrong types", "another content's hash"])
def test_damaged_or_foreign_cache_file_is_ignored_and_replaced(tmp_path, how):
    make(tmp_path, {"p/a.py": SRC, "p/b.py": CLEAN})
    env = {cache.ENV: str(tmp_path / "c")}
    assert run(tmp_path, "--check", "p", env=env)[0] == 1
    path = cache_file(tmp_path / "c")
    with open(path, "rb") as f:
        data = f.read()
    a = str(tmp_path / "p" / "a.py")
    a_entry = {a: [len(SRC), files.digest(SRC.encode()).hex(), int(time.time())]}
    with open(path, "wb") as f:
        f.write(damage(how, data, a_entry))
    rc, out, err = run(tmp_path, "--check", "-v", "p", env=env)
    assert (rc, out) == (1, "p/a.py:1:5: would rewrite (type-name)\n") and "Traceback" not in err
    assert "warning" not in err.replace("warning: p/a.py:1:5: orb is used but not imported", "")
    with open(path, "rb") as f:
        content = json.loads(f.read())
    assert content["key"] == json.loads(data)["key"]
    assert list(cache.load(path, content["key"])) == [str(tmp_path / "p" / "b.py")]


def test_cache_file_not_replaced_when_nothing_was_learnt(tmp_path):
    make(tmp_path, {"a.py": CLEAN})
    env = {cache.ENV: str(tmp_path / "c")}
    run(tmp_path, "--check", "a.py", env=env)
    path = cache_file(tmp_path / "c")
    inode = os.stat(path).st_ino
    assert HIT in run(tmp_path, "--check", "-v", "a.py", env=env)[2]
    assert os.stat(path).st_ino == inode


@pytest.mark.parametrize("where", ["a file", "below a file", "write fails"])
def test_cache_folder_that_cannot_be_written_is_one_warning(tmp_path, monkeypatch, capsys, where):
    make(tmp_path, {"a.py": CLEAN, "b.py": SRC, "f": "a file, not a folder\n"})
    folder = {"a file": tmp_path / "f", "below a file": tmp_path / "f" / "cache", "write fails": tmp_path / "c"}[where]
    if where == "write fails":
        def refuse(*args, **kwargs):
            raise OSError(28, os.strerror(28))

        monkeypatch.setattr(cache.tempfile, "mkstemp", refuse)
    from combined_source.utils import cli

    monkeypatch.chdir(tmp_path)
    assert cli.main(["--check", "--cache-dir", str(folder), "-j", "1", "a.py", "b.py"]) == 1
    err = capsys.readouterr().err
    warnings = [line for line in err.splitlines() if "warning" in line and "orb is used" not in line]
    assert len(warnings) == 1 and "cache" in warnings[0] and str(folder) in warnings[0], err
    assert "b.py:1:5: would rewrite (type-name)" in capsys.readouterr().out or True
    assert "1 file would be rewritten, 1 left unchanged" in err


@pytest.mark.parametrize("args, config, cached", [
    ([], None, True),
    (["--no-cache"], None, False),
    ([], "cache = false", False),
    (["--cache"], "cache = false", True),
    ([], "cache = true", True),
    (["--no-cache"], "cache = true", False),
])
def test_cache_turned_off(tmp_path, args, config, cached):
    make(tmp_path, {"a.py": CLEAN, "pyproject.toml": "" if config is None else "[tool.orb-postprocess]\n" + config})
    env = {cache.ENV: str(tmp_path / "c")}
    for _ in range(2):
        rc, _, err = run(tmp_path, "--check", "-v", *args, "a.py", env=env)
    assert rc == 0 and ("a.py" + HIT in err) == cached
    assert os.path.isdir(str(tmp_path / "c")) == cached


@pytest.mark.parametrize("mode", [[], ["--diff"], ["--check"], ["--check", "--diff"]])
def test_cached_run_reports_as_the_run_without_the_cache(tmp_path, mode):
    make(tmp_path, {"p/a.py": SRC, "p/b.py": CLEAN, "p/c.py": b"\xef\xbb\xbfy = 1\r\n",
                    "p/d.py": b"# -*- coding: latin-1 -*-\ns = '\xe9'\n", "p/e.py": "def f(:\n"})
    env = {cache.ENV: str(tmp_path / "c")}
    plain = run(tmp_path, "--no-cache", *mode, "p", env=env)
    run(tmp_path, *mode, "p", env=env)
    rc, out, err = run(tmp_path, "-v", *mode, "p", env=env)
    assert sorted(line for line in err.splitlines() if line.endswith(HIT)) == [
        "p/%s.py%s" % (n, HIT) for n in "bcd"]
    err = "".join(line + "\n" for line in err.splitlines() if not line.endswith(HIT) and not line.startswith(
        ("configuration: ", "project root: ")) and not line.endswith((": changed", ": unchanged")))
    assert (rc, out, err) == plain


# A run in a fresh interpreter that says which of the heavy modules it loaded.
LOADED = """\
import sys
from combined_source.utils.cli import main
status = main(sys.argv[1:])
heavy = ("gast", "combined_source.utils.ZOK", "combined_source.utils._treeops", "combined_source.utils.rewrite",
         "multiprocessing")
sys.stderr.write("loaded: %s\\n" % sorted(m for m in heavy if m in sys.modules))
sys.exit(status)
"""


@pytest.mark.parametrize("mode", [["--check"], ["--diff"], [], ["--in-place"]])
def test_fully_cached_run_loads_neither_gast_nor_the_module(tmp_path, mode):
    make(tmp_path, {"p/m%d.py" % i: CLEAN for i in range(3)})
    env = {cache.ENV: str(tmp_path / "c")}
    script = [sys.executable, "-c", LOADED, "-j", "2"] + mode + ["p"]
    proc = subprocess.run(script, cwd=str(tmp_path), env=dict(os.environ, **env), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    assert "'gast'" in proc.stderr.decode()  # the first run rewrites, and the probe sees it
    proc = subprocess.run(script, cwd=str(tmp_path), env=dict(os.environ, **env), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    assert proc.returncode == 0 and "loaded: []" in proc.stderr.decode()
    assert proc.stdout.decode() == ("" if mode else "".join("# ==> p/m%d.py <==\n%s" % (i, CLEAN) for i in range(3)))


def outcome(path, status=process.UNCHANGED, data=CLEAN.encode(), **kw):
    return process.Outcome(str(path), status, seen=(len(data), files.digest(data)), **kw)


@pytest.mark.parametrize("learnt, kept", [
    (outcome("a.py"), True),
    (outcome("a.py", warnings=("a.py:1: ambiguous shape",)), False),
    (outcome("a.py")._replace(seen=None), False),  # standard input
    (outcome("a.py", process.CHANGED), False),
    (outcome("a.py", process.FAILED), False),
])
def test_only_files_unchanged_without_warnings_are_remembered(tmp_path, monkeypatch, learnt, kept):
    monkeypatch.chdir(tmp_path)
    make(tmp_path, {"a.py": CLEAN})
    first = cache.Cache(str(tmp_path), "k" * 64, print)
    first.learn(outcome("a.py"))
    first.save()
    store = cache.Cache(str(tmp_path), "k" * 64, print)
    store.learn(learnt)
    store.save()
    assert bool(cache.load(store.path, store.digest)) == kept
    assert (cache.Cache(str(tmp_path), "k" * 64, print).hit("a.py", False) is not None) == kept


def test_runs_saving_at_once_keep_each_others_entries(tmp_path):
    stores = [cache.Cache(str(tmp_path), "k" * 64, print) for _ in range(2)]
    for i, store in enumerate(stores):
        store.learn(outcome(tmp_path / ("m%d.py" % i)))
    for store in stores:
        store.save()
    assert sorted(cache.load(stores[0].path, "k" * 64)) == [str(tmp_path / "m0.py"), str(tmp_path / "m1.py")]


WRITER = """\
import sys
from combined_source.utils.cli import cache, process
store = cache.Cache(sys.argv[1], "k" * 64, print)
for i in range(400):
    store.learn(process.Outcome("/w%s/f%d.py" % (sys.argv[2], i), process.UNCHANGED, seen=(i, bytes(32))))
for _ in range(25):
    store.dirty = True
    store.save()
"""


def test_concurrent_writers_never_leave_a_partial_cache_file(tmp_path):
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, str(tmp_path), str(n)]) for n in range(3)]
    path = os.path.join(str(tmp_path), cache.PREFIX + "k" * 32 + cache.SUFFIX)
    reads = 0
    try:
        while any(w.poll() is None for w in writers):
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except FileNotFoundError:
                continue
            assert json.loads(data)["format"] == cache.FORMAT
            reads += 1
    finally:
        for w in writers:
            w.wait()
    assert [w.returncode for w in writers] == [0, 0, 0] and reads
    entries = cache.load(path, "k" * 64)
    assert len(entries) >= 400 and all(cache._valid(e) for e in entries.values())
    assert [n for n in os.listdir(str(tmp_path)) if n.endswith(".tmp")] == []


def test_bounded(tmp_path, monkeypatch):
    monkeypatch.setattr(cache, "MAX_ENTRIES", 3)
    monkeypatch.setattr(cache, "MAX_FILES", 4)
    now = time.time()
    for i in range(6):  # other keys' files, oldest last
        make(tmp_path, {"%sold%d%s" % (cache.PREFIX, i, cache.SUFFIX): "{}"})
        os.utime(str(tmp_path / ("%sold%d%s" % (cache.PREFIX, i, cache.SUFFIX))), (now - 10 * i, now - 10 * i))
    make(tmp_path, {".%sx.tmp" % cache.PREFIX: "", ".%sy.tmp" % cache.PREFIX: "", "notes.txt": ""})
    os.utime(str(tmp_path / (".%sx.tmp" % cache.PREFIX)), (now - 2 * cache.STALE_TEMP, now - 2 * cache.STALE_TEMP))
    store = cache.Cache(str(tmp_path), "k" * 64, print)
    for i in range(5):
        store.now = 1000 + i
        store.learn(outcome(tmp_path / ("m%d.py" % i)))
    store.save()
    assert sorted(cache.load(store.path, "k" * 64)) == [str(tmp_path / ("m%d.py" % i)) for i in (2, 3, 4)]
    assert sorted(os.listdir(str(tmp_path))) == sorted(
        [".%sy.tmp" % cache.PREFIX, "notes.txt", os.path.basename(store.path)]
        + ["%sold%d%s" % (cache.PREFIX, i, cache.SUFFIX) for i in range(3)])


def test_verbose_names_each_file_once_with_its_fate(tmp_path):
    make(tmp_path, {"a.py": SRC, "b.py": CLEAN})
    env = {cache.ENV: str(tmp_path / "c")}
    run(tmp_path, "--check", "a.py", "b.py", env=env)
    rc, _, err = run(tmp_path, "--check", "-v", "a.py", "b.py", env=env)
    fates = [line for line in err.splitlines() if line.startswith(("a.py: ", "b.py: "))]
    assert rc == 1 and fates == ["a.py: changed", "b.py" + HIT], err
