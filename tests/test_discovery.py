"""Which files a run finds: git's own view of a repository as the oracle,
named paths against the excludes, links and special files, and reading a
file to its end."""
import errno
import io
import os
import re
import shutil
import subprocess
import sys

import pytest

from combined_source.utils import config
from combined_source.utils.cli import discovery
from combined_source.utils.cli.files import Refused, read_source

# git without the user's or the system's configuration (no global excludes).
GIT_ENV = dict({k: v for k, v in os.environ.items() if not k.startswith("GIT_")},
               HOME=os.devnull, XDG_CONFIG_HOME=os.devnull, GIT_CONFIG_NOSYSTEM="1",
               GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@t", GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@t")

# Ignore files of the generated repository, by folder.
IGNORES = {
    "": "# a comment\n*.log\n/anchored.py\ngen/\nlogs/*\n!logs/keep.py\ndrop/\n!drop/back.py\n**/tmp_*.py\n"
        "deep/**/x.py\na/**\n!a/keep.py\n\\#hash.py\n\\!bang.py\ntrailing.py   \n*_skip.py\n!info_keep.py\n",
    "sub": "*.py\n!keep*.py\n/nested/\n",
    "sub/deeper": "!x.py\n!\n/\nb\\\n[z-a].py\n",  # a few lines that are no patterns
    "weird[1]": "ign.py\n",
    "!neg": "z.py\n",
}
INFO_EXCLUDE = "info_*.py\n"
FILES = [
    "m.py", "anchored.py", "sub/anchored.py", "gen/a.py", "src/gen/b.py", "src/gen.py", "logs/keep.py",
    "logs/a.py", "drop/back.py", "src/tmp_x.py", "tmp_y.py", "deep/x.py", "deep/1/2/x.py", "deep/y.py",
    "a/keep.py", "a/b.py", "a/s/c.py", "#hash.py", "!bang.py", "trailing.py", "other.py", "c_skip.py",
    "sub/x.py", "sub/keep1.py", "sub/nested/keep2.py", "sub/more/nested/keep3.py", "sub/deeper/x.py",
    "weird[1]/ign.py", "weird[1]/ok.py", "weird1/ign.py", "!neg/z.py", "!neg/y.py", "info_a.py",
    "info_keep.py", ".github/tool.py", "notes.txt", "gen/notes.txt",
    # default excludes, which git does not ignore here
    "venv/pyvenv.cfg", "venv/lib/site.py", "env2/pyvenv.cfg", "env2/m.py", "build/lib/m.py", "dist/m.py",
    "node_modules/p/m.py", ".tox/m.py", "src/__pycache__/m.py", "_build/m.py", "pkg/site-packages/m.py",
]
TRACKED = ["m.py", "sub/keep1.py", "deep/y.py", "src/gen.py", "weird1/ign.py"]


def write(root, files):
    for name in files:
        path = os.path.join(str(root), name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("x = 1\n")


def relative(found, root):
    return sorted(os.path.relpath(name, str(root)) for name, _ in found.jobs)


def default_excluded(name):
    folders = name.split("/")[:-1]
    return bool(set(folders) & discovery.DEFAULT_EXCLUDES) or any(
        name.startswith(f + "/") for f in ("venv", "env2"))


@pytest.fixture
def repo(tmp_path):
    if shutil.which("git") is None:
        pytest.skip("git is not installed")
    subprocess.run(["git", "init", "-q", str(tmp_path)], check=True, env=GIT_ENV)
    write(tmp_path, FILES)
    for folder, text in IGNORES.items():
        (tmp_path / folder / ".gitignore").write_text(text)
    (tmp_path / ".git" / "info").mkdir(exist_ok=True)
    (tmp_path / ".git" / "info" / "exclude").write_text(INFO_EXCLUDE)
    subprocess.run(["git", "add", *TRACKED], cwd=str(tmp_path), check=True, env=GIT_ENV)
    subprocess.run(["git", "commit", "-qm", "t"], cwd=str(tmp_path), check=True, env=GIT_ENV)
    return tmp_path


@pytest.mark.parametrize("named", [".", "sub", "weird[1]"])
def test_agrees_with_git(repo, named, monkeypatch):
    listed = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z", "*.py"],
                            cwd=str(repo), check=True, env=GIT_ENV, stdout=subprocess.PIPE).stdout
    expected = sorted(n for n in listed.decode().split("\0") if n and not default_excluded(n)
                      and (named == "." or n.startswith(named + "/")))
    if named == ".":  # the cases are there: re-included, and not re-included below an ignored folder
        assert {"logs/keep.py", "a/keep.py", "info_keep.py"} <= set(expected) and "drop/back.py" not in expected
    monkeypatch.chdir(str(repo / "sub"))  # the root is found from the paths, not the current folder
    skipped = {}
    found = discovery.collect([str(repo / named)], on_skip=lambda path, why: skipped.setdefault(
        os.path.relpath(path, str(repo)), why))
    assert relative(found, repo) == expected
    assert found.root == str(repo)
    if named == ".":
        assert {name: skipped[name] for name in ("gen", "anchored.py", "venv", "build")} == {
            "gen": discovery.IGNORED, "anchored.py": discovery.IGNORED, "venv": discovery.DEFAULT,
            "build": discovery.DEFAULT}
        # The files --include does not match are counted once per folder, not named one by one.
        assert "notes.txt" not in skipped and re.fullmatch(r"\d+ files that do not match --include", skipped["."])


NAMED = {"pyproject.toml": "", ".gitignore": "gen/\n*_skip.py\n", "gen/a.py": "", "gen/a_skip.py": "",
         "gen/__pycache__/c.py": "", "build/m.py": "", "src/a.py": "", "src/b.py": "", "notes.txt": "",
         "venv/pyvenv.cfg": "", "venv/lib/m.py": ""}


def compiled(**expressions):
    return discovery.Filters(**{k: re.compile(v) for k, v in expressions.items()})


@pytest.mark.parametrize("paths, filters, processed, reasons", [
    (["gen/a_skip.py"], {}, ["gen/a_skip.py"], {}),  # a named file is processed though ignored
    (["notes.txt"], {}, ["notes.txt"], {}),  # ... and though not matching the include expression
    (["gen"], {}, ["gen/a.py"], {"gen/a_skip.py": discovery.IGNORED, "gen/__pycache__": discovery.DEFAULT}),
    (["venv"], {}, ["venv/lib/m.py"], {}),
    (["."], {"exclude": "/src/"}, ["build/m.py", "venv/lib/m.py"], {"src": discovery.EXCLUDED}),
    (["."], {"extend_exclude": "/b\\.py$"}, ["src/a.py"], {"src/b.py": discovery.EXTENDED}),
    (["src"], {"exclude": "^/src/", "extend_exclude": "/b\\.py$"}, ["src/a.py"], {}),
    (["."], {"include": "\\.txt$"}, ["notes.txt"], {"src": "2 files that do not match --include", "src/a.py": None}),
    (["src"], {"include": "a\\.py$"}, ["src/a.py"], {"src": "1 file that does not match --include"}),
    (["src/a.py", "gen"], {"force_exclude": "^/src/a|^/gen/$"}, [],
     {"src/a.py": discovery.FORCED, "gen": discovery.FORCED}),
    (["src", "src/b.py"], {"force_exclude": "/a\\.py$"}, ["src/b.py"], {"src/a.py": discovery.FORCED}),
])
def test_named_paths(tmp_path, monkeypatch, paths, filters, processed, reasons):
    for name, text in NAMED.items():
        write(tmp_path, [name])
        (tmp_path / name).write_text(text)
    monkeypatch.chdir(str(tmp_path))
    skipped = {}
    found = discovery.collect(paths, compiled(**filters), on_skip=lambda p, why: skipped.setdefault(
        os.path.normpath(p), why))
    assert [os.path.normpath(name) for name, _ in found.jobs] == processed
    assert {k: skipped.get(k) for k in reasons} == reasons


@pytest.mark.parametrize("filename, force, jobs, passthrough", [
    (None, None, [("-", b"x = 1\n")], []),
    ("src/m.py", "/gen/", [("src/m.py", b"x = 1\n")], []),
    ("gen/m.py", "/gen/", [], [("gen/m.py", b"x = 1\n")]),  # an editor gets its buffer back unchanged
])
def test_standard_input(tmp_path, monkeypatch, filename, force, jobs, passthrough):
    (tmp_path / "pyproject.toml").write_text("")
    monkeypatch.chdir(str(tmp_path))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"x = 1\n")))
    found = discovery.collect(["-", "-"], compiled(**{"force_exclude": force} if force else {}),
                              stdin_filename=filename)
    assert (found.jobs, found.passthrough) == (jobs, passthrough)


def test_links_and_special_files(tmp_path):
    root, outside = tmp_path / "root", tmp_path / "outside"
    write(tmp_path, ["root/pyproject.toml", "root/real/a.py", "outside/o.py", "outside/d/p.py"])
    os.symlink(str(outside / "o.py"), str(root / "out.py"))
    os.symlink(str(outside / "d"), str(root / "linked"))
    os.symlink(str(root / "real" / "a.py"), str(root / "same.py"))
    os.symlink(str(root / "missing.py"), str(root / "dangling.py"))
    os.mkfifo(str(root / "pipe.py"))
    dead = subprocess.Popen(["true"])
    dead.wait()
    (root / "real" / (".a.py.orb-postprocess.%d.x1y2.tmp" % dead.pid)).write_text("")
    skipped = {}
    found = discovery.collect([str(root)], on_skip=lambda p, why: skipped.setdefault(os.path.basename(p), why))
    assert relative(found, root) == ["real/a.py"]  # the link to it is the same file
    assert {k: skipped[k] for k in ("out.py", "linked", "dangling.py", "pipe.py")} == {
        "out.py": discovery.OUTSIDE, "linked": discovery.LINKED_FOLDER, "dangling.py": discovery.SPECIAL,
        "pipe.py": discovery.SPECIAL}
    assert [os.path.basename(p) for p in found.stale] == [".a.py.orb-postprocess.%d.x1y2.tmp" % dead.pid]


def test_outside_a_repository(tmp_path, monkeypatch):
    # No .git or pyproject.toml above: the paths' common folder is the root,
    # and a .gitignore there still applies, with git absent from PATH.
    write(tmp_path, ["p/a.py", "p/b.py", "p/q/c.py"])
    (tmp_path / "p" / ".gitignore").write_text("b.py\n")
    monkeypatch.setenv("PATH", "")
    found = discovery.collect([str(tmp_path / "p" / "q"), str(tmp_path / "p" / "a.py"), str(tmp_path / "p")])
    assert relative(found, tmp_path / "p") == ["a.py", "q/c.py"] and found.root == str(tmp_path / "p")


@pytest.mark.parametrize("text, path", [("\\.py$", "/a.py"), ("/(\n  build  # a comment\n | dist\n)/", "/dist/")])
def test_regex(text, path):
    assert config.regex(text).search(path)
    with pytest.raises(ValueError, match="not a valid regular expression"):
        config.regex(text + "(")


def test_read_source(tmp_path):
    status, mem, big, pipe = (str(tmp_path / n) for n in ("status", "mem", "big", "pipe"))
    os.symlink("/proc/self/status", status)  # reports a size of 0
    os.symlink("/proc/self/mem", mem)  # reading it fails
    with open(big, "wb") as f:
        f.write(b"#" * ((1 << 20) + 1))
    os.mkfifo(pipe)
    data, snapshot = read_source(status)
    assert data.startswith(b"Name:") and snapshot.size == 0
    with pytest.raises(OSError) as e:
        read_source(mem)
    assert e.value.errno == errno.EIO
    with pytest.raises(Refused, match="larger than 1 MiB"):
        read_source(big, limit=1 << 20)
    assert len(read_source(big, limit=2 << 20)[0]) == (1 << 20) + 1
    with pytest.raises(Refused, match="not a regular file"):
        read_source(pipe)  # refused at once, not waiting for a writer
