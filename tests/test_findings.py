"""Findings: each change placed and named after its rule, and the formats
the command line writes them in."""
import json
import os
import re
import subprocess
import sys

import pytest

from combined_source.utils import findings as table
from combined_source.utils.cli import formats
from combined_source.utils.findings import Finding
from combined_source.utils.rewrite import Options, findings, positions, rewrite, transpose_variable
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor

CONV = "torch.nn.modules.conv._ConvNd"
LINE_END = re.compile(r"\r\n|\r|\n")


def found(source, options=Options(), transpose=False, reformat=True):
    with transpose_variable(transpose, clear_when_off=True):
        result = rewrite(source, options, FrontendTorchCodePostProcessor, reformat=reformat)
    # The inputs are fragments that use orb without importing it: the import's
    # own finding is tested with the import.
    return tuple(f for f in result.findings if f.rule != "missing-import")


def span_text(source, f):
    """The text of the source between a finding's start and end, counted in
    characters on lines ended as the parser ends them."""
    source = source[1:] if source.startswith("\ufeff") else source
    starts = [0] + [m.end() for m in LINE_END.finditer(source)]
    return source[starts[f.line - 1] + f.column - 1:starts[f.end_line - 1] + f.end_column - 1]


# One input per rule: the source, the options, whether to transpose, and the
# findings expected as (rule, old, new).
RULE_CASES = [
    ("x = torch.Tensor(a)\n", Options(), False, [("type-name", "torch.Tensor", "orb.Array")]),
    ("def f(p: Parameter): pass\n", Options(), False, [("type-name", "Parameter", "orb.Array")]),
    ("class M(torch.nn.Module): pass\n", Options(), False, [("type-name", "torch.nn.Module", "orb.Module")]),
    ("t = (torch.Tensor, nn.Module)\n", Options(), False,  # replaced in a tuple, not moved
     [("type-name", "torch.Tensor", "orb.Array"), ("type-name", "nn.Module", "orb.Module")]),
    ("y = x.astype(torch.float32)\n", Options(dtype_map={"torch.float32": "orb.float32"}), False,
     [("dtype-map", "torch.float32", "orb.float32")]),
    # a map that names an orb type is still the map's doing
    ("y = my.Tensor\n", Options(dtype_map={"my.Tensor": "orb.Array"}), False, [("dtype-map", "my.Tensor", "orb.Array")]),
    ("def f(self): pass\n", Options(orb_api=True), False, [("self-rename", "self", "arr")]),
    ("y = self.w\n", Options(orb_api=True, new_name="me"), False, [("self-rename", "self", "me")]),
    ("y = x.orb_array\n", Options(orb_api=True), False, [("orb-array-access", "x.orb_array", "x")]),
    ("y = orb.inplace_update(a, b)\n", Options(), False,
     [("inplace-update-data", "orb.inplace_update(a, b)", "orb.inplace_update(a, b).data")]),
    ("y = orb.Array(a, requires_grad=True)\n", Options(), False, [("requires-grad", ", requires_grad=True", "")]),
    ("y = np.log2(8)\n", Options(), False, [("float32-cast", "np.log2(8)", "np.log2(8).astype('float32')")]),
    ("y = np.zeros((channels, channels))\n", Options(), False,
     [("float32-cast", "np.zeros((channels, channels))", "np.zeros((channels, channels), dtype='float32')")]),
    ("g(x, data_format='NCHW')\n", Options(), True, [("channel-last-layout", "'NCHW'", "'NHWC'")]),
    ('g(x, filter_format="channel_first")\n', Options(), True,
     [("channel-last-layout", '"channel_first"', '"channel_last"')]),
    ("w = orb_empty((out_channels, c, k1, k2))\n", Options(object_name=CONV), True,
     [("weight-shape", "out_channels, c, k1, k2", "k2, k1, c, out_channels")]),
    # several rules in one expression, one finding each
    ("y = torch.Tensor(a, requires_grad=True)\n", Options(), False,
     [("type-name", "torch.Tensor", "orb.Array"), ("requires-grad", ", requires_grad=True", "")]),
    ("y = self.orb_array\n", Options(orb_api=True), False,
     [("self-rename", "self", "arr"), ("orb-array-access", "self.orb_array", "arr")]),
    # a change inside a node another rule wraps keeps its own finding
    ("y = orb.inplace_update(self.v, 1)\n", Options(orb_api=True), False,
     [("inplace-update-data", "orb.inplace_update(self.v, 1)", "orb.inplace_update(arr.v, 1).data"),
      ("self-rename", "self", "arr")]),
    ("y = orb.inplace_update(a, b).data\n", Options(), False, []),  # the rules' own output: nothing
]


@pytest.mark.parametrize("source, options, transpose, expected", RULE_CASES)
def test_each_change_is_named_after_its_rule(source, options, transpose, expected):
    got = found(source, options, transpose)
    assert [(f.rule, f.old, f.new) for f in got] == expected
    for f in got:
        assert span_text(source, f) == f.old and table.kind_of(f.rule) == table.CHANGE


def test_every_change_rule_has_a_case():
    covered = {rule for *_, expected in RULE_CASES for rule, _, _ in expected}
    changes = {name for name, (kind, _) in table.RULES.items() if kind == table.CHANGE}
    assert changes - covered == {"other-rewrite"}


# Where a change lies, in characters: (source, options, transpose, the
# place (line, column, end line, end column) of each finding).
PLACES = [
    ("x = torch.Tensor\n", Options(), False, [(1, 5, 1, 17)]),
    ("s = 'äöü€'; x = torch.Tensor\n", Options(), False, [(1, 17, 1, 29)]),  # 2- and 3-byte characters before
    ("s = '😀'; x = Tensor\n", Options(), False, [(1, 14, 1, 20)]),  # a 4-byte character
    ("\ufeffx = Tensor\n", Options(), False, [(1, 5, 1, 11)]),  # the byte-order mark is no column
    ("a = 1\r\nb = 2\r\nx = Tensor\r\n", Options(), False, [(3, 5, 3, 11)]),
    ("a = 1\rb = 2\rx = Tensor\r", Options(), False, [(3, 5, 3, 11)]),
    ("a = 1\r\nb = 2\nc = 3\rx = Tensor\n", Options(), False, [(4, 5, 4, 11)]),
    ("if a:\n\tx = Tensor\n", Options(), False, [(2, 6, 2, 12)]),  # a tab is one column
    ("if a:\n\t\tx = 'é'; y = Tensor\n", Options(), False, [(2, 16, 2, 22)]),
    ("x = f(a,\n      b) + torch.Tensor\n", Options(), False, [(2, 12, 2, 24)]),
    ("x = orb.Array(a,\n  requires_grad=True)\n", Options(), False, [(1, 16, 2, 21)]),
    ("x = orb.Array(\n    a,\n    requires_grad=True,\n)\n", Options(), False, [(3, 1, 4, 1)]),  # the line goes
    ("# é\nw = orb_empty((in_channels,  # in\n               c, k))\n", Options(object_name=CONV), True,
     [(2, 16, 3, 20)]),
    ("x = 'é'; g(data_format='NCHW')\r\n", Options(), True, [(1, 24, 1, 30)]),
]


@pytest.mark.parametrize("source, options, transpose, places", PLACES)
def test_findings_are_placed_in_characters(source, options, transpose, places):
    got = found(source, options, transpose)
    assert [tuple(f[:4]) for f in got] == places
    assert all(span_text(source, f) == f.old for f in got)


# 3.8 places the parts of an f-string wrongly: a change inside one is placed
# on the whole f-string there; so is one inside a {expr=} part everywhere,
# whose text is part of the value.
@pytest.mark.parametrize("source, options, rule, place, place_3_8", [
    ("s = f'é{x} {torch.Tensor}'\n", Options(), "type-name", (1, 13, 1, 25), (1, 5, 1, 27)),
    ("s = f'{x=} {Tensor}'\n", Options(), "type-name", (1, 5, 1, 21), (1, 5, 1, 21)),
    ("s = (f'{a}'  # c\n     f'{Tensor}')\n", Options(), "type-name", (2, 9, 2, 15), (2, 6, 2, 17)),
    # 3.8's misplaced part cannot even be renamed in place: the f-string is rendered anew
    ("s = f'p={round(self.p,3):0.3f}'\n", Options(orb_api=True), "self-rename", (1, 16, 1, 20), (1, 5, 1, 32)),
])
def test_changes_in_f_strings(source, options, rule, place, place_3_8):
    got = found(source, options)
    assert [(f.rule, tuple(f[:4])) for f in got] == [(rule, place_3_8 if sys.version_info < (3, 9) else place)]
    assert span_text(source, got[0]) == got[0].old


HERE = os.path.dirname(os.path.abspath(__file__))
REAL = sorted(os.path.join(d, n) for d in ("excerpts", "realcode") for n in os.listdir(os.path.join(HERE, d))
              if n.endswith(".py"))
REAL_OPTIONS = {"default": (Options(), False), "transpose": (Options(object_name=CONV), True),
                "orb-api": (Options(orb_api=True), False),
                "dtype-map": (Options(dtype_map={"torch.float32": "orb.float32", "torch.int64": "a if c else b"}),
                              False)}


@pytest.mark.parametrize("options", sorted(REAL_OPTIONS))
@pytest.mark.parametrize("name", REAL)
def test_findings_of_real_code_spell_the_output(name, options):
    """Every change finding's span holds its old text, and the outermost
    ones, their new text put in place, give the output."""
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        source = f.read()
    opts, transpose = REAL_OPTIONS[options]
    with transpose_variable(transpose, clear_when_off=True):
        result = rewrite(source, opts, FrontendTorchCodePostProcessor)
    changes = [f for f in result.findings if table.kind_of(f.rule) == table.CHANGE]
    assert all(span_text(source, f) == f.old for f in changes)
    starts = [0] + [m.end() for m in LINE_END.finditer(source)]
    spans = sorted({(starts[f.line - 1] + f.column - 1, starts[f.end_line - 1] + f.end_column - 1, f.new)
                    for f in changes})
    outer = [s for s in spans if not any(o != s and o[0] <= s[0] and s[1] <= o[1] for o in spans)]
    text, at = [], 0
    for a, b, new in outer:
        text += [source[at:a], new]
        at = b
    assert "".join(text + [source[at:]]) == (source if result.output is None else result.output)
    assert bool(changes) == (result.output is not None)


@pytest.mark.parametrize("source, options, rule, place", [
    ("w = orb_empty((in_channels, c, out_channels))\n", Options(object_name=CONV), "ambiguous-shape", (1, 16, 1, 44)),
    ("y = 'é'; Tensor: int = 1\n", Options(), "whole-rendering", (1, 10, 1, 10)),
])
def test_warnings_are_findings_placed_on_what_they_are_about(source, options, rule, place):
    got = [f for f in found(source, options, transpose=True) if f.rule == rule]
    assert [tuple(f[:4]) for f in got] == [place] and table.kind_of(rule) == table.WARNING


def test_a_change_that_was_not_made_leaves_no_finding():
    text = positions.Text("x = a + b\n".encode())
    record = findings.Found()
    record.add("type-name", [(4, 5, b"A")])
    record.add("dtype-map", [(8, 9, b"B")])
    assert [f.rule for f in findings.changes(text, record, [(4, 5, b"A")])] == ["type-name"]
    assert [f.rule for f in findings.changes(text, record, [(0, 9, b"y = A + B")])] == ["type-name", "dtype-map"]


# -- the formats ---------------------------------------------------------

ITEMS = [("a.py", Finding(1, 5, 1, 17, "type-name", "`torch.Tensor` -> `orb.Array`", "torch.Tensor", "orb.Array")),
         ("dir,x:y.py", Finding(2, 1, 3, 4, "parse-error", "50% of\r\nit, here: no", "", "")),
         ("a.py", Finding(3, 1, 3, 7, "ambiguous-shape", "ambiguous", "", ""))]


@pytest.mark.parametrize("check, severities", [(True, ["error", "error", "warning"]),
                                               (False, ["notice", "error", "warning"])])
def test_json_holds_every_field(check, severities):
    got = json.loads(formats.to_json(ITEMS, check))
    assert [d["severity"] for d in got] == severities
    assert got[1] == {"file": "dir,x:y.py", "line": 2, "column": 1, "end_line": 3, "end_column": 4,
                      "rule": "parse-error", "severity": "error", "message": "50% of\r\nit, here: no",
                      "old": "", "new": ""}


def test_github_commands_are_escaped():
    lines = formats.to_github(ITEMS, True).splitlines(keepends=True)
    assert lines == [
        "::error file=a.py,line=1,col=5,endLine=1,endColumn=17,title=type-name::`torch.Tensor` -> `orb.Array`\n",
        "::error file=dir%2Cx%3Ay.py,line=2,col=1,endLine=3,endColumn=4,title=parse-error::"
        "50%25 of%0D%0Ait, here: no\n",
        "::warning file=a.py,line=3,col=1,endLine=3,endColumn=7,title=ambiguous-shape::ambiguous\n"]


def test_gitlab_report_shape_and_fingerprints():
    items = ITEMS + [ITEMS[0], ("b.py", ITEMS[0][1])]  # the same finding twice in a.py, and in another file
    got = json.loads(formats.to_gitlab(items, True))
    assert got[0] == {"description": "`torch.Tensor` -> `orb.Array`", "check_name": "type-name",
                      "fingerprint": got[0]["fingerprint"], "severity": "critical",
                      "location": {"path": "a.py", "positions": {"begin": {"line": 1, "column": 5},
                                                                 "end": {"line": 1, "column": 17}}}}
    prints = [issue["fingerprint"] for issue in got]
    assert len(set(prints)) == len(prints)
    assert prints == [issue["fingerprint"] for issue in json.loads(formats.to_gitlab(items, True))]
    moved = [(path, f._replace(line=f.line + 10, end_line=f.end_line + 10)) for path, f in items]
    assert prints == [issue["fingerprint"] for issue in json.loads(formats.to_gitlab(moved, True))]


def test_statistics_count_per_rule():
    assert formats.statistics(ITEMS + [ITEMS[0]]).splitlines() == [
        "    2  type-name        " + table.describe("type-name"),
        "    1  ambiguous-shape  " + table.describe("ambiguous-shape"),
        "    1  parse-error      " + table.describe("parse-error")]


# -- the command line ----------------------------------------------------

SOURCES = {
    "a.py": "x = torch.Tensor(a, requires_grad=True)\ny = 'ü'; z = np.log2(8)\nimport orb\n",
    "b.py": "y  =  f( 1 )\n",
    "c.py": "def f(:\n",
    "d.py": b"x = '\xff'\n",
    "e.py": "y = (Tensor := 1)\n",
    "f.py": "g(x, data_format='NCHW')\r\n",
}


def run_cli(cwd, *args):
    proc = subprocess.run([sys.executable, "-m", "combined_source.utils", *args], cwd=str(cwd),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


@pytest.fixture
def tree(tmp_path):
    for name, text in SOURCES.items():
        (tmp_path / name).write_bytes(text if isinstance(text, bytes) else text.encode())
    return tmp_path


EXPECTED = [
    ("a.py", 1, 5, "type-name"), ("a.py", 1, 19, "requires-grad"), ("a.py", 2, 14, "float32-cast"),
    ("c.py", 1, 7, "parse-error"), ("d.py", 1, 6, "decode-error"), ("e.py", 1, 6, "not-rewritten"),
    ("f.py", 1, 18, "channel-last-layout"), ("nope.py", 1, 1, "read-error")]


@pytest.mark.parametrize("mode", [["--check"], ["--diff"], ["--in-place"]])
def test_json_lists_changes_and_failures_in_every_mode(tree, mode):
    rc, out, err = run_cli(tree, *mode, "--output-format", "json", "--transpose", *sorted(SOURCES), "nope.py")
    got = json.loads(out)
    assert [(d["file"], d["line"], d["column"], d["rule"]) for d in got] == EXPECTED and rc == 2
    assert "cannot parse" in err and ("--- a.py" in err) == (mode == ["--diff"])  # a diff goes to stderr


def test_parallel_run_finds_what_a_serial_run_finds(tree):
    outs = [run_cli(tree, "--check", "--output-format", fmt, "-j", jobs, "--transpose", *sorted(SOURCES))[1]
            for fmt in ("json", "gitlab") for jobs in ("1", "2")]
    assert outs[0] == outs[1] and outs[2] == outs[3] and len(json.loads(outs[0])) == 7


def test_check_lists_the_first_change_of_each_file(tree):
    rc, out, err = run_cli(tree, "--check", "--statistics", "--transpose", *sorted(SOURCES))
    assert rc == 2 and out.splitlines() == [
        "a.py:1:5: would rewrite (type-name)", "f.py:1:18: would rewrite (channel-last-layout)",
        "    1  channel-last-layout  " + table.describe("channel-last-layout"),
        "    1  decode-error         " + table.describe("decode-error"),
        "    1  float32-cast         " + table.describe("float32-cast"),
        "    1  not-rewritten        " + table.describe("not-rewritten"),
        "    1  parse-error          " + table.describe("parse-error"),
        "    1  requires-grad        " + table.describe("requires-grad"),
        "    1  type-name            " + table.describe("type-name")]
    assert err.splitlines()[-1] == "2 files would be rewritten, 1 left unchanged, 2 failed, 1 not rewritten"
    assert "would rewrite" not in err


@pytest.mark.parametrize("args", [["--check", "--diff"], ["--check", "--output-format", "json"], ["--in-place"]])
def test_statistics_go_to_stderr_where_stdout_holds_something_else(tree, args):
    rc, out, err = run_cli(tree, "--statistics", *args, "a.py", "b.py")
    row = "    1  requires-grad  " + table.describe("requires-grad") + "\n"
    assert row in err and row not in out


def test_github_format_in_a_check(tree):
    rc, out, _ = run_cli(tree, "--check", "--output-format", "github", "a.py", "b.py")
    assert rc == 1 and out.splitlines()[0] == (
        "::error file=a.py,line=1,col=5,endLine=1,endColumn=17,title=type-name::`torch.Tensor` -> `orb.Array`")
    assert len(out.splitlines()) == 3


@pytest.mark.parametrize("args, message", [
    (["--output-format", "jsn", "--check", "a.py"], "unknown format 'jsn' (did you mean json?)"),
    (["--output-format", "json", "a.py"], "--output-format json needs --check, --diff or --in-place"),
    (["--output-format", "gitlab", "-i", "-"], "cannot be combined with --in-place on standard input"),
    (["--list-rules", "type_name"], "unknown rule 'type_name' (did you mean type-name?)"),
])
def test_unknown_format_or_rule_is_a_usage_error(tree, args, message):
    rc, out, err = run_cli(tree, *args)
    assert (rc, out) == (2, "") and message in err
    assert (tree / "a.py").read_text() == SOURCES["a.py"]


def test_list_rules(tree):
    rc, out, _ = run_cli(tree, "--list-rules")
    names = [line.split()[0] for line in out.splitlines()]
    assert rc == 0 and names == list(table.RULES)
    assert all(re.fullmatch(r"[a-z0-9]+(-[a-z0-9]+)*", name) for name in names)
    rc, out, _ = run_cli(tree, "--list-rules", "weight-shape", "read-error")
    assert rc == 0 and [line.split()[0] for line in out.splitlines()] == ["weight-shape", "read-error"]
