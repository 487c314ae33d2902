"""What a user of code tools expects of the command line: options as typed,
configuration faults on their own, parse errors shown in place, what -v says,
and the compiler's warnings placed in the file."""
import os
import subprocess
import sys

import pytest

from combined_source.utils import cli
from combined_source.utils.cli import files, options, process

TABLE = "[tool.orb-postprocess]\n"


def run_cli(cwd, *args):
    proc = subprocess.run([sys.executable, "-m", "combined_source.utils", *args], cwd=str(cwd),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return proc.returncode, proc.stdout, proc.stderr


def make(folder, files_):
    for name, text in files_.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode())


def refused(capsys, argv):
    with pytest.raises(SystemExit) as e:
        options.build_parser().parse_args(argv)
    assert e.value.code == 2
    return capsys.readouterr().err.splitlines()[-1]


# -- options as typed -----------------------------------------------------------

@pytest.mark.parametrize("argv, message", [
    (["--chek", "a.py"], "unrecognized arguments: --chek (did you mean --check?)"),
    # A prefix is not an option: a script relying on one breaks when an option is added.
    (["--tran", "a.py"], "unrecognized arguments: --tran (did you mean --transpose?)"),
    (["--in-pl", "a.py"], "unrecognized arguments: --in-pl (did you mean --in-place?)"),
    (["--dif=1", "--zzzzzz", "a.py"], "unrecognized arguments: --dif=1 (did you mean --diff?) --zzzzzz"),
    (["--chek"], "unrecognized arguments: --chek (did you mean --check?)"),  # before the missing path
    (["--color=sometimes", "a.py"], "argument --color: invalid choice: 'sometimes'"),
])
def test_a_mistyped_option_is_refused_with_the_nearest_one(capsys, argv, message):
    assert refused(capsys, argv).startswith("orb-postprocess: error: " + message)


@pytest.mark.parametrize("argv, expected", [
    (["-qv", "a.py"], {"quiet": True, "verbose": True}),  # short flags still combine
    (["-ij2", "a.py"], {"in_place": True, "jobs": 2}),
    (["--color", "a.py"], {"color": "always", "paths": ["a.py"]}),  # the path is not its value
    (["a.py", "--color"], {"color": "always"}),
    (["--color", "never", "a.py"], {"color": "never", "paths": ["a.py"]}),
    (["--color=auto", "a.py"], {"color": "auto"}),
    (["--no-color", "a.py"], {"color": "never"}),
    (["--color", "--no-color", "a.py"], {"color": "never"}),
    (["a.py"], {"color": None}),
    (["--", "--chek", "--color"], {"paths": ["--chek", "--color"], "color": None}),
])
def test_options_accepted(argv, expected):
    args = options.build_parser().parse_args(argv)
    assert {k: getattr(args, k) for k in expected} == expected


def test_help_names_the_command_as_it_was_called(tmp_path):
    rc, out, _ = run_cli(tmp_path, "--help")
    assert rc == 0 and out.startswith("usage: %s -m combined_source.utils [-h]" % os.path.basename(sys.executable))
    assert "--color [WHEN]" in out and "--no-color" in out
    rc, _, err = run_cli(tmp_path, "--chek", "a.py")
    assert err.splitlines()[-1] == "%s -m combined_source.utils: error: unrecognized arguments: --chek " \
        "(did you mean --check?)" % os.path.basename(sys.executable)
    script = os.path.join(os.path.dirname(sys.executable), "orb-postprocess")
    if os.path.exists(script):  # the installed entry point
        out = subprocess.run([script, "--help"], cwd=str(tmp_path), capture_output=True, text=True).stdout
        assert out.startswith("usage: orb-postprocess [-h]")
    rc, out, _ = run_cli(tmp_path, "--version")
    assert out.startswith("orb-postprocess ")  # the command's name, however it is called


# -- configuration faults --------------------------------------------------------

@pytest.mark.parametrize("table, argv, message", [
    ('object_name = "a"\nobject-name = "b"\n', [],
     "{conf}: [tool.orb-postprocess]: 'object_name' and 'object-name' are the same option; give it once"),
    ('dtype-map = "maps/none.json"\n', [],
     "{conf}: [tool.orb-postprocess] dtype-map: {root}/maps/none.json: cannot read: No such file or directory"),
    ('dtype_map = "bad.json"\n', [], "{conf}: [tool.orb-postprocess] dtype_map: {root}/bad.json: not valid JSON: "),
    ('new-name = "1x"\n', [], "{conf}: [tool.orb-postprocess] new-name: must be a Python identifier that is not a "
     "keyword, got '1x'"),
    ("jobs = 0\n", [], "{conf}: [tool.orb-postprocess] jobs: expected a whole number of at least 1, got 0"),
    ("", ["--config", "maps"], "maps: cannot read: Is a directory"),
    # Given on the command line, the value is named by its option, with the usage.
    ('dtype-map = "good.json"\n', ["--dtype-map", "none.json"], "usage: --dtype-map none.json: cannot read: "),
    ("", ["--new-name", "1x"], "usage: --new-name must be a Python identifier"),
    # ... and a command line value replaces a bad one of the file.
    ('dtype-map = "maps/none.json"\nnew-name = "1x"\n', ["--dtype-map", "good.json", "--new-name", "z"], None),
])
def test_a_fault_of_the_configuration_names_file_and_key_alone(tmp_path, monkeypatch, capsys, table, argv, message):
    make(tmp_path, {"pyproject.toml": TABLE + table, "bad.json": "{", "good.json": "{}", "maps/x": "",
                    "m.py": "y = 1\n"})
    monkeypatch.chdir(tmp_path)
    try:
        code = cli.main(argv + ["-j", "1", "m.py"])
    except SystemExit as e:
        code = e.code
    err = capsys.readouterr().err
    if message is None:
        assert code == 0 and "error" not in err, err
        return
    assert code == 2
    pieces = message.format(conf=tmp_path / "pyproject.toml", root=tmp_path).split("usage: ")
    if len(pieces) == 1:  # named by the file and key, without the usage
        assert err.startswith("orb-postprocess: error: " + pieces[0]) and "usage:" not in err, err
    else:
        assert err.startswith("usage: ") and "orb-postprocess: error: " + pieces[1] in err, err


def test_config_reads_no_module_of_the_command_line(tmp_path):
    # config is below the command line: compiling an expression key needs nothing of it.
    make(tmp_path, {"pyproject.toml": TABLE + 'include = "a"\nextend-exclude = "b"\n'})
    code = ("import sys\nfrom combined_source.utils import config\n"
            "print(sorted(config.defaults(*config.find(['.']))[0]), "
            "[m for m in sys.modules if m.startswith('combined_source.utils.cli')])")
    proc = subprocess.run([sys.executable, "-c", code], cwd=str(tmp_path), capture_output=True, text=True)
    assert proc.stdout == "['extend_exclude', 'include'] []\n", proc.stderr


# -- a file that does not parse or decode ------------------------------------------

@pytest.mark.parametrize("text, line, column, shown", [
    ("x = 1\ndef f(:\n", 2, 7, ["def f(:", "      ^"]),
    ("a = 1\r\nb = (:\r\n", 2, 6, ["b = (:", "     ^"]),  # CRLF and CR end lines as for Python
    ("a = 1\rb = (:\r", 2, 6, ["b = (:", "     ^"]),
    ("\tif x:\n\t\ty = (1,\t:)\n", 2, 11, ["y = (1,\t:)", "       \t^"]),  # leading blanks left out, tabs kept
    ("s = '漢字' +)\n", 1, 11, ["s = '漢字' +)", " " * 12 + "^"]),  # a wide character takes two columns
    ("e\u0301 = (:\n", 1, 6, ["e\u0301 = (:", "    ^"]),  # a combining mark none
    ("x = '\x1b[2J' +)\n", 1, 13, ["x = '\ufffd[2J' +)", " " * 12 + "^"]),  # nothing acts on the terminal
    ("x = 1\n  y = 2\n", 2, 2, ["y = 2", "^"]),  # the column inside the blanks left out
    ("x = (\n", 1, 7, ["x = (", "     ^"]),  # just past the end of the line
    ("\ufeffdef f(:\n", 1, 7, ["def f(:", "      ^"]),  # a byte-order mark is not a column
    ("x = [" + "1, " * 100 + ":]\n", 1, 306, ["..." + ("1, " * 100 + ":]")[-100:], " " * 101 + "^"]),  # cut
    ("x = [" + "1, " * 100 + ":]\n", 1, 3, [("x = [" + "1, " * 100)[:100] + "...", "  ^"]),
    ("x = 1\n", 3, 1, None),  # beyond the text: nothing to show
    ("x = 1\n", 2, 1, None),
    ("x = 1\n", None, None, None),
])
def test_excerpt_puts_a_caret_under_the_column(text, line, column, shown):
    got = process.excerpt(text, line, column)
    assert got == ("" if shown is None else "\n    %s\n    %s" % tuple(shown))


@pytest.mark.parametrize("data, message", [
    (b"x = '\xff'\n", "m.py:1:6: not UTF-8: invalid start byte"),
    (b"\xef\xbb\xbfx = '\xff'\n", "m.py:1:6: not UTF-8: invalid start byte"),  # the byte-order mark is no column
    (b"a = '\xc3\xa9'\r\nb = 1\rc = '\xc3\xa9\xe9!'\n", "m.py:3:7: not UTF-8: invalid continuation byte"),
    (b"# coding: ascii\n\xc3\xa9 = '\xe9'\n", "m.py:2:1: not ascii: ordinal not in range(128)"),
])
def test_undecodable_bytes_are_placed_by_line_and_column(data, message):
    with pytest.raises(UnicodeDecodeError) as e:
        files.decode(data)
    assert process.failure("m.py", "read", e.value).message == message


def test_a_parse_error_is_shown_in_place(tmp_path):
    make(tmp_path, {"bad.py": "import orb\n\ndef g():\n\treturn f(漢字,, 1)\n"})
    rc, _, err = run_cli(tmp_path, "--check", "bad.py")
    assert rc == 2 and err.startswith("bad.py:4:14: cannot parse: invalid syntax\n"), err
    assert err.splitlines()[1:3] == ["    return f(漢字,, 1)", "    " + " " * 14 + "^"]


# -- what a run says about each file -----------------------------------------------

# The rewritten line is parsed again by the check: its warning is reported once, from the file.
ESCAPES = "import orb, re\nm = re.match('\\s+', s)\nx = torch.Tensor(re.sub('\\s', '', s))\ny = '\\d'\n"


@pytest.mark.parametrize("args", [["-j", "1"], ["-j", "2"], ["-j", "2", "-q"]])
def test_the_compilers_warnings_are_placed_in_the_file(tmp_path, args):
    make(tmp_path, {"a.py": ESCAPES, "b.py": "y = 1\n"})
    rc, _, err = run_cli(tmp_path, "--check", *args, "a.py", "b.py")
    assert rc == 1 and "<unknown>" not in err
    assert all(line.startswith("warning: a.py:") for line in err.splitlines() if "Warning" in line), err
    warned = [line for line in err.splitlines() if line.startswith("warning: ")]
    if "-q" in args:
        assert warned == [] and err == ""
        return
    category = "SyntaxWarning" if sys.version_info >= (3, 12) else "DeprecationWarning"
    assert [w.split(":", 4)[1:4] for w in warned] == [[" a.py", str(line), " " + category] for line in (2, 3, 4)]
    assert all("invalid escape sequence" in w for w in warned), warned
