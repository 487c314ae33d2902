"""The direct conversion to gast gives gast's own tree, attribute for attribute."""
import ast
import os
import subprocess
import sys

import gast
import pytest

from combined_source.utils import convert
from combined_source.utils.convert import ast_to_gast, ast_to_gast_recorded
from combined_source.utils.rewrite.changes import record

REAL_CODE = os.path.join(os.path.dirname(__file__), "realcode")


def assert_same(a, b, path="tree"):
    assert type(a) is type(b), path
    if isinstance(a, list):
        assert len(a) == len(b), path
        for i, (x, y) in enumerate(zip(a, b)):
            assert_same(x, y, "%s[%d]" % (path, i))
    elif isinstance(a, ast.AST):
        assert a is not b, path  # a new node, never one shared with the standard tree
        assert list(vars(a)) == list(vars(b)), path
        for k in vars(a):
            assert_same(getattr(a, k), getattr(b, k), path + "." + k)
    else:
        assert a == b or (a != a and b != b), path


SNIPPETS = [
    "x: int = y[1:2, ::3]\nz = w[a, b]\nv = u[...]\ndel v[0]",
    "a = b = 1  # type: int\nx += -1 ** 2 if c else not d",
    "@d(1)\nasync def f(a, /, b: int = 2, *c, d, e=3, **g) -> None:  # type: (...) -> None\n"
    "    global q\n    async with m as (n, o):\n        await p\n    async for i in j: yield i",
    "class C(B, metaclass=M):\n    'doc'\n    def m(self): return lambda x, *y: (yield from x)",
    "try:\n    import os.path as p, sys\nexcept (E, F) as e:\n    raise G from e\nexcept H:\n    pass\n"
    "finally:\n    from . import q as r",
    "r = [i for i in x if i] + {k: v for k, v in y} + {*s} + (t for t in u)",
    "s = f'{a!r:>{w}} {b=}' + 'u' u'v' + b'w' + rb'\\d'",
    "if (n := len(a)) > 10 or a is not b in c: print(*a, **k)\nwhile 0: break\nelse: continue",
    "with open(f) as g, h: assert g, 'msg'",
]
if sys.version_info >= (3, 10):
    SNIPPETS.append("match p:\n    case [1, *r] | {'k': v, **kw} if v: pass\n    case C(a, b=2) as c: pass\n"
                    "    case None | 'x': pass\n    case _: pass")
if sys.version_info >= (3, 11):
    SNIPPETS.append("try:\n    pass\nexcept* E as e:\n    pass\nx = a[*b]")
if sys.version_info >= (3, 12):
    SNIPPETS.append("type A[T: int, *Ts, **P] = list[T]\ndef f[T](x: T) -> T: pass\nclass K[U]: pass")


@pytest.fixture(autouse=True, params=["native", "python"])
def conversion(request, monkeypatch):
    """Every test runs with the native loop and with the Python one."""
    if request.param == "python":
        monkeypatch.setattr(convert, "_Converter", convert._PythonConverter)
        monkeypatch.setattr(convert, "_SPECIAL", convert._PythonConverter())
    elif convert._treeops is None:
        pytest.skip("the package was built without its native tree passes")
    elif gast.__version__ != "0.7.0":
        pytest.skip("gast's own conversion is used with this gast")
    return request.param


def real_files():
    return sorted(os.path.join(REAL_CODE, f) for f in os.listdir(REAL_CODE))


@pytest.mark.parametrize("source", SNIPPETS + real_files())
def test_conversion_is_gasts(source):
    if source.endswith(".py"):
        with open(source, encoding="utf-8") as f:
            source = f.read()
    tree = ast.parse(source, type_comments=True)
    assert_same(ast_to_gast(tree), gast.ast_to_gast(tree))
    statement = tree.body[0]  # as the conversion of a large text's statements one by one
    assert_same(ast_to_gast(statement), gast.ast_to_gast(statement))


@pytest.mark.parametrize("source", SNIPPETS + real_files())
def test_fields_recorded_while_converting_are_records(source):
    if source.endswith(".py"):
        with open(source, encoding="utf-8") as f:
            source = f.read()
    tree = ast.parse(source, type_comments=True)
    fields = {}
    converted = ast_to_gast_recorded(tree, fields, record)
    expected = record(converted)
    assert list(fields) and set(map(id, fields)) == set(map(id, expected))
    for node, values in expected.items():
        got = fields[node]
        assert type(got) is tuple and len(got) == len(values), type(node).__name__
        for g, v in zip(got, values):
            assert g is v or (type(g) is tuple and type(v) is tuple and list(map(id, g)) == list(map(id, v))), \
                type(node).__name__


@pytest.mark.parametrize("node", [ast.Name(id="x"), ast.Call(func=ast.Name("f", ast.Load()), args=[]),
                                  ast.Constant(1), ast.arg("a")], ids=["Name", "Call", "Constant", "arg"])
def test_nodes_made_without_fields_convert_as_gasts(node):
    try:
        expected = gast.ast_to_gast(node)
    except AttributeError:
        with pytest.raises(AttributeError):
            ast_to_gast(node)
    else:
        assert_same(ast_to_gast(node), expected)


MEASURE = """
import ast, sys, tracemalloc
import gast
from combined_source.utils.convert import ast_to_gast
convert = ast_to_gast if sys.argv[2] == "direct" else gast.ast_to_gast
with open(sys.argv[1], encoding="utf-8") as f:
    tree = ast.parse(f.read() * 20)
tracemalloc.start()
converted = convert(tree)
print(tracemalloc.get_traced_memory()[0])
"""


def test_converted_tree_takes_no_more_memory_than_gasts():
    # Nodes of a kind share their dict's keys, as gast's do (a tree whose
    # dicts were filled key by key took a third more). Each in a fresh
    # process: which conversion runs first decides the keys shared.
    sizes = [int(subprocess.run([sys.executable, "-c", MEASURE, real_files()[0], how], check=True,
                                stdout=subprocess.PIPE).stdout) for how in ("gast", "direct")]
    assert sizes[1] <= sizes[0] * 1.02


DEEP = """
import ast, sys, threading
from combined_source.utils.convert import ast_to_gast
sys.setrecursionlimit({limit})
node = ast.Name("x", ast.Load(), lineno=1, col_offset=0, end_lineno=1, end_col_offset=1)
for _ in range(200_000):
    node = ast.UnaryOp(ast.Not(), node, lineno=1, col_offset=0, end_lineno=1, end_col_offset=1)
def go():
    try:
        ast_to_gast(node)
    except RecursionError:
        print("RecursionError")
if {stack}:
    threading.stack_size({stack})
    t = threading.Thread(target=go)
    t.start(), t.join()
else:
    go()
"""


@pytest.mark.parametrize("limit, stack", [(1000, 0), (1_000_000, 0), (1_000_000, 256 << 10)])
def test_deep_tree_ends_in_recursion_error(conversion, tmp_path, limit, stack):
    # Deeper than the recursion limit, and than the C stack holds when the limit is far above it.
    if conversion == "python":
        pytest.skip("the Python loop is guarded by the interpreter itself")
    proc = subprocess.run([sys.executable, "-c", DEEP.format(limit=limit, stack=stack)], cwd=str(tmp_path),
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout == "RecursionError\n", proc.stderr[-3000:]


SECOND_INTERPRETER = """
import sys
sys.path.insert(0, {tests!r})
import interpreter
from combined_source.utils import convert  # the first interpreter loads the native module
interpreter.run_in_subinterpreter('''
import ast, gast
from combined_source.utils import HUJ, convert
same = gast.dump(convert.ast_to_gast(ast.parse("x = f(1)"))) == gast.dump(gast.parse("x = f(1)"))
print(convert._treeops is None, HUJ._walk is HUJ._python_walk, same, flush=True)
''', {own_gil})
"""


@pytest.mark.parametrize("own_gil", [False, True], ids=["shared-gil", "own-gil"])
def test_another_interpreter_uses_the_python_loops(conversion, tmp_path, own_gil):
    # The native module's state is the process's: a second interpreter is refused it.
    if conversion == "python":
        pytest.skip("one run covers both")
    script = SECOND_INTERPRETER.format(tests=os.path.dirname(__file__), own_gil=own_gil)
    proc = subprocess.run([sys.executable, "-c", script], cwd=str(tmp_path), capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0 and proc.stdout == "True True True\n", proc.stdout + proc.stderr[-3000:]
