"""The command line, end to end in subprocesses; write faults in-process."""
import errno
import json
import os
import re
import subprocess
import sys

import pytest

from combined_source.utils import cli, rewrite
from combined_source.utils.cli import options, process, report

SRC = "x = torch.Tensor(a, requires_grad=True)\n"  # something to rewrite
OUT = "x = orb.Array(a)\n"
CLEAN = "y  =  f( 1 )   # nothing to rewrite, unusual layout\n"
DIFF = "--- a.py\n+++ a.py\n@@ -1 +1 @@\n-x = torch.Tensor(a, requires_grad=True)\n+x = orb.Array(a)\n"


def run_cli(cwd, *args, stdin=b"", env=None):
    proc = subprocess.run([sys.executable, "-m", "combined_source.utils", *args], cwd=str(cwd), input=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, **(env or {})))
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def make(tmp_path, files):
    for name, text in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode())


@pytest.mark.parametrize("args, rc, stdout, stderr, after", [
    (["a.py"], 0, OUT, "1 file: 1 changed, 0 unchanged, 0 failed", {}),
    (["b.py"], 0, CLEAN, "0 changed, 1 unchanged", {}),
    (["a.py", "b.py"], 0, "# ==> a.py <==\n" + OUT + "# ==> b.py <==\n" + CLEAN, "2 files: 1 changed", {}),
    (["--diff", "a.py", "b.py"], 0, DIFF, "a.py:1:5: would rewrite (type-name)\n2 files: 1 changed, 1 unchanged", {}),
    (["--check", "a.py", "b.py"], 1, "a.py:1:5: would rewrite (type-name)\n",
     "1 file would be rewritten, 1 left unchanged\n", {}),
    (["--check", "b.py"], 0, "", "0 files would be rewritten, 1 left unchanged", {}),
    (["--check", "--diff", "a.py"], 1, DIFF, "a.py:1:5: would rewrite (type-name)\n1 file would be rewritten", {}),
    (["--in-place", "a.py", "b.py"], 0, "", "rewrote a.py", {"a.py": OUT}),
    (["-q", "--in-place", "a.py"], 0, "", "", {"a.py": OUT}),
    (["--in-place", "--check", "a.py"], 2, "", "cannot be combined", {}),
    (["-j", "0", "a.py"], 2, "", "at least 1", {}),
    (["--in-place", "-"], 0, OUT, "1 changed", {}),  # standard input goes to stdout
])
def test_modes(tmp_path, args, rc, stdout, stderr, after):
    make(tmp_path, {"a.py": SRC, "b.py": CLEAN})
    got = run_cli(tmp_path, *args, stdin=SRC.encode())
    assert got[:2] == (rc, stdout) and stderr in got[2]
    expected = {"a.py": SRC, "b.py": CLEAN, **after}
    assert {p.name: p.read_text() for p in tmp_path.iterdir()} == expected


@pytest.mark.parametrize("args, env, source, output", [
    (["--orb-api"], {}, "def f(self):\n    return self.orb_array\n", "def f(arr):\n    return arr\n"),
    (["--orb-api", "--new-name", "me"], {}, "def f(self):\n    return self.w\n", "def f(me):\n    return me.w\n"),
    ([], {}, "def f(self):\n    return self.orb_array\n", None),
    (["--transpose"], {}, "g(x, data_format='NCHW')\n", "g(x, data_format='NHWC')\n"),
    ([], {rewrite.TRANSPOSE_ENV: "true"}, "g(x, data_format='NCHW')\n", "g(x, data_format='NHWC')\n"),
    ([], {}, "g(x, data_format='NCHW')\n", None),
    (["--transpose", "--object-name", "torch.nn.modules.conv._ConvNd"], {},
     "w = orb_empty((in_channels, c, k))\n", "w = orb_empty((k, c, in_channels))\n"),
    (["--transpose", "--object-name", "torch.nn.Linear"], {}, "w = orb_empty((in_channels, c, k))\n", None),
    (["--dtype-map", "map.json"], {}, "x.astype(torch.float32)\n", "x.astype(orb.float32)\n"),
])
def test_rewrite_options(tmp_path, args, env, source, output):
    make(tmp_path, {"m.py": source, "map.json": json.dumps({"torch.float32": "orb.float32"})})
    rc, out, _ = run_cli(tmp_path, "--check", "--diff", *args, "m.py", env=env)
    assert rc == (0 if output is None else 1)
    if output is not None:
        assert "\n+" + output.replace("\n", "\n+").rstrip("+") in out


@pytest.mark.parametrize("data, message", [
    (b"def f(:\n    pass\n", "bad.py:1:7: cannot parse: invalid syntax\n    def f(:\n          ^\n"),
    (b"y = 2\nif x\n    pass\n", "bad.py:2:5: cannot parse: "),
    (b"x = '\xff'\n", "bad.py:1:6: not UTF-8: invalid start byte"),
    # 3.14's own encoding detection refuses null bytes before the parser sees them.
    (b"x = 1\0\n", "bad.py: cannot parse: source code string cannot contain null bytes"
     if sys.version_info < (3, 14) else "bad.py: cannot decode: source code cannot contain null bytes"),
    (None, "bad.py: cannot read: No such file or directory"),
])
def test_bad_input_is_reported_and_the_rest_processed(tmp_path, data, message):
    make(tmp_path, {"a.py": SRC, "z.py": SRC, **({} if data is None else {"bad.py": data})})
    rc, out, err = run_cli(tmp_path, "--in-place", "a.py", "bad.py", "z.py")
    assert (rc, out) == (2, "") and message in err and "3 files: 2 changed, 0 unchanged, 1 failed" in err
    assert (tmp_path / "a.py").read_text() == (tmp_path / "z.py").read_text() == OUT
    assert data is None or (tmp_path / "bad.py").read_bytes() == data


@pytest.mark.parametrize("content, message", [
    (None, "cannot read: No such file"),
    ("{", "not valid JSON"),
    ("[1, 2]", "must be a JSON object whose values are strings"),
    ('{"torch.float32": 32}', "must be a JSON object whose values are strings"),
    ('{"torch.float32": "orb."}', "replacement of 'torch.float32' is not a Python expression"),
])
def test_bad_dtype_map_refused_before_any_file(tmp_path, content, message):
    make(tmp_path, {"a.py": SRC, **({} if content is None else {"map.json": content})})
    rc, out, err = run_cli(tmp_path, "--in-place", "--dtype-map", "map.json", "a.py")
    assert (rc, out) == (2, "") and "--dtype-map map.json: " + message in err
    assert (tmp_path / "a.py").read_text() == SRC


@pytest.mark.parametrize("data, expected", [
    (b"\xef\xbb\xbfx = torch.Tensor(a)\r\ny  = 1\r\n", b"\xef\xbb\xbfx = orb.Array(a)\r\ny  = 1\r\n"),
    (b"x = torch.Tensor(a)", b"x = orb.Array(a)"),
    (CLEAN.encode(), None),  # not rewritten although rendering would change its layout
    (b"", None),
])
def test_in_place_keeps_mode_endings_and_leaves_unchanged_files_alone(tmp_path, data, expected):
    path = tmp_path / "a.py"
    path.write_bytes(data)
    path.chmod(0o640)
    os.utime(str(path), ns=(10 ** 18, 10 ** 18))
    before = os.stat(str(path))
    assert run_cli(tmp_path, "--in-place", "a.py")[0] == 0
    after = os.stat(str(path))
    assert path.read_bytes() == (expected or data) and after.st_mode == before.st_mode
    assert ((after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)) == (expected is None)
    assert os.listdir(str(tmp_path)) == ["a.py"]


@pytest.mark.parametrize("target", ["replace", "fsync", "chmod"])
def test_failed_write_leaves_original_intact(tmp_path, monkeypatch, capsys, target):
    path = tmp_path / "a.py"
    path.write_bytes(SRC.encode())

    def fail(*args):
        raise OSError(errno.EIO, os.strerror(errno.EIO))

    monkeypatch.setattr(os, target, fail)
    assert cli.main(["--in-place", "-j", "1", str(path)]) == report.EXIT_INPUT
    assert "a.py: cannot write: " + os.strerror(errno.EIO) in capsys.readouterr().err
    assert path.read_bytes() == SRC.encode() and os.listdir(str(tmp_path)) == ["a.py"]


def test_post_processor_fault_is_an_internal_error(tmp_path, monkeypatch, capsys):
    make(tmp_path, {"a.py": SRC})

    class Broken:
        def __init__(self, *args):
            pass

        def transform(self):
            raise RuntimeError("boom")

    monkeypatch.setattr(process, "FrontendTorchCodePostProcessor", Broken)
    assert cli.main(["--in-place", "-j", "1", str(tmp_path / "a.py")]) == report.EXIT_INTERNAL
    assert "a.py: internal error: RuntimeError: boom" in capsys.readouterr().err
    assert (tmp_path / "a.py").read_text() == SRC


def test_parallel_run_equals_serial_run(tmp_path):
    sources = [SRC, CLEAN, "def f(:\n", "g(data_format='NCHW')\n"]
    files = {"pkg/sub%d/m%02d.py" % (i % 3, i): sources[i % 4] for i in range(20)}
    make(tmp_path, {**files, "pkg/build/h.py": SRC, "pkg/notes.txt": SRC})
    serial = run_cli(tmp_path, "--diff", "--transpose", "-j", "1", "pkg")
    assert serial == run_cli(tmp_path, "--diff", "--transpose", "-j", "4", "pkg")
    rc, out, err = serial
    assert rc == 2 and "20 files: 10 changed, 5 unchanged, 5 failed" in err and "\r" not in err
    changed = [line[4:] for line in out.splitlines() if line.startswith("--- ")]
    assert changed == sorted(os.path.join("pkg", n[4:]) for n, s in files.items() if s in (SRC, sources[3]))


def test_closed_output_pipe_ends_quietly(tmp_path):
    make(tmp_path, {"m%02d.py" % i: SRC * 200 for i in range(30)})
    proc = subprocess.Popen([sys.executable, "-m", "combined_source.utils", "-j", "1", "."], cwd=str(tmp_path),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()  # like `| head -1`
    assert proc.wait() == 141
    with proc.stderr:
        assert b"error" not in proc.stderr.read()


KEEPS = ("import orb  # header\n\n\n"
         "w = orb_empty((in_channels,  # in\n               c, k))\n"
         "b = orb.Array(\n    x,  # first\n    requires_grad=True,\n)\n"
         "orb.inplace_update(b, 1)  # update\n"
         "s = np.log2(8)\n"
         "y = g(x, data_format='NCHW')\n")
KEPT = ("import orb  # header\n\n\n"
        "w = orb_empty((k,  # in\n               c, in_channels))\n"
        "b = orb.Array(\n    x,  # first\n)\n"
        "orb.inplace_update(b, 1).data  # update\n"
        "s = np.log2(8).astype('float32')\n"
        "y = g(x, data_format='NHWC')\n")
CONV_ARGS = ["--transpose", "--object-name", "torch.nn.modules.conv._ConvNd"]


@pytest.mark.parametrize("mode", [[], ["--diff"], ["--check"], ["--in-place"]])
def test_second_run_changes_nothing(tmp_path, mode):
    make(tmp_path, {"a.py": KEEPS, "b.py": KEEPS.replace("\n", "\r\n")})
    assert run_cli(tmp_path, "--in-place", *CONV_ARGS, "a.py", "b.py")[0] == 0
    assert (tmp_path / "a.py").read_bytes() == KEPT.encode()
    assert (tmp_path / "b.py").read_bytes() == KEPT.replace("\n", "\r\n").encode()
    rc, out, err = run_cli(tmp_path, *mode, *CONV_ARGS, "a.py", "b.py")
    assert rc == 0 and ("0 files would be rewritten, 2 left unchanged" if mode == ["--check"]
                        else "2 files: 0 changed, 2 unchanged, 0 failed") in err
    assert out == ("" if mode else "# ==> a.py <==\n" + KEPT + "# ==> b.py <==\n" + KEPT.replace("\n", "\r\n"))
    assert (tmp_path / "a.py").read_bytes() == KEPT.encode()


def test_diff_removes_only_lines_with_rewritten_nodes(tmp_path):
    make(tmp_path, {"a.py": KEEPS})
    rc, out, _ = run_cli(tmp_path, "--diff", *CONV_ARGS, "a.py")
    removed = [line[1:] for line in out.splitlines() if line.startswith("-") and not line.startswith("---")]
    assert removed == ["w = orb_empty((in_channels,  # in", "               c, k))", "    requires_grad=True,",
                       "orb.inplace_update(b, 1)  # update", "s = np.log2(8)", "y = g(x, data_format='NCHW')"]


def test_ambiguous_shape_is_reported(tmp_path):
    make(tmp_path, {"s.py": "x = 1\nw = orb_empty((in_channels, c, out_channels))  # c\n"})
    rc, out, err = run_cli(tmp_path, "--check", *CONV_ARGS, "s.py")
    assert rc == 1
    assert "warning: s.py:2: ambiguous shape (in_channels, ..., out_channels)" in err
    rc, out, err = run_cli(tmp_path, "--in-place", *CONV_ARGS, "s.py")
    assert (tmp_path / "s.py").read_text() == "x = 1\nw = orb_empty((out_channels, c, in_channels))  # c\n"


# An annotated name target cannot become orb.Array in place (a simple target
# becomes an attribute): the splice is rejected by design.
REJECTED = "import torch\nTensor: int = 1  # kept\nz = torch.Tensor\n"
REJECTED_WHOLE = "import torch\norb.Array: int = 1\nz = orb.Array\n"
NOT_REWRITTEN = re.compile(r"^t\.py:2:1: not rewritten: its layout cannot be kept: AnnAssign.simple differs "
                           r"\(--allow-reformat renders the file whole, losing its comments\)$", re.M)
FELL_BACK = re.compile(r"^warning: t\.py:2:1: fell back to whole rendering \(comments and layout of this file "
                       r"are not kept\): AnnAssign.simple differs$", re.M)


@pytest.mark.parametrize("args, config, rc, stdout, t_py", [
    ([], "", 2, "# ==> s.py <==\nx = orb.Array  # c\n# ==> t.py <==\n" + REJECTED, REJECTED),
    (["--diff"], "", 2, "--- s.py\n+++ s.py\n@@ -1 +1 @@\n-x = torch.Tensor  # c\n+x = orb.Array  # c\n", REJECTED),
    (["--check"], "", 2, "s.py:1:5: would rewrite (type-name)\n", REJECTED),
    (["-i"], "", 2, "", REJECTED),
    (["-i", "--allow-reformat"], "", 0, "", REJECTED_WHOLE),
    (["--check"], "allow-reformat = true", 1,
     "s.py:1:5: would rewrite (type-name)\nt.py:2:1: would rewrite (type-name)\n", REJECTED),
    (["--check", "--no-allow-reformat"], "allow-reformat = true", 2, "s.py:1:5: would rewrite (type-name)\n",
     REJECTED),
])
def test_a_rejected_splice_leaves_the_file_alone_unless_asked(tmp_path, args, config, rc, stdout, t_py):
    make(tmp_path, {"s.py": "x = torch.Tensor  # c\n", "t.py": REJECTED,
                    "pyproject.toml": "[tool.orb-postprocess]\n" + config})
    got = run_cli(tmp_path, *args, "s.py", "t.py")
    assert got[:2] == (rc, stdout)
    assert (tmp_path / "t.py").read_text() == t_py
    err = got[2]
    check = "--check" in args
    if rc == 2:
        assert NOT_REWRITTEN.search(err) and not FELL_BACK.search(err)
        assert ("1 file would be rewritten, 0 left unchanged, 1 not rewritten\n" if check
                else "2 files: 1 changed, 0 unchanged, 0 failed, 1 not rewritten\n") in err
    else:
        assert FELL_BACK.search(err) and not NOT_REWRITTEN.search(err)
        assert ("2 files would be rewritten, 0 left unchanged, 1 rendered whole, 1 assignment target rewritten\n"
                if check else
                "2 files: 2 changed, 0 unchanged, 0 failed, 1 rendered whole, 1 assignment target rewritten\n") in err


def test_a_rejected_splice_on_stdin_is_printed_back(tmp_path):
    rc, out, err = run_cli(tmp_path, "-i", "--stdin-filename", "t.py", "-", stdin=REJECTED.encode())
    assert (rc, out) == (2, REJECTED) and NOT_REWRITTEN.search(err)


@pytest.mark.parametrize("args, env, coloured", [
    ([], {}, False),  # not a terminal
    ([], {"FORCE_COLOR": "1"}, True),
    ([], {"FORCE_COLOR": "1", "NO_COLOR": "1"}, False),
    (["--color"], {"NO_COLOR": "1"}, True),
    (["--no-color"], {"FORCE_COLOR": "1"}, False),
    (["--color", "never"], {"FORCE_COLOR": "1"}, False),
    (["--color=auto"], {"FORCE_COLOR": "1"}, True),
])
def test_diff_colour(tmp_path, args, env, coloured):
    make(tmp_path, {"a.py": SRC})
    rc, out, _ = run_cli(tmp_path, "--diff", *args, "a.py", env=dict({"NO_COLOR": "", "FORCE_COLOR": ""}, **env))
    plain = DIFF.splitlines()
    painted = ["\x1b[1m" + plain[0], "\x1b[1m" + plain[1], "\x1b[36m" + plain[2], "\x1b[31m" + plain[3],
               "\x1b[32m" + plain[4]]
    assert out == ("".join(line + "\x1b[0m\n" for line in painted) if coloured else DIFF)


def test_default_colour_is_a_terminal_s(monkeypatch):
    class Stream:
        def __init__(self, tty):
            self.isatty = lambda: tty

    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.delenv("FORCE_COLOR", raising=False)
    monkeypatch.setenv("TERM", "xterm")
    assert (options.wants_colour(None, Stream(True)), options.wants_colour(None, Stream(False))) == (True, False)
    monkeypatch.setenv("TERM", "dumb")
    assert not options.wants_colour(None, Stream(True))


@pytest.mark.parametrize("filename, args, stdout, stderr", [
    ("src/m.py", ["--diff"], DIFF.replace("a.py", "src/m.py"), "src/m.py:1:5: would rewrite (type-name)"),
    # force-excluded: the buffer comes back unchanged where a rewrite would be printed
    ("gen/m.py", ["-i", "a.py"], "# ==> gen/m.py <==\n" + SRC, "rewrote a.py"),
    ("gen/m.py", [], SRC, ""),
    ("gen/m.py", ["--diff"], "", ""),
])
def test_stdin_filename(tmp_path, filename, args, stdout, stderr):
    make(tmp_path, {"a.py": SRC, "pyproject.toml": "[tool.orb-postprocess]\nforce-exclude = '^/gen/'\n"})
    rc, out, err = run_cli(tmp_path, "--stdin-filename", filename, *args, "-", stdin=SRC.encode())
    assert (rc, out) == (0, stdout) and stderr in err and "no Python files" not in err


def test_verbose_names_configuration_and_skipped_paths(tmp_path):
    make(tmp_path, {"pyproject.toml": "[tool.orb-postprocess]\nextend-exclude = '_gen\\.py$'\n",
                    ".gitignore": "out/\n", "out/a.py": SRC, "venv/pyvenv.cfg": "", "venv/b.py": SRC,
                    "c_gen.py": SRC, "d.txt": "", ".hidden/e.py": CLEAN, "f.py": SRC})
    os.symlink(str(tmp_path / "out"), str(tmp_path / "link"))
    rc, out, err = run_cli(tmp_path, "--check", "-v", ".")
    assert rc == 1 and err.splitlines() == [
        "project root: %s (pyproject.toml found in it)" % tmp_path,
        "configuration: %s" % (tmp_path / "pyproject.toml"),
        "./c_gen.py: skipped: matches --extend-exclude", "./link: skipped: symbolic link to a folder; not followed",
        "./out: skipped: ignored by git", "./venv: skipped: default exclude",
        ".: skipped: 3 files that do not match --include",  # .gitignore, d.txt, pyproject.toml
        "./.hidden/e.py: unchanged", "warning: ./f.py:1:5: orb is used but not imported",
        "./f.py: changed", "1 file would be rewritten, 1 left unchanged"]


@pytest.mark.parametrize("files, paths, root, why", [
    ({".git/HEAD": "", "pyproject.toml": "", "src/m.py": CLEAN}, ["src/m.py"], ".", ".git found in it"),
    ({".git": "gitdir: elsewhere\n", "src/pyproject.toml": "", "src/m.py": CLEAN}, ["src/m.py"], "src",
     "pyproject.toml found in it"),
    ({"src/m.py": CLEAN, "src/sub/n.py": CLEAN}, ["src/m.py", "src/sub"], "src",
     "no .git or pyproject.toml found at or above it"),
])
def test_verbose_names_the_project_root_and_why(tmp_path, files, paths, root, why):
    top = tmp_path / "top"  # no .git or pyproject.toml above it in the temporary folder
    make(top, files)
    rc, out, err = run_cli(top, "--check", "-v", *paths)
    assert rc == 0 and err.splitlines()[0] == "project root: %s (%s)" % (os.path.normpath(str(top / root)), why)


# The walrus target cannot be orb.Array in any text: not even the whole rendering is written.
NO_SOURCE = "import torch\n(Tensor := x)\ny: torch.Tensor = 1  # c\n"
NO_SOURCE_MESSAGE = re.compile(r"^w\.py:2:2: not rewritten: the rewritten tree has no valid source: "
                               r"cannot use (assignment|named) expressions? with attribute$", re.M | re.I)


@pytest.mark.parametrize("args", [["-i", "--allow-reformat"], ["--allow-reformat"], ["--diff", "--allow-reformat"],
                                  ["--check", "--allow-reformat"], ["-i"], ["--check"]])
def test_a_tree_with_no_valid_source_is_never_written(tmp_path, args):
    make(tmp_path, {"w.py": NO_SOURCE, "s.py": "x = torch.Tensor  # c\n"})
    rc, out, err = run_cli(tmp_path, *args, "s.py", "w.py")
    assert rc == 2 and NO_SOURCE_MESSAGE.search(err), err
    assert "--allow-reformat renders" not in err and "fell back" not in err
    assert ("1 file would be rewritten, 0 left unchanged, 1 not rewritten\n" if "--check" in args
            else "2 files: 1 changed, 0 unchanged, 0 failed, 1 not rewritten\n") in err
    assert (tmp_path / "w.py").read_text() == NO_SOURCE
    assert NO_SOURCE not in out or out.endswith("# ==> w.py <==\n" + NO_SOURCE)  # printed as it is, if at all


TARGETS = "for Tensor in xs:\n    pass\nwith é as torch.Tensor:  # c\n    del nn.Parameter\n"
TARGETS_OUT = "for orb.Array in xs:\n    pass\nwith é as orb.Array:  # c\n    del orb.Array\n"


@pytest.mark.parametrize("args", [[], ["--diff"], ["--check"], ["-i"], ["-i", "--allow-reformat"], ["-q", "-i"]])
def test_rewritten_assignment_targets_are_reported_in_every_mode(tmp_path, args):
    make(tmp_path, {"t.py": TARGETS, "u.py": "for Tensor in xs: pass\n",
                    "v.py": NO_SOURCE.replace("(Tensor", "(nn.Parameter")})
    rc, out, err = run_cli(tmp_path, *args, "t.py", "u.py")
    warned = [line for line in err.splitlines() if line.startswith("warning: ") and "assignment target" in line]
    if "-q" in args:  # -q leaves only errors
        assert err == "" and rc == 0
        return
    assert warned == ["warning: t.py:1:5: rewrote an assignment target: Tensor -> orb.Array",
                      "warning: t.py:3:11: rewrote an assignment target: torch.Tensor -> orb.Array",
                      "warning: t.py:4:9: rewrote an assignment target: nn.Parameter -> orb.Array",
                      "warning: u.py:1:5: rewrote an assignment target: Tensor -> orb.Array"]
    assert err.endswith("2 files would be rewritten, 0 left unchanged, 4 assignment targets rewritten\n"
                        if "--check" in args else
                        "2 files: 2 changed, 0 unchanged, 0 failed, 4 assignment targets rewritten\n")
    assert rc == (1 if "--check" in args else 0)
    assert (tmp_path / "t.py").read_text() == (TARGETS_OUT if "-i" in args else TARGETS)
    # a file not rewritten tells no target of it
    rc, out, err = run_cli(tmp_path, "--check", "v.py")
    assert rc == 2 and "warning" not in err and "assignment target" not in err
