"""Instruction counts of one transform of the cheap-host workload, per peer,
with callgrind (counts are repeatable where the clock is not).

    python bench/count.py [SIZE]     # runs valgrind itself, prints a table
    python bench/count.py --direct   # instructions per direct call of a rewrite method
                                     # (--peer=NAME: of that peer only)
    python bench/count.py --keep=DIR MODE...   # only these modes (e.g. module replay),
                                     # their callgrind files kept in DIR for callgrind_annotate
    --layouts=N                      # the median over N memory layouts (see below)

Besides the peers it counts the bound: the traversal alone plus a replay of
exactly the host calls that the module's rules made on the same tree (less
the replay's own loop), and the floor bound: the same with the floor's
rewrite methods, which only call generic_visit, in place of the traversal.
--old-bound also counts the bound as first measured (every call replayed
through f(*args, **kwargs) and every rendered text through .strip()).
"""
import ctypes
import glob
import gc
import json
import os
import subprocess
import sys
import tempfile

# Where the interpreter's objects land shifts the counts: the type attribute
# cache is indexed by a type's version tag and the name's address, so which
# look-ups collide (and walk the MRO again) depends on the memory layout,
# by up to 2 % of a transform on 3.12. A child run under BENCH_LAYOUT=k
# allocates some objects and tagged classes before anything is imported;
# count() reports the median over several such layouts.
_layout = int(os.environ.get("BENCH_LAYOUT", "0"))
_padding = [object() for _ in range(_layout * 997)]
_padding += [type("Pad%d" % i, (), {}) for i in range(_layout * 13)]
for _cls in _padding[_layout * 997:]:
    getattr(_cls, "pad", None)  # gives the class its version tag

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import gast  # noqa: E402

import hosts  # noqa: E402
import peers as peers_mod  # noqa: E402
import workload  # noqa: E402
from combined_source.utils import ZOK  # noqa: E402

MODES = ("module", "cython", "python", "floor", "traversal", "replay", "replay-loop",
         "replay-floor", "replay-floor-loop")
# The bound as first measured: each call through f(*args, **kwargs), which
# builds a keyword dict per call, and every rendered text through .strip().
OLD_BOUND_MODES = ("replay-old", "replay-old-loop")


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


def replay_work(mode, p, calls):
    """The region body of a replay mode: the traversal `p`, then the host
    calls as the module made them; a "-loop" mode runs the same loops with
    nothing in them, to be subtracted.

    A call without keywords is replayed as f(*args), which hands the tuple
    over as it is; only calls that had keywords build a keyword dict (as the
    module's own call of a class with keyword names does). A rendered text
    is stripped here only where the module would call its strip: exact str
    is stripped by the module itself, which is its own work."""
    if mode.startswith("replay-old"):
        if mode.endswith("-loop"):
            def work():
                for rendered, fn, args, kwargs in calls:
                    pass
        else:
            def work():
                p.transform()
                for rendered, fn, args, kwargs in calls:
                    r = fn(*args, **kwargs)
                    if rendered:
                        r.strip()
        return work
    positional = [(fn, args) for rendered, fn, args, kwargs in calls if not kwargs]
    keyword = [(fn, args, kwargs) for rendered, fn, args, kwargs in calls if kwargs]
    # Texts whose strip the module calls (none in this workload: the
    # renderer returns exact str).
    texts = [fn(*args) for rendered, fn, args, kwargs in calls if rendered]
    stripped = [text for text in texts if type(text) is not str]
    if mode.endswith("-loop"):
        def work():
            for fn, args in positional:
                pass
            for fn, args, kwargs in keyword:
                pass
            for text in stripped:
                pass
    else:
        def work():
            p.transform()
            for fn, args in positional:
                fn(*args)
            for fn, args, kwargs in keyword:
                fn(*args, **kwargs)
            for text in stripped:
                text.strip()
    return work


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
    if mode.startswith("replay"):
        calls = record_host_calls(src, template, texts)
        p = peers["floor" if mode.startswith("replay-floor") else "traversal"][1](tree, t, c)
        work = replay_work(mode, p, calls)
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


def layouts():
    """How many memory layouts count() takes the median of: --layouts=N, by
    default 3 for the whole-tree table and 1 for --direct and --linear."""
    given = [a.split("=", 1)[1] for a in sys.argv if a.startswith("--layouts=")]
    if given:
        return int(given[0])
    return 1 if "--direct" in sys.argv or "--linear" in sys.argv else 3


def count(mode, size, build, keep=None):
    """Instructions of one region run of `mode` on the `size` workload, the
    median over layouts(); with `keep`, the callgrind files are left in that
    folder as <mode>.<layout>.cg.<n>."""
    runs = sorted(count_once(mode, size, build, k, keep) for k in range(layouts()))
    return runs[len(runs) // 2]


def count_once(mode, size, build, layout, keep):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(keep or tmp, "%s.%d.cg" % (mode.replace(":", "_"), layout))
        for old in glob.glob(out + ".*"):
            os.remove(old)
        env = dict(os.environ, BENCH_BUILD=build, PYTHONHASHSEED="0", BENCH_LAYOUT=str(layout))
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
    keep = [a.split("=", 1)[1] for a in sys.argv if a.startswith("--keep=")]
    if keep:
        os.makedirs(keep[0], exist_ok=True)
        for mode in [a for a in sys.argv[1:] if a in MODES + OLD_BOUND_MODES]:
            runs = [count_once(mode, size, build, k, keep[0]) for k in range(layouts())]
            print("%-18s %s" % (mode, " ".join("%12d" % r for r in runs)))
        return
    if "--linear" in sys.argv:
        # The module's instructions per node as the tree grows.
        print("module instructions per node (cheap host), callgrind:")
        for n in (1000, 10000, 100000):
            nodes = workload.count_nodes(gast.parse(workload.source(workload.classes_for(n))))
            print("  %7d nodes  %8.1f" % (nodes, count("module", n, build) / nodes))
        return
    counts = {}
    for mode in MODES + (OLD_BOUND_MODES if "--old-bound" in sys.argv else ()):
        if mode == "cython" and "cython" not in peers_mod.load():
            continue
        counts[mode] = count(mode, size, build)
    # The replay ran the traversal and then the host calls; its bare loop is
    # not work that the rules must do.
    counts["bound"] = counts["replay"] - counts["replay-loop"]
    # The same with the floor's rewrite methods (each only calls
    # generic_visit) in place of the bare traversal: what dispatching to a
    # rewrite method costs any implementation through the host's visit.
    counts["floor bound"] = counts["replay-floor"] - counts["replay-floor-loop"]
    if "replay-old" in counts:
        counts["bound (old replay)"] = counts["replay-old"] - counts["replay-old-loop"]
    if "--json" in sys.argv:
        print(json.dumps(counts))
        return
    mod = counts["module"]
    print("instructions for one transform of the %d-node workload (cheap host), callgrind:" % size)
    for name in ("module", "cython", "python", "floor", "traversal", "bound", "floor bound",
                 "bound (old replay)"):
        if name in counts:
            print("  %-18s %14d  %6.3fx module" % (name, counts[name], counts[name] / mod))
    for name in ("bound", "floor bound", "bound (old replay)"):
        if name in counts:
            print("  module's own work over the %s: %+.2f%% of the %s"
                  % (name, (mod - counts[name]) / counts[name] * 100, name))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
    else:
        main()
