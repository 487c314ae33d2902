"""Skip comments, the warning of an orb used without its import and the
import added: exact output texts, each checked like every splice."""
import os

import pytest

from combined_source.utils import rewrite as rewriting
from combined_source.utils.rewrite import imports
from combined_source.utils.rewrite.findings import Finding
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor

from test_cli import make, run_cli

SKIP = "  # orb-postprocess: skip"
WARNING = "orb is used but not imported"


@pytest.fixture(params=["kept", "parsed again"])
def original_tree(request, monkeypatch):
    """The check with the original parse kept, and as for a large text."""
    if request.param == "parsed again":
        monkeypatch.setattr(rewriting, "LARGE_TEXT", 0)


def rewrite(text, transpose=False, **options):
    old = os.environ.pop(rewriting.TRANSPOSE_ENV, None)
    if transpose:
        os.environ[rewriting.TRANSPOSE_ENV] = "true"
    try:
        result = rewriting.rewrite(text, rewriting.Options(**options), FrontendTorchCodePostProcessor, reformat=False)
    finally:
        os.environ.pop(rewriting.TRANSPOSE_ENV, None)
        if old is not None:
            os.environ[rewriting.TRANSPOSE_ENV] = old
    assert not result.whole
    return result


CONV = dict(transpose=True, object_name="torch.nn.modules.conv._ConvNd")


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, expected, options", [
    # the line with the comment is kept, the lines around it are not
    ("x = Tensor" + SKIP + "\ny = Tensor\n", "x = Tensor" + SKIP + "\ny = orb.Array\n", {}),
    ("x = Tensor\ny = Tensor" + SKIP + "\nz = Tensor\n", "x = orb.Array\ny = Tensor" + SKIP + "\nz = orb.Array\n", {}),
    ("x = Tensor\r\ny = Tensor" + SKIP + "\r\nz = Tensor\r\n",
     "x = orb.Array\r\ny = Tensor" + SKIP + "\r\nz = orb.Array\r\n", {}),
    ("x = Tensor\ry = Tensor" + SKIP + "\rz = Tensor\r", "x = orb.Array\ry = Tensor" + SKIP + "\rz = orb.Array\r", {}),
    ("def f(a: Tensor):" + SKIP + "\n    return Tensor\n", "def f(a: Tensor):" + SKIP + "\n    return orb.Array\n", {}),
    # every kind of change: a keyword removed, a constant relabelled, a tuple reversed, an f-string part
    ("x = orb.Array(a, requires_grad=True)" + SKIP + "\n", None, {}),
    ("g(x, data_format='NCHW')" + SKIP + "\ng(x, data_format='NCHW')\n",
     "g(x, data_format='NCHW')" + SKIP + "\ng(x, data_format='NHWC')\n", CONV),
    ("w = orb_empty((in_channels, c, k))" + SKIP + "\n", None, CONV),
    ("x = f'{Tensor}'" + SKIP + "\ny = f'{Tensor}'\n", "x = f'{Tensor}'" + SKIP + "\ny = f'{orb.Array}'\n", {}),
    # spacing is free, spelling is not; other comments may stand around it
    ("x = Tensor  #orb-postprocess:skip\n", None, {}),
    ("x = Tensor  #   orb-postprocess  :  skip   \n", None, {}),
    ("x = Tensor  # orb-postprocess: skip  # noqa: E501\n", None, {}),
    ("x = Tensor  # noqa # orb-postprocess: skip\n", None, {}),
    ("x = Tensor  # orb-postprocess: skip, the API wants it\n", None, {}),
    *[("x = Tensor  # %s\n" % c, "x = orb.Array  # %s\n" % c, {}) for c in (
        "orb-postprocess: skp", "orb-postprocess skip", "orb-postprocess: skipped", "orb-postprocess: skip-line",
        "orbpostprocess: skip", "Orb-Postprocess: Skip", "orb-postprocess: skip-file")],
    # a string holding the words is no comment
    ("y = '# orb-postprocess: skip'; x = Tensor\n", "y = '# orb-postprocess: skip'; x = orb.Array\n", {}),
    ("y = '''\n# orb-postprocess: skip\n'''; x = Tensor\n",
     "y = '''\n# orb-postprocess: skip\n'''; x = orb.Array\n", {}),
    ("x = f('# orb-postprocess: skip', Tensor)\n", "x = f('# orb-postprocess: skip', orb.Array)\n", {}),
    # a multi-line change is kept by its first line, not by a later one
    ("x = (torch" + SKIP + "\n     .Tensor)(a)\n", None, {}),
    ("x = (torch\n     .Tensor)(a)" + SKIP + "\n", "x = (orb.Array)(a)" + SKIP + "\n", {}),
    ("w = orb_empty((in_channels," + SKIP + "\n               c, k))\n", None, CONV),
    ("w = orb_empty((in_channels,\n               c, k))" + SKIP + "\n",
     "w = orb_empty((k,\n               c, in_channels))" + SKIP + "\n", CONV),
    # a comment on a continuation line keeps what starts there
    ("x = f(Tensor,\n      Tensor)" + SKIP + "\n", "x = f(orb.Array,\n      Tensor)" + SKIP + "\n", {}),
    ("x = orb.Array(\n    a,\n    requires_grad=True," + SKIP + "\n)\n", None, {}),
    ("x = orb.Array(a," + SKIP + "\n    requires_grad=True,\n)\n", "x = orb.Array(a," + SKIP + "\n)\n", {}),
    # nested: each change by its own first line, inside a rewritten call too
    ("x = nn.Parameter(\n    torch.Tensor(a)," + SKIP + "\n    requires_grad=False)\n",
     "x = orb.Array(\n    torch.Tensor(a)" + SKIP + "\n    )\n", {}),
    ("x = nn.Parameter(" + SKIP + "\n    torch.Tensor(a),\n    requires_grad=False)\n",
     "x = nn.Parameter(" + SKIP + "\n    orb.Array(a))\n", {}),
    ("x = f(Tensor, g(Tensor))" + SKIP + "\n", None, {}),
    # the whole file: a comment line before the first statement (a docstring does not count)
    ("# orb-postprocess: skip-file\nx = Tensor\n", None, {}),
    ("#!/usr/bin/env python\n#orb-postprocess:skip-file\n\nx = Tensor\n", None, {}),
    ('"""Doc."""\n# orb-postprocess: skip-file\nx = Tensor\n', None, {}),
    ("# orb-postprocess: skip-file\n@d(Tensor)\ndef f(): pass\n", None, {}),
    ("import torch\n# orb-postprocess: skip-file\nx = Tensor\n",
     "import torch\n# orb-postprocess: skip-file\nx = orb.Array\n", {}),
    ("x = 1  # orb-postprocess: skip-file\ny = Tensor\n", "x = 1  # orb-postprocess: skip-file\ny = orb.Array\n", {}),
    ("s = '''\n# orb-postprocess: skip-file\n'''\nx = Tensor\n",
     "s = '''\n# orb-postprocess: skip-file\n'''\nx = orb.Array\n", {}),
])
def test_skip_comments_keep_what_they_mark(source, expected, options):
    assert rewrite(source, **options).output == expected
    # --no-skip-comments: as if the comments were not there
    unmarked = rewrite(source.replace("orb-postprocess", "unmarked"), **options).output
    assert rewrite(source, skip_comments=False, **options).output == unmarked.replace("unmarked", "orb-postprocess")


@pytest.mark.parametrize("prefix", ["", "import orb\n"])
def test_kept_changes_are_neither_findings_nor_notes(prefix):
    text = prefix + "w = orb_empty((in_channels, c, k))" + SKIP + "\nv = orb_empty((in_channels, c, k))\n"
    result = rewrite(text, **CONV)
    assert result.output == text.replace("v = orb_empty((in_channels, c, k))", "v = orb_empty((k, c, in_channels))")
    assert all(f.line != 1 + len(prefix) // 11 for f in result.findings)
    assert all(note[0] != 1 + len(prefix) // 11 for note in result.notes)


@pytest.mark.parametrize("source, warned", [
    ("x = Tensor\n", (1, 5)),
    ("y = f('é', Tensor)\n", (1, 12)),  # the column counts characters
    ("y = 1\nif c:\n    z = [Tensor]\nw = Tensor\n", (3, 10)),
    ("x = Tensor\r\ny = orb.b\r\n", (1, 5)),
    ("y = orb.x\nx = Tensor\n", (1, 5)),  # the first use, not the first change
    ("s = 'orb'  # orb\nx.orb = 1\nx = Tensor\n", (3, 5)),  # the word, but no use
    # placed in the output, after edits that removed lines
    ("x = make_Array(\n    a,\n    requires_grad=True,\n)\ny = Tensor\n", (4, 5)),
    ("x = make_Array(a,\n    requires_grad=True); z = 1\n\ny = (1,\n  Tensor)\n", (4, 3)),
    # bindings elsewhere than at module level, or of other names
    ("def f():\n    import orb\nx = Tensor\n", (3, 5)),
    ("class C:\n    orb = 1\nx = Tensor\n", (3, 5)),
    ("import orbs\nimport pkg.orb\nfrom orb import nn\nx = Tensor\n", (4, 5)),
    ("def f(orb):\n    return 1\nx = Tensor\n", (3, 5)),
    ("x = Tensor\nx.orb = 1\ndel orb\n", (1, 5)),
    ("s = 'global'\ndef f():\n    orb = 1\nx = Tensor\n", (4, 5)),  # the word, but no declaration
    # module-level bindings
    *[(s + "\nx = Tensor\n", None) for s in (
        "import orb", "import orb as orb", "import orb.nn", "import numpy as orb", "from pkg import orb",
        "from pkg import thing as orb", "from pkg import *", "orb = load()", "orb: object = load()",
        "a, (b, *orb) = t", "for orb in x: pass", "with f() as orb: pass", "def orb(): pass", "class orb: pass",
        "async def orb(): pass", "@d\ndef orb(): pass", "def f():\n    global orb\n    orb = load()",
        "class C:\n    def f(self):\n        if a:\n            global orb",
        "if TYPE_CHECKING:\n    import orb", "try:\n    import orb\nexcept ImportError:\n    orb = None",
        "try:\n    pass\nexcept E as orb:\n    pass", "if a:\n    pass\nelse:\n    while b:\n        import orb")],
])
def test_orb_used_without_import(source, warned):
    result = rewrite(source)
    assert result.output is not None
    imports = tuple(f for f in result.findings if f.rule == "missing-import")  # beside the changes' own
    if warned is None:
        assert not result.notes and not imports
        return
    line, column = warned
    assert result.notes == ((line, column, WARNING),)
    assert imports == (Finding(line, column, line, column + 3, "missing-import", WARNING),)


@pytest.mark.parametrize("source, warned, group", [
    ("class C:\n    def f(self, a):\n        y = 1\n        return Tensor(a)\n", (4, 16), None),
    ("def f(a: Tensor, b):\n    return b\n", (1, 10), None),  # a header at the top level: no line above it
    ("def f(a):\n    if a:\n        x = (1,\n             Tensor)\n    return 2\n", (4, 14), None),
    # the word first in unchanged text: that group is parsed
    ("s = 'orb'\ndef f(a):\n    y = a\n    z = [Tensor]\n", (4, 10), "s = 'orb'\n"),
    ("def f(a):\n    z = g('orb', Tensor)\n", (2, 18), None),  # the word first in a string of the statement
    # the first use on the line after a statement parsed apart, in unchanged text
    ("def f(a):\n    w = orb_empty((in_channels, c, k))\n    z = orb.x\n    v = Tensor\n", (3, 9),
     "def f(a):\n    w = orb_empty((k, c, in_channels))\n    z = orb.x\n    v = orb.Array\n"),
])
@pytest.mark.usefixtures("statements_apart")
def test_the_warning_reads_the_statements_the_check_parsed_apart(monkeypatch, source, warned, group):
    from combined_source.utils.rewrite import check
    parsed = []
    real = imports.parse
    monkeypatch.setattr(imports, "parse", lambda text: parsed.append(text) or real(text))
    result = rewrite(source, **CONV)
    line, column = warned
    assert result.notes == ((line, column, WARNING),) and parsed == ([group] if group else [])
    # the same as the parse of the text's groups gives
    monkeypatch.setattr(check.Check, "parsed_apart", lambda *args: True)
    assert rewrite(source, **CONV).notes == result.notes and parsed


@pytest.mark.parametrize("text, may", [
    ("global orb", True), ("def f():\n    global x", True), ("def f(): global x", True), ("x = 1; global y", True),
    ("if a:\\\n global y", True), ("x\rglobal y", True), ("x\r\n\t\fglobal\\\n y", True),
    ("global_pool = 1", False), ("s = 'a global x'", False), ("x = 1  # the global one", False),
    ("x.global_ = 1", False), ("xglobal = 1", False), ("", False),
])
def test_where_a_global_declaration_may_stand(text, may):
    assert imports._may_declare_global(text) is may


@pytest.mark.skipif("sys.version_info < (3, 10)")
@pytest.mark.parametrize("case, warned", [("case [*orb]: pass", False), ("case {**orb}: pass", False),
                                          ("case C(x=orb): pass", False), ("case orb.Thing: pass", True)])
def test_match_patterns_bind(case, warned):
    result = rewrite("match v:\n    %s\nx = Tensor\n" % case)
    assert bool(result.notes) == warned


@pytest.mark.parametrize("source", [
    "x = orb.Array\n",  # unchanged: no warning, no import
    "x = Tensor" + SKIP + "\ny = orb.f()\n",  # every change kept
    "x = a.Tensor\n",  # changed nothing the rules know
])
def test_unchanged_files_get_no_warning_and_no_import(source):
    for add in (False, True):
        result = rewrite(source, add_import=add)
        assert (result.output, result.notes, result.findings) == (None, (), ())


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, expected", [
    ("x = Tensor\n", "import orb\nx = orb.Array\n"),
    ("x = Tensor", "import orb\nx = orb.Array"),
    ('"""Doc."""\nx = Tensor\n', '"""Doc."""\nimport orb\nx = orb.Array\n'),
    ('"""Doc.\n\nMore.\n"""\n\nx = Tensor\n', '"""Doc.\n\nMore.\n"""\nimport orb\n\nx = orb.Array\n'),
    ('"""Doc."""\nfrom __future__ import annotations\nfrom __future__ import division\n\nclass C(Tensor): pass\n',
     '"""Doc."""\nfrom __future__ import annotations\nfrom __future__ import division\nimport orb\n\n'
     'class C(orb.Array): pass\n'),
    ("import os\nimport torch  # why\n\nx = Tensor\n", "import os\nimport torch  # why\nimport orb\n\nx = orb.Array\n"),
    ("from a import (\n    b,\n    c,\n)\nx = Tensor\n",
     "from a import (\n    b,\n    c,\n)\nimport orb\nx = orb.Array\n"),
    ("import os\nx = Tensor\nimport sys\n", "import os\nimport orb\nx = orb.Array\nimport sys\n"),
    ("import os\nimport sys", None),  # nothing to rewrite
    ("import os\nx = Tensor", "import os\nimport orb\nx = orb.Array"),
    ("#!/usr/bin/env python\n# -*- coding: utf-8 -*-\n# Licence text.\n\nx = Tensor\n",
     "#!/usr/bin/env python\n# -*- coding: utf-8 -*-\n# Licence text.\nimport orb\n\nx = orb.Array\n"),
    ("# Licence text.\n@d\ndef f(a: Tensor): pass\n", "# Licence text.\nimport orb\n@d\ndef f(a: orb.Array): pass\n"),
    # the file's line endings, and a byte-order mark before it all
    ("import os\r\n\r\nx = Tensor\r\n", "import os\r\nimport orb\r\n\r\nx = orb.Array\r\n"),
    ('"""D."""\rfrom __future__ import annotations\rx = Tensor\r',
     '"""D."""\rfrom __future__ import annotations\rimport orb\rx = orb.Array\r'),
    ("# c\r\nx = Tensor\r\n", "# c\r\nimport orb\r\nx = orb.Array\r\n"),
    ("\ufeff'''D.'''\nx = Tensor\n", "\ufeff'''D.'''\nimport orb\nx = orb.Array\n"),
    # a file that binds orb gets nothing
    ("import orb\nx = Tensor\n", "import orb\nx = orb.Array\n"),
])
def test_add_import(source, expected):
    result = rewrite(source, add_import=True)
    assert result.output == expected
    assert not result.notes and not [f for f in result.findings if f.rule == "missing-import"]


@pytest.mark.parametrize("source", [
    "import os; x = Tensor\n",  # no line of its own after the import
    "import os \\\n; x = Tensor\n",
])
def test_an_import_that_cannot_be_placed_is_warned_about(source):
    result = rewrite(source, add_import=True)
    assert result.output == rewrite(source).output
    assert result.notes == ((result.notes[0][0], result.notes[0][1], WARNING),)


@pytest.mark.parametrize("index, at, expected", [(0, 0, "import orb\nx = 1\n"), (1, 6, "x = 1\nimport orb\n"),
                                                  (1, 0, None), (0, 6, None), (0, 2, None)])
def test_the_added_import_is_checked_at_its_place(monkeypatch, index, at, expected):
    # The parse must equal the tree holding the import at its index: a line
    # put anywhere else is refused.
    monkeypatch.setattr(imports, "_insertion", lambda text, module: (index, at))
    assert imports.with_import("x = 1\n", rewriting.parse("x = 1\n")) == expected


@pytest.mark.parametrize("args, config, out, err", [
    ([], "", "x = orb.Array\ny = Tensor" + SKIP + "\n", "warning: t.py:1:5: orb is used but not imported\n"),
    (["--no-skip-comments"], "", "x = orb.Array\ny = orb.Array" + SKIP + "\n",
     "warning: t.py:1:5: orb is used but not imported\n"),
    ([], "skip-comments = false", "x = orb.Array\ny = orb.Array" + SKIP + "\n",
     "warning: t.py:1:5: orb is used but not imported\n"),
    (["--skip-comments"], "skip_comments = false", "x = orb.Array\ny = Tensor" + SKIP + "\n",
     "warning: t.py:1:5: orb is used but not imported\n"),
    (["--add-import"], "", "import orb\nx = orb.Array\ny = Tensor" + SKIP + "\n", ""),
    ([], "add-import = true", "import orb\nx = orb.Array\ny = Tensor" + SKIP + "\n", ""),
    (["--no-add-import"], "add-import = true", "x = orb.Array\ny = Tensor" + SKIP + "\n",
     "warning: t.py:1:5: orb is used but not imported\n"),
])
def test_command_line(tmp_path, args, config, out, err):
    make(tmp_path, {"t.py": "x = Tensor\ny = Tensor" + SKIP + "\n",
                    "pyproject.toml": "[tool.orb-postprocess]\n" + config})
    rc, stdout, stderr = run_cli(tmp_path, *args, "t.py")
    assert (rc, stdout, stderr) == (0, out, err + "1 file: 1 changed, 0 unchanged, 0 failed\n")


@pytest.mark.parametrize("options, expected", [
    ({}, "x = Tensor" + SKIP + "\ny = orb.Array\n"),
    ({"skip_comments": False}, "x = orb.Array" + SKIP + "\ny = orb.Array\n"),
    ({"add_import": True}, "import orb\nx = Tensor" + SKIP + "\ny = orb.Array\n"),
])
def test_python_api(options, expected):
    from combined_source.utils import rewrite_source

    assert rewrite_source("x = Tensor" + SKIP + "\ny = Tensor\n", **options) == expected


@pytest.mark.parametrize("edits, expected", [
    ([], [(1, 1), (2, 3), (4, 4)]),
    ([(11, 12, b"x\ny")], [(1, 1), (2, 4), (5, 5)]),  # a line added in the second statement
    ([(0, 1, b"a\r\nb"), (11, 18, b"2)")], [(1, 2), (3, 3), (4, 4)]),  # one added, one removed
    ([(4, 8, b"")], None),  # an edit across two statements
])
def test_statements_placed_in_the_output(edits, expected):
    data = b"a = 1\nb = (2,\n  3)\nc = 4\n"
    from combined_source.utils.rewrite.positions import Text

    spliced = Text(data).apply(list(edits))
    got = imports.output_statements([(1, 1), (2, 3), (4, 4)], sorted(edits), Text(data).starts, len(data), spliced)
    assert got == expected
