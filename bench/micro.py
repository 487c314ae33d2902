"""Per-call cost of binding and dispatch: direct calls of the rewrite methods
with a trivial host (C-level callables for the host functions)."""
import json
import operator
import sys
import timeit

import gast

import peers as peers_mod
from combined_source.utils.RUF import ast_to_source_code

CASES = ("p.visit_Name(n)", "p.visit_Name(node=n)", "C.visit_Name(p, n)", "p.visit_Attribute(a)")


def main():
    quick = "--quick" in sys.argv
    peers = {k: v for k, v in peers_mod.load().items() if k in ("module", "cython", "python")}
    n = gast.parse("x").body[0].value
    a = gast.parse("y.x").body[0].value
    texts = {n: "x", a: "y.x"}
    results = {case: {} for case in CASES}
    for name, (globs, cls) in peers.items():
        # generic_visit, the renderer and the orb-API test cost next to nothing.
        C = type("Trivial", (cls,), {"generic_visit": id})
        p = C.__new__(C)
        C.__init__(p, None, type("T", (), {"object_like": type("O", (), {"obj": 1, "name": ""})})(),
                   type("K", (), {"dtype_mapping": {}})())
        globs.ast_to_source_code = texts.__getitem__
        globs.is_orb_api = operator.not_
        number = 20000 if quick else 200000
        for case in CASES:
            ns = {"p": p, "n": n, "a": a, "C": C}
            best = min(timeit.repeat(case, globals=ns, number=number, repeat=3 if quick else 7))
            results[case][name] = best / number * 1e9
        globs.ast_to_source_code = ast_to_source_code
        from combined_source.utils.W import is_orb_api
        globs.is_orb_api = is_orb_api
    print(json.dumps(results))


if __name__ == "__main__":
    main()
