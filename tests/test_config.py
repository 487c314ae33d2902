"""Command-line defaults from the nearest pyproject.toml, and --version."""
import os
import subprocess
import sys
import textwrap

import pytest

import combined_source.utils
from combined_source.utils import config
from combined_source.utils.cli import options

TABLE = "[tool.orb-postprocess]\n"


def layout(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))


def parse(argv):
    return config.parse_args(options.build_parser(), argv)


@pytest.mark.parametrize("files, paths, used", [
    # The nearest file with the table wins over one further up.
    ({"pyproject.toml": TABLE + 'new-name = "top"', "p/pyproject.toml": TABLE + 'new-name = "near"'},
     ["p/a.py"], "near"),
    # A nearer file without the table is passed over.
    ({"pyproject.toml": TABLE + 'new-name = "top"', "p/pyproject.toml": "[tool.other]\nx = 1\n"},
     ["p/q/a.py"], "top"),
    # A folder is searched from itself; several paths from the folder holding them all.
    ({"pyproject.toml": TABLE + 'new-name = "top"', "p/pyproject.toml": TABLE + 'new-name = "near"'},
     ["p"], "near"),
    ({"pyproject.toml": TABLE + 'new-name = "top"', "p/pyproject.toml": TABLE + 'new-name = "near"'},
     ["p/a.py", "b.py"], "top"),
    # Standard input: from the current folder.
    ({"pyproject.toml": TABLE + 'new-name = "top"', "p/pyproject.toml": TABLE + 'new-name = "near"'},
     ["-"], "near"),
    # No file with the table at all: the built-in default.
    ({"p/pyproject.toml": "[project]\nname = 'x'\n"}, ["p/a.py"], "arr"),
])
def test_nearest_table_wins(tmp_path, monkeypatch, files, paths, used):
    layout(tmp_path, files)
    (tmp_path / "p").mkdir(exist_ok=True)
    monkeypatch.chdir(tmp_path / "p")
    args = parse([os.path.relpath(str(tmp_path / p), str(tmp_path / "p")) if p != "-" else p for p in paths])
    assert args.new_name == used


def test_every_option_and_flags_win(tmp_path, monkeypatch):
    layout(tmp_path, {"pyproject.toml": TABLE + """
        object-name = "torch.nn.modules.conv._ConvNd"
        orb_api = true
        new-name = "z"
        transpose = true
        dtype-map = "maps/d.json"
        jobs = 3
        quiet = true
    """})
    monkeypatch.chdir(tmp_path)
    args = parse(["a.py"])
    assert (args.object_name, args.orb_api, args.new_name, args.transpose, args.dtype_map, args.jobs, args.quiet) == (
        "torch.nn.modules.conv._ConvNd", True, "z", True, str(tmp_path / "maps" / "d.json"), 3, True)
    args = parse(["--object-name", "o", "--new-name", "q", "--dtype-map", "e.json", "-j", "1", "a.py"])
    assert (args.object_name, args.new_name, args.dtype_map, args.jobs) == ("o", "q", "e.json", 1)


@pytest.mark.parametrize("text, message", [
    (TABLE + "jobs = 0", "[tool.orb-postprocess] jobs: expected a whole number of at least 1, got 0"),
    (TABLE + 'jobs = "2"', "[tool.orb-postprocess] jobs: expected a whole number of at least 1, got '2'"),
    (TABLE + "jobs = true", "jobs: expected a whole number of at least 1, got True"),
    (TABLE + 'orb-api = "yes"', "[tool.orb-postprocess] orb-api: expected true or false, got 'yes'"),
    (TABLE + "new-name = 1", "new-name: expected a string, got 1"),
    (TABLE + 'dtype-map = ""', "dtype-map: expected the path of a JSON file"),
    (TABLE + "in-place = true", "[tool.orb-postprocess]: unknown option 'in-place'"),
    ("[tool]\norb-postprocess = 3\n", "[tool.orb-postprocess] must be a table"),
    ("[tool.orb-postprocess\n", "not valid TOML"),
    (b"\xff\xfe", "not valid TOML"),
])
def test_bad_file_is_a_usage_error_naming_file_and_key(tmp_path, monkeypatch, capsys, text, message):
    path = tmp_path / "pyproject.toml"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as e:
        parse(["a.py"])
    assert e.value.code == 2
    err = capsys.readouterr().err
    # On its own: the command line's usage has nothing to do with it.
    assert err.startswith("orb-postprocess: error: %s: " % path) and message in err and "usage:" not in err, err


def test_table_changes_what_the_command_line_does(tmp_path):
    # End to end: the rule that needs both the transpose setting and the
    # object name applies with both taken from the file.
    layout(tmp_path, {
        "pyproject.toml": TABLE + 'object-name = "torch.nn.modules.conv._ConvNd"\ntranspose = true\n',
        "src/m.py": "w = orb_empty((in_channels, c, k))\nf(data_format='NCHW')\n",
    })
    proc = subprocess.run([sys.executable, "-m", "combined_source.utils", "src/m.py"], cwd=str(tmp_path),
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "w = orb_empty((k, c, in_channels))\nf(data_format='NHWC')\n", proc.stdout
    bad = tmp_path / "src" / "pyproject.toml"
    bad.write_text(TABLE + "quiet = 1\n")
    proc = subprocess.run([sys.executable, "-m", "combined_source.utils", "src/m.py"], cwd=str(tmp_path),
                          capture_output=True, text=True)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert "%s: [tool.orb-postprocess] quiet: expected true or false, got 1" % bad in proc.stderr


def test_version(tmp_path):
    from importlib.metadata import version

    installed = version("combined-source-utils")
    assert combined_source.utils.__version__ == installed
    proc = subprocess.run([sys.executable, "-m", "combined_source.utils", "--version"], cwd=str(tmp_path),
                          capture_output=True, text=True)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "orb-postprocess %s\n" % installed, "")
    # Importing the package reads no metadata and loads no extension.
    proc = subprocess.run([sys.executable, "-c", "import sys, combined_source.utils; print(sorted(m for m in sys.modules"
                           " if m.startswith('importlib.metadata') or m.endswith('ZOK')))"],
                          cwd=str(tmp_path), capture_output=True, text=True)
    assert proc.stdout == "[]\n", proc.stderr


@pytest.mark.parametrize("table, argv, expected", [
    # A flag the file sets is turned off by --no-FLAG, and every flag key has one.
    ("orb-api = true\ntranspose = true\nquiet = true", ["--no-orb-api", "--no-transpose", "--no-quiet"],
     {"orb_api": False, "transpose": False, "quiet": False}),
    ("", ["--orb-api", "--no-orb-api", "--quiet"], {"orb_api": False, "quiet": True}),  # the last one wins
    # Expression keys are compiled; a multi-line value in verbose mode; options win.
    ('exclude = "/gen/"\nextend-exclude = """\n/(a  # comment\n|b)/"""\nforce-exclude = "x"\ninclude = "y"',
     [], {"exclude": "/gen/", "extend_exclude": "/b/", "force_exclude": "x", "include": "y"}),
    ('exclude = "/gen/"', ["--exclude", "/other/"], {"exclude": "/other/"}),
])
def test_options_and_keys(tmp_path, monkeypatch, table, argv, expected):
    layout(tmp_path, {"pyproject.toml": TABLE + table})
    monkeypatch.chdir(tmp_path)
    args = parse(argv + ["a.py"])
    for dest, value in expected.items():
        got = getattr(args, dest)
        assert got == value or got.search(value), (dest, got)
    flags = {key for key, (_, read, _) in config.OPTIONS.items() if read is config._flag}
    assert all("--no-" + key in options.build_parser().format_help() for key in flags)


@pytest.mark.parametrize("text, argv, message", [
    ("", ["--include", "*.py"], "argument --include: not a valid regular expression: nothing to repeat"),
    ("", ["--force-exclude", "("], "argument --force-exclude: not a valid regular expression"),
    ('extend-exclude = "["', [], "] extend-exclude: not a valid regular expression: unterminated character set"),
    ("include = 1", [], "] include: expected a regular expression, got 1"),
    ('jobs = 1', ["--config", "missing.toml"], "missing.toml: cannot read: No such file or directory"),
])
def test_bad_expression_or_config_is_a_usage_error(tmp_path, monkeypatch, capsys, text, argv, message):
    layout(tmp_path, {"pyproject.toml": TABLE + text})
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as e:
        parse(argv + ["a.py"])
    assert e.value.code == 2 and message in capsys.readouterr().err


def test_config_file_named_and_stdin_filename(tmp_path, monkeypatch):
    layout(tmp_path, {"pyproject.toml": TABLE + 'new-name = "top"', "p/pyproject.toml": TABLE + 'new-name = "near"',
                      "conf/other.toml": TABLE + 'new-name = "named"\ndtype-map = "d.json"'})
    monkeypatch.chdir(tmp_path)
    assert (parse(["-"]).new_name, parse(["--stdin-filename", "p/m.py", "-"]).new_name) == ("top", "near")
    args = parse(["--config", "conf/other.toml", "p/m.py"])  # wins over the nearest file
    assert (args.new_name, args.dtype_map, args.config) == ("named", os.path.join("conf", "d.json"), "conf/other.toml")
    assert parse(["p"]).config == str(tmp_path / "p" / "pyproject.toml")
