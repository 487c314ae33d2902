"""Side-by-side benchmark of the native post-processor against its peers.

Each phase (tree size x host) runs in its own process; within a phase every
round times each peer once, in an order rotated from round to round, and the
figures reported are medians of the per-round ratios to the module.

    python bench/run.py                 # the full table
    python bench/run.py --quick         # one small round: a smoke test
    python bench/run.py --phase 10000:cheap --peer module   # one phase, for callgrind
"""
import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import gast  # noqa: E402

import hosts  # noqa: E402
import peers as peers_mod  # noqa: E402
import workload  # noqa: E402
from combined_source.utils.RUF import ast_to_source_code  # noqa: E402

SIZES = (1000, 10000, 100000)


def run_phase(size, host_kind, rounds, only=None):
    os.environ["APPLY_TRANSPOSE_OPTIMIZATION"] = "true"
    peers = peers_mod.load()
    if only:
        peers = {k: v for k, v in peers.items() if k in only}
    names = list(peers)
    src = workload.source(workload.classes_for(size))
    template = gast.parse(src)
    nodes = workload.count_nodes(template)
    texts = hosts.prerender(template) if host_kind == "cheap" else None
    transformer, config = hosts.host_objects()

    # Small trees are timed in batches, so that one sample lasts long enough
    # for the clock.
    batch = max(1, 30000 // nodes)

    def one(name, count=1):
        globs, cls = peers[name]
        trees = [gast.parse(src) for _ in range(count)]
        if texts is not None:
            renderer = hosts.cheap_renderer_for(template, trees, texts)
        else:
            renderer = ast_to_source_code
        procs = [cls(tree, transformer, config) for tree in trees]
        hosts.install(globs, renderer)
        gc.collect()
        gc.disable()
        t0 = time.perf_counter()
        for p in procs:
            p.transform()
        t1 = time.perf_counter()
        gc.enable()
        hosts.install(globs, ast_to_source_code)
        return (t1 - t0) / count, trees[0]

    # Every peer's rewritten tree must equal the module's (floor and traversal
    # rewrite nothing, so they are checked against the unchanged tree).
    reference = ast_to_source_code(one("module")[1]) if "module" in peers else None
    unchanged = ast_to_source_code(template)
    for name in names:
        got = ast_to_source_code(one(name)[1])
        want = unchanged if name in ("floor", "traversal") else reference
        if want is not None and got != want:
            raise SystemExit("peer %r rewrote the %d-node tree differently from the module"
                             % (name, nodes))

    times = {name: [] for name in names}
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            times[name].append(one(name, batch)[0])
    return {"size": size, "host": host_kind, "nodes": nodes, "times": times}


def summarize(result):
    times = result["times"]
    base = times.get("module")
    row = {"nodes": result["nodes"], "host": result["host"]}
    if base:
        row["module_us_per_node"] = statistics.median(base) / result["nodes"] * 1e6
    for name, ts in times.items():
        if base and name != "module":
            row[name] = statistics.median(t / b for t, b in zip(ts, base))
    return row


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="one small round of each phase")
    ap.add_argument("--rounds", type=int, default=0)
    ap.add_argument("--phase", help="SIZE:HOST, run just this phase in this process")
    ap.add_argument("--peer", action="append", help="restrict to these peers")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()

    if args.phase:
        size, host = args.phase.split(":")
        res = run_phase(int(size), host, args.rounds or 5, args.peer)
        print(json.dumps(res))
        return

    if args.quick:
        phases = [(1000, "cheap", 1), (1000, "real", 1)]
    else:
        phases = [(s, "cheap", args.rounds or (15 if s < 100000 else 5)) for s in SIZES]
        phases += [(1000, "real", args.rounds or 7), (10000, "real", args.rounds or 3)]
    rows = []
    for size, host, rounds in phases:
        cmd = [sys.executable, __file__, "--phase", "%d:%s" % (size, host), "--rounds", str(rounds)]
        for p in args.peer or ():
            cmd += ["--peer", p]
        out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
        rows.append(summarize(json.loads(out.strip().splitlines()[-1])))
    micro = subprocess.run([sys.executable, os.path.join(HERE, "micro.py")] + (["--quick"] if args.quick else []),
                           check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    if args.json:
        print(json.dumps({"phases": rows, "micro": json.loads(micro)}))
        return
    print_table(rows, json.loads(micro))


def print_table(rows, micro):
    cols = ["python", "cython", "floor", "traversal"]
    print("Python %s, %s" % (sys.version.split()[0], time.strftime("%Y-%m-%d")))
    print("%-8s %-6s %12s  %s" % ("nodes", "host", "module us/n", "  ".join("%9s" % c for c in cols)))
    for r in rows:
        print("%-8d %-6s %12.3f  %s" % (r["nodes"], r["host"], r.get("module_us_per_node", 0),
              "  ".join(("%8.2fx" % r[c]) if c in r else "%9s" % "-" for c in cols)))
    print()
    print("direct calls, ns per call (trivial host):")
    for name, per_peer in micro.items():
        print("  %-28s %s" % (name, "  ".join("%s %.0f" % (k, v) for k, v in per_peer.items())))
    cheap10 = next((r for r in rows if r["host"] == "cheap" and 5000 < r["nodes"] < 50000), None)
    if cheap10:
        print()
        print("summary: on the ~10k-node tree (cheap host) the python rules take %.2fx%s the module's time"
              % (cheap10.get("python", float("nan")),
                 (" and the cython build %.2fx" % cheap10["cython"]) if "cython" in cheap10 else ""))


if __name__ == "__main__":
    main()
