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


def nodes():
    n = gast.parse("x").body[0].value
    a = gast.parse("y.x").body[0].value
    return n, a, {n: "x", a: "y.x"}


def setup(cls, n, a):
    # generic_visit, the renderer and the orb-API test cost next to nothing.
    C = type("Trivial", (cls,), {"generic_visit": id})
    p = C.__new__(C)
    C.__init__(p, None, type("T", (), {"object_like": type("O", (), {"obj": 1, "name": ""})})(),
               type("K", (), {"dtype_mapping": {}})())
    return {"p": p, "n": n, "a": a, "C": C}


def trivial_setup(peer):
    """The namespace of the direct-call cases for one peer, its host functions installed."""
    globs, cls = peers_mod.load()[peer]
    n, a, texts = nodes()
    globs.ast_to_source_code = texts.__getitem__
    globs.is_orb_api = operator.not_
    return setup(cls, n, a)


def main():
    quick = "--quick" in sys.argv
    peers = {k: v for k, v in peers_mod.load().items() if k in ("module", "cython", "python")}
    n, a, texts = nodes()
    results = {case: {} for case in CASES}
    from combined_source.utils.W import is_orb_api
    setups = {}
    for name, (globs, cls) in peers.items():
        setups[name] = (globs, setup(cls, n, a))
    number = 20000 if quick else 100000
    rounds = 3 if quick else 9
    names = list(peers)
    samples = {(case, name): [] for case in CASES for name in names}
    for r in range(rounds):
        # Peers take turns within each round, in a rotated order.
        for name in names[r % len(names):] + names[:r % len(names)]:
            globs, ns = setups[name]
            globs.ast_to_source_code = texts.__getitem__
            globs.is_orb_api = operator.not_
            try:
                for case in CASES:
                    t = timeit.timeit(case, globals=ns, number=number)
                    samples[case, name].append(t / number * 1e9)
            finally:
                globs.ast_to_source_code = ast_to_source_code
                globs.is_orb_api = is_orb_api
    for (case, name), ts in samples.items():
        results[case][name] = sorted(ts)[len(ts) // 2]
    print(json.dumps(results))


if __name__ == "__main__":
    main()
