"""Instruction counts of one transform of the cheap-host workload, per peer,
with callgrind (counts are repeatable where the clock is not).

    python bench/count.py [SIZE]     # runs valgrind itself, prints a table
    python bench/count.py --direct   # instructions per direct call of a rewrite method
                                     # (--peer=NAME: of that peer only)

Besides the peers it counts the bound: the traversal alone plus a replay of
exactly the host calls that the module's rules made on the same tree.
"""
import ctypes
import glob
import gc
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import gast  # noqa: E402

import hosts  # noqa: E402
import peers as peers_mod  # noqa: E402
import workload  # noqa: E402
from combined_source.utils import ZOK  # noqa: E402

MODES = ("module", "cython", "python", "floor", "traversal", "replay", "replay-loop")


def region_lib(build):
    lib = os.path.join(build, "cgregion.so")
    if not os.path.exists(lib):
        subprocess.run(["cc", "-O1", "-shared", "-fPIC", "-o", lib, os.path.join(HERE, "cgregion.c")],
                       check=True)
    return ctypes.CDLL(lib)


def record_host_calls(src, template, texts):
    """The host calls the module's rules make on a fresh tree, in order."""
    calls = []

    def recorder(fn, rendered=False):
        def wrapped(*args, **kwargs):
            calls.append((rendered, fn, args, kwargs))
            return fn(*args, **kwargs)
        return wrapped

    class Environ:
        get = staticmethod(recorder(os.environ.get))

    class Os:
        environ = Environ

    class Gast:
        def __getattr__(self, name):
            value = getattr(gast, name)
            return recorder(value) if name in ("parse", "Attribute", "Load") else value

    tree = gast.parse(src)
    cheap = hosts.cheap_renderer(template, tree, texts)
    saved = {k: ZOK.__dict__[k] for k in ("ast_to_source_code", "is_orb_api", "os", "gast")}
    ZOK.ast_to_source_code = recorder(cheap, rendered=True)
    ZOK.is_orb_api = recorder(saved["is_orb_api"])
    ZOK.os = Os
    ZOK.gast = Gast()
    try:
        t, c = hosts.host_objects()
        ZOK.FrontendTorchCodePostProcessor(tree, t, c).transform()
    finally:
        ZOK.__dict__.update(saved)
    return calls


DIRECT_CALLS = 10000


def direct_child(peer, case):
    """Runs one direct-call case of micro.py DIRECT_CALLS times in the region
    (case "pass" runs the bare loop)."""
    import micro
    ns = micro.trivial_setup(peer)
    # The calls run in a function, so that the names are fast locals.
    src = "def run(p, n, a, C, times):\n    for _ in range(times):\n        %s\n" % case
    exec(src, ns)
    run = ns.pop("run")
    args = (ns["p"], ns["n"], ns["a"], ns["C"])
    run(*args, 100)

    def work():
        run(*args, DIRECT_CALLS)

    lib = region_lib(os.environ["BENCH_BUILD"])
    cb = ctypes.CFUNCTYPE(None)(work)
    gc.collect()
    gc.disable()
    lib.bench_region(cb)


def child(mode, size):
    if mode.startswith("direct:"):
        _, peer, case = mode.split(":", 2)
        return direct_child(peer, case)
    os.environ["APPLY_TRANSPOSE_OPTIMIZATION"] = "true"
    src = workload.source(workload.classes_for(size))
    template = gast.parse(src)
    texts = hosts.prerender(template)
    tree = gast.parse(src)
    cheap = hosts.cheap_renderer(template, tree, texts)
    t, c = hosts.host_objects()
    peers = peers_mod.load()
    if mode in ("replay", "replay-loop"):
        calls = record_host_calls(src, template, texts)
        cls = peers["traversal"][1]
        p = cls(tree, t, c)

        if mode == "replay":
            def work():
                p.transform()
                for rendered, fn, args, kwargs in calls:
                    r = fn(*args, **kwargs)
                    if rendered:
                        r.strip()
        else:
            def work():
                for rendered, fn, args, kwargs in calls:
                    pass
    else:
        globs, cls = peers[mode]
        hosts.install(globs, cheap)
        p = cls(tree, t, c)

        def work():
            p.transform()

    lib = region_lib(os.environ["BENCH_BUILD"])
    cb = ctypes.CFUNCTYPE(None)(work)
    gc.collect()
    gc.disable()
    lib.bench_region(cb)


def count(mode, size, build):
    """Instructions of one region run of `mode` on the `size` workload."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        env = dict(os.environ, BENCH_BUILD=build, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                        "--callgrind-out-file=" + out, sys.executable, __file__,
                        "--child", mode, str(size)],
                       check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        total = 0
        for f in glob.glob(out + ".*"):
            with open(f) as fh:
                for line in fh:
                    if line.startswith("totals:"):
                        total += int(line.split()[1])
        return total


def direct(build):
    """Instructions per direct call of the rewrite methods (trivial host), per peer."""
    import micro
    only = [a.split("=", 1)[1] for a in sys.argv if a.startswith("--peer=")]
    peers = [p for p in ("module", "cython", "python") if p in peers_mod.load() and (not only or p in only)]
    print("instructions per direct call (trivial host), callgrind:")
    for peer in peers:
        loop = count("direct:%s:pass" % peer, 0, build)
        row = []
        for case in micro.CASES:
            row.append((count("direct:%s:%s" % (peer, case), 0, build) - loop) / DIRECT_CALLS)
        print("  %-7s %s" % (peer, "  ".join("%s %.0f" % (c, v) for c, v in zip(micro.CASES, row))))


def main():
    sizes = [a for a in sys.argv[1:] if a.isdigit()]
    size = int(sizes[0]) if sizes else 10000
    build = os.path.join(HERE, "_build", "py%d%d" % sys.version_info[:2])
    os.makedirs(build, exist_ok=True)
    region_lib(build)
    if "--direct" in sys.argv:
        direct(build)
        return
    if "--linear" in sys.argv:
        # The module's instructions per node as the tree grows.
        print("module instructions per node (cheap host), callgrind:")
        for n in (1000, 10000, 100000):
            nodes = workload.count_nodes(gast.parse(workload.source(workload.classes_for(n))))
            print("  %7d nodes  %8.1f" % (nodes, count("module", n, build) / nodes))
        return
    counts = {}
    for mode in MODES:
        if mode == "cython" and "cython" not in peers_mod.load():
            continue
        counts[mode] = count(mode, size, build)
    # The replay ran the traversal and then the host calls; its bare loop is
    # not work that the rules must do.
    counts["bound"] = counts["replay"] - counts["replay-loop"]
    if "--json" in sys.argv:
        print(json.dumps(counts))
        return
    mod = counts["module"]
    print("instructions for one transform of the %d-node workload (cheap host), callgrind:" % size)
    for name in ("module", "cython", "python", "floor", "traversal", "bound"):
        if name in counts:
            print("  %-10s %14d  %6.3fx module" % (name, counts[name], counts[name] / mod))
    print("  module's own work over the bound: %+.2f%% of the bound"
          % ((mod - counts["bound"]) / counts["bound"] * 100))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
    else:
        main()
