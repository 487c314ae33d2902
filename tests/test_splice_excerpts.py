"""Excerpts of real model code (each names its package, version and
licence) on which correct splices were once rejected: each must be spliced
with every option set, keeping every comment."""
import ast
import io
import os
import tokenize

import pytest

from test_splice import CONV, DMAP, _module_rewrite, rewrite
from combined_source.utils import rewrite as rewriting

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "excerpts")
EXCERPTS = sorted(name for name in os.listdir(HERE) if name.endswith(".py"))


def _comments(text):
    return sorted(t.string for t in tokenize.generate_tokens(io.StringIO(text).readline) if t.type == tokenize.COMMENT)


@pytest.mark.parametrize("options", [{}, CONV, dict(orb_api=True), DMAP], ids=["default", "transpose", "orb-api", "dtype-map"])
@pytest.mark.parametrize("name", EXCERPTS)
def test_real_code_is_spliced(name, options):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        source = f.read()
    result = rewrite(source, **options)
    assert (result.whole, result.reason) == (False, None)
    output = source if result.output is None else result.output
    assert ast.dump(ast.parse(output)) == ast.dump(ast.parse(rewriting.render(_module_rewrite(source, options))))
    assert _comments(output) == _comments(source)
