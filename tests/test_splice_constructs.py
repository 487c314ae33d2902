"""Constructs around a change that the check must confirm: each correct
splice is handed out as spliced text, on every version that parses it."""
import ast
import sys

import pytest

from test_splice import _module_rewrite, original_tree, rewrite  # noqa: F401 (a fixture)
from combined_source.utils import rewrite as rewriting

API = dict(orb_api=True)
CONV = dict(transpose=True, object_name="torch.nn.modules.conv._ConvNd")

# (source, options, the oldest version that parses it)
CASES = [
    # decorators of functions and classes
    ("class M:\n    @dec(torch.Tensor.cpu)\n    def cpu(self):\n        pass\n", {}, (3, 8)),
    ("@dec(Tensor)\nclass M:\n    pass\n", {}, (3, 8)),
    ("@a\n@b(x=torch.Tensor)  # c\nasync def f():\n    pass\n", {}, (3, 8)),
    ("class M:\n    @property\n    @dec(nn.Parameter)\n    def w(self): return self.w\n", API, (3, 8)),
    # argument kinds, annotations, defaults, return annotations
    ("def f(*, b: Tensor):\n    pass\n", {}, (3, 8)),
    ("def f(a, *, b: Tensor = None, c=torch.Tensor):\n    pass\n", {}, (3, 8)),
    ("def f(a: Tensor, /, b: torch.Tensor, *c: Tensor, d: Tensor, **e: Tensor) -> Tensor:\n    pass\n", {}, (3, 8)),
    ("def f(self, /, *, k: Tensor):\n    return self\n", API, (3, 8)),
    ("def f(\n    x,  # c\n    *,\n    y: Tensor,\n) -> torch.Tensor:\n    pass\n", {}, (3, 8)),
    ("def f(x=lambda self, *, t=Tensor: self) -> 'Tensor':\n    pass\n", API, (3, 8)),
    ("g = lambda a, *b, c=torch.Tensor, **d: Tensor\n", {}, (3, 8)),
    ("g = lambda self, /, k=1: self.w\n", API, (3, 8)),
    # f-strings
    ("y = f'{torch.Tensor}{x!r:>{Tensor}}'  # c\n", {}, (3, 8)),
    ("y = f'a{f\"{Tensor}\"}b'\n", {}, (3, 8)),
    ("y = f'{self.w=}'\n", API, (3, 8)),
    ("y = (f'a{x}'  # c\n     f'{self.w}b' 'c' f'{Tensor!r}')\n", API, (3, 8)),
    ("y = f'{ {\"k\": Tensor}[\"k\"] }'\n", {}, (3, 12)),
    ("y = f'{Tensor:{\"x\"}}' f'{nn.Parameter}'\n", {}, (3, 12)),
    # statements with names of their own
    ("def f(self):\n    global Tensor\n    nonlocal_ = Tensor\n    return self\n", API, (3, 8)),
    ("def f():\n    x = 1\n    def g():\n        nonlocal x\n        return torch.Tensor\n", {}, (3, 8)),
    ("try:\n    pass\nexcept Tensor as e:\n    raise torch.Tensor from e\n", {}, (3, 8)),
    ("try:\n    pass\nexcept* (Tensor, E) as self:\n    pass\n", API, (3, 11)),
    ("with torch.Tensor() as t, open(x) as (a, b):\n    pass\n", {}, (3, 8)),
    ("import torch as Tensor\nfrom a import b as c\nx = Tensor\n", {}, (3, 8)),
    # match statements
    ("match x:\n    case torch.Tensor(a=1) | nn.Parameter():\n        y = Tensor\n    case [1, *r] if r == Tensor:\n"
     "        pass\n    case {'k': torch.Tensor.cpu, **kw}:\n        pass\n", {}, (3, 10)),
    # type parameters
    ("def f[T: Tensor](x: T) -> T:\n    pass\n", {}, (3, 12)),
    ("class C[T = torch.Tensor, *Ts, **P]:\n    pass\ntype A[K: Tensor] = list[torch.Tensor]\n", {}, (3, 13)),
    # expressions
    ("if (t := torch.Tensor) is not None:\n    y = [u := Tensor, t]\n", {}, (3, 8)),
    ("a, *b = *torch.Tensor, Tensor\nf(*Tensor, **nn.Parameter)\n", {}, (3, 8)),
    ("y = a < torch.Tensor <= b is not Tensor in c\n", {}, (3, 8)),
    ("y = x[torch.Tensor:Tensor, ..., ::nn.Parameter]\ny = x[Tensor, 1:2]\n", {}, (3, 8)),
    ("y = [Tensor for Tensor in torch.Tensor if Tensor]\ny = {k: nn.Parameter async for k in z}\n", {}, (3, 8)),
    ("y = (yield torch.Tensor)\nz = await Tensor\n", {}, (3, 8)),
    # nested functions and classes, async forms
    ("class A:\n    class B:\n        def f(self):\n            def g(x: Tensor):\n                return self\n"
     "            return g\n", API, (3, 8)),
    ("async def f(self):\n    async with torch.Tensor() as t:\n        async for x in Tensor:\n            await self\n",
     API, (3, 8)),
    # statements sharing a line, continued lines, tabs and form feeds
    ("a = 1; y = torch.Tensor; z = Tensor  # c\n", {}, (3, 8)),
    ("if a: y = torch.Tensor; z = 1\nelse: y = Tensor\n", {}, (3, 8)),
    ("y = torch.Tensor + \\\n    Tensor\nz = \\\n  nn.Parameter\n", {}, (3, 8)),
    ("if a:\n\ty = torch.Tensor\n\tif b:\n\t\tz = Tensor\n", {}, (3, 8)),
    ("\x0c\nclass A:\n\x0c\n    y = Tensor\n    \x0cz = torch.Tensor\n", {}, (3, 8)),
    ("def f(self):\n\treturn self.w  # c\n", API, (3, 8)),
    # layout constants and shapes in real-code positions
    ("@dec(data_format='NCHW')\ndef f(w=orb_empty((out_channels, c, k))):\n    pass\n", CONV, (3, 8)),
]


@pytest.mark.usefixtures("original_tree")
@pytest.mark.parametrize("source, options, since", CASES)
def test_a_correct_splice_is_confirmed(source, options, since):
    if sys.version_info < since:
        pytest.skip("the grammar of this version does not have it")
    result = rewrite(source, **options)
    assert result.output is not None and (result.whole, result.reason) == (False, None)
    want = ast.dump(ast.parse(rewriting.render(_module_rewrite(source, options))))
    assert ast.dump(ast.parse(result.output)) == want
