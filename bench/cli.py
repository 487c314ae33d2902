"""Speed of the command line on a generated corpus, new against old.

The corpus is 400 files of the benchmark's generated translator output with
comments, blank lines and both quote styles added (about 24k lines). Three
peers run the same command line (``--check -q``) in fresh processes, taking
turns round by round:

  new    the command line as it is: splices the changed spans into the text
  today  the same command line with the host stand-ins' earlier renderer and
         traversal, gast's own conversion and the check's tree comparison
         in Python swapped in (bench/today.py): every rendering converts the
         node back and unparses it, every child is visited through `visit`
  old    the same command line with the rewrite of each text replaced by the
         earlier whole-file path: gast.parse, render, transform, render again

Then one serial pass of each, in this process, is broken down by stage
(new and today side by side, file by file), beside ``gast.parse`` alone on
the same files.

With ``--real DIR`` (the timm and torchvision sources, which scripts/bench
extracts), a copy of them is rewritten in place once, so that every file is
unchanged, as in a repository the command line keeps; then ``--check -q -j
1`` runs over it in fresh processes, taking turns round by round: *cold*
with an empty cache folder (everything rewritten, the cache written),
*uncached* with ``--no-cache``, and *cached* with the cache that an earlier
run left. The figures are CPU seconds (user and system, of the process and
its workers).

    python bench/cli.py                 # the report
    python bench/cli.py --quick         # a smoke run: 40 files, one round
    python bench/cli.py --real DIR --cache-only   # only the cached run against the cold one
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import gast  # noqa: E402

import today  # noqa: E402
import workload  # noqa: E402

FILES = 400
CLASSES_PER_FILE = 3
ARGS = ["--transpose", "--object-name", workload.CONV_NAME]

_HEADER = '''"""Generated module {n}: convolution layers translated to orb."""
import numpy as np  # numeric helpers
import orb
'''


def commented(text, n):
    """`text` with comments, blank lines and a change of quote style added."""
    out = []
    for i, line in enumerate(text.splitlines()):
        stripped = line.strip()
        indent = line[: len(line) - len(line.lstrip())]
        if stripped.startswith(("class ", "def ")):
            out.append("")
            out.append("%s# %s of file %d" % (indent, stripped.split("(")[0], n))
        if i % 3 == 0 and stripped and not stripped.startswith(("class ", "def ")):
            line += "  # step %d" % i
        if i % 2:
            line = line.replace('"NCHW"', "'NCHW'")
        out.append(line)
    return "\n".join(out) + "\n"


def make_corpus(folder, files=FILES):
    lines = 0
    for n in range(files):
        body = workload.source(CLASSES_PER_FILE).replace("class Conv{", "class Conv%d_{" % n)
        text = _HEADER.format(n=n) + commented(body, n)
        lines += text.count("\n")
        with open(os.path.join(folder, "m%03d.py" % n), "w", encoding="utf-8") as f:
            f.write(text)
    return lines


def old_rewrite_text(name, text, options, allow_reformat=False):
    """The earlier rewrite of one text: two whole renderings per file."""
    from combined_source.utils import rewrite
    from combined_source.utils.ZOK import FrontendTorchCodePostProcessor

    bom = "\ufeff" if text.startswith("\ufeff") else ""
    tree = gast.parse(text[len(bom):])
    before = rewrite.render(tree)
    obj = rewrite.OrbApiObject() if options.orb_api else object()
    transformer = rewrite.Transformer(rewrite.ObjectLike(obj, options.object_name))
    config = rewrite.BaseTransformerConfig(options.dtype_map)
    FrontendTorchCodePostProcessor(tree, transformer, config, options.new_name).transform()
    after = rewrite.render(tree)
    if after == before:
        return rewrite.Result(None), ()
    if "\r\n" in text[: text.find("\n") + 1]:
        after = after.replace("\n", "\r\n")
    return rewrite.Result(bom + after), ()


def run_cli(peer, argv):
    """Runs the command line in this process (the worker processes that it
    starts inherit the patched rewrite)."""
    from combined_source.utils import cli
    from combined_source.utils.cli import process

    if peer == "old":
        process.rewrite_text = old_rewrite_text
    elif peer == "today":
        today.use(True)
    return cli.main(argv)


def timed_run(peer, folder, jobs):
    # Without the cache: every run does the whole work (and the peers share the cache's key).
    cmd = [sys.executable, __file__, "--cli", peer, "--", "--check", "-q", "--no-cache", "-j", str(jobs)] + ARGS + [
        folder]
    env = dict(os.environ, PYTHONHASHSEED="0")
    t0 = time.perf_counter()
    proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    elapsed = time.perf_counter() - t0
    if proc.returncode not in (0, 1):
        raise SystemExit("%s run failed: %s" % (peer, proc.stderr.decode()))
    return elapsed


def timed_writes(names, outputs):
    """Seconds to write each changed output (None: unchanged) over a copy of
    its file, as --in-place writes it."""
    from combined_source.utils.cli import files

    out_dir = tempfile.mkdtemp()
    try:
        targets = []
        for name in names:
            targets.append(os.path.join(out_dir, os.path.basename(name)))
            shutil.copyfile(name, targets[-1])
        t0 = time.perf_counter()
        for target, output in zip(targets, outputs):
            if output is not None:
                files.write_atomically(target, output.encode("utf-8"))
        return time.perf_counter() - t0
    finally:
        shutil.rmtree(out_dir)


def stages(folder):
    """Seconds per stage of one serial pass of each peer over the corpus."""
    from combined_source.utils import rewrite as rewriting
    from combined_source.utils.ZOK import FrontendTorchCodePostProcessor

    os.environ[rewriting.TRANSPOSE_ENV] = "true"
    names = sorted(os.path.join(folder, f) for f in os.listdir(folder))
    texts = []
    for name in names:
        with open(name, "rb") as f:
            texts.append(f.read().decode("utf-8"))
    options = rewriting.Options(workload.CONV_NAME, False, "arr", {})
    transformer = rewriting.Transformer(rewriting.ObjectLike(object(), workload.CONV_NAME))
    config = rewriting.BaseTransformerConfig({})
    new, old, earlier = {}, {}, {}
    outputs = {"new": [], "old": [], "today": []}

    def run_new(text):
        outputs["new"].append(rewriting.rewrite(text, options, FrontendTorchCodePostProcessor, new).output)

    def run_today(text):
        today.use(True)
        try:
            outputs["today"].append(rewriting.rewrite(text, options, FrontendTorchCodePostProcessor, earlier).output)
        finally:
            today.use(False)

    def run_old(text):
        t0 = time.perf_counter()
        tree = gast.parse(text)
        t1 = time.perf_counter()
        before = rewriting.render(tree)
        t2 = time.perf_counter()
        FrontendTorchCodePostProcessor(tree, transformer, config, "arr").transform()
        t3 = time.perf_counter()
        after = rewriting.render(tree)
        t4 = time.perf_counter()
        for key, t in (("parse+convert", t1 - t0), ("render before", t2 - t1), ("transform", t3 - t2),
                       ("render after", t4 - t3)):
            old[key] = old.get(key, 0.0) + t
        outputs["old"].append(after if after != before else None)

    # The peers take turns file by file, so that noise from the rest of the
    # machine falls on both alike.
    for i, text in enumerate(texts):
        runs = (run_new, run_today, run_old)
        for run in runs[i % 3:] + runs[:i % 3]:
            run(text)
    if outputs["today"] != outputs["new"]:
        raise SystemExit("the new and today's outputs differ")
    for peer, times in (("new", new), ("today", earlier), ("old", old)):
        times["write"] = timed_writes(names, outputs[peer])
        times["total"] = sum(times.values())

    t0 = time.perf_counter()
    for text in texts:
        gast.parse(text)
    alone = time.perf_counter() - t0
    changed = sum(o is not None for o in outputs["new"])
    return new, earlier, old, alone, changed


_SPIN = "x = 0\nfor i in range(%d): x += i"


def machine_scaling(rounds, loops=10_000_000):
    """What this machine gives two processes at once: the median over
    `rounds` of (two CPU-bound processes one after the other) / (the same
    two at once). Other load on the machine lowers it, and so does any
    sharing of the two cores; it bounds the -j 2 scaling of the command line."""
    command = [sys.executable, "-c", _SPIN % loops]
    ratios = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(2):
            subprocess.run(command, check=True)
        serial = time.perf_counter() - t0
        t0 = time.perf_counter()
        procs = [subprocess.Popen(command) for _ in range(2)]
        for p in procs:
            p.wait()
        ratios.append(serial / (time.perf_counter() - t0))
    return statistics.median(ratios)


def cpu_run(argv, cwd, env):
    """CPU seconds (user and system) of one run of the command line in a fresh
    process, with its workers, and its stderr."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.run([sys.executable, "-m", "combined_source.utils"] + argv, cwd=cwd, env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode not in (0, 1):
        raise SystemExit("run %s failed: %s" % (argv, proc.stderr.decode()))
    return after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime, proc.stderr.decode()


def cached_against_cold(source, rounds):
    """Prints the CPU time of a fully cached --check against a cold one on a
    rewritten copy of the sources in `source`."""
    work = tempfile.mkdtemp(prefix="orb-cache-bench-")
    try:
        repo = os.path.join(work, "repo")
        # Compiled modules are kept (in a folder of the benchmark's own), as an
        # installed package has them: a start without them compiles every module.
        env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
        env["PYTHONPYCACHEPREFIX"] = os.path.join(work, "pycache")
        shutil.copytree(source, repo)
        files = lines = 0
        for top, _, names in os.walk(repo):
            for name in names:
                if name.endswith(".py"):
                    with open(os.path.join(top, name), "rb") as f:
                        lines += f.read().count(b"\n")
                    files += 1
        cpu_run(["--in-place", "-q", "--no-cache", "-j", "2", "."], repo, env)  # every file unchanged from here on
        warm = os.path.join(work, "warm")
        check = ["--check", "-q", "-j", "1", "."]
        _, err = cpu_run(["--check", "-v", "-j", "1", "--cache-dir", warm, "."], repo, env)
        _, err = cpu_run(["--check", "-v", "-j", "1", "--cache-dir", warm, "."], repo, env)
        hits = err.count(": unchanged (cached)\n")
        peers = ("cold", "uncached", "cached")
        times = {peer: [] for peer in peers}
        for r in range(rounds):
            for peer in peers[r % 3:] + peers[:r % 3]:
                if peer == "cold":
                    cold = tempfile.mkdtemp(dir=work)
                    times[peer].append(cpu_run(["--cache-dir", cold] + check, repo, env)[0])
                    shutil.rmtree(cold)
                elif peer == "uncached":
                    times[peer].append(cpu_run(["--no-cache"] + check, repo, env)[0])
                else:
                    times[peer].append(cpu_run(["--cache-dir", warm] + check, repo, env)[0])
        med = {peer: statistics.median(times[peer]) for peer in peers}
        print("cached run against a cold one, --check -j 1 on the timm and torchvision sources rewritten once")
        print("(%d files, %d lines; %d answered by the cache; CPU seconds, medians of %d rounds; ratios: medians"
              " of per-round ratios)" % (files, lines, hits, rounds))
        print("  cold %.3f s  uncached %.3f s  cached %.3f s   cached/cold %.2f %%  cold/uncached %.3fx" % (
            med["cold"], med["uncached"], med["cached"],
            100 * statistics.median(c / o for c, o in zip(times["cached"], times["cold"])),
            statistics.median(c / u for c, u in zip(times["cold"], times["uncached"]))))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--cli":
        sys.exit(run_cli(sys.argv[2], sys.argv[4:]))
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=3, help="timed runs of each peer and job count")
    ap.add_argument("--quick", action="store_true", help="a smoke run: 40 files, one round")
    ap.add_argument("--real", metavar="DIR", help="sources on which to time a cached run against a cold one")
    ap.add_argument("--cache-only", action="store_true", help="only the cached run against the cold one")
    args = ap.parse_args()
    files = 40 if args.quick else FILES
    rounds = 1 if args.quick else args.rounds
    if args.cache_only:
        if not args.real:
            raise SystemExit("--cache-only needs --real DIR")
        print("Python %s, %s" % (sys.version.split()[0], time.strftime("%Y-%m-%d")))
        cached_against_cold(args.real, rounds)
        return
    folder = tempfile.mkdtemp(prefix="orb-cli-bench-")
    try:
        lines = make_corpus(folder, files)
        print("Python %s, %s: %d files, %d lines, %s" % (
            sys.version.split()[0], time.strftime("%Y-%m-%d"), files, lines, " ".join(ARGS)))
        print()
        print("command line, wall seconds (median of %d; peers take turns)   lines/s" % rounds)
        peers = ("new", "today", "old")
        walls = {}
        for jobs in (1, 2):
            times = {peer: [] for peer in peers}
            for r in range(rounds):
                for peer in peers[r % 3:] + peers[:r % 3]:
                    times[peer].append(timed_run(peer, folder, jobs))
            walls[jobs] = times
            med = {peer: statistics.median(times[peer]) for peer in peers}
            ratio = {peer: statistics.median(n / o for n, o in zip(times["new"], times[peer])) for peer in peers}
            print("  -j %d   new %6.2f s  today %6.2f s  old %6.2f s   new/today %.2fx  new/old %.2fx"
                  "     new %6.0f  today %6.0f  old %6.0f"
                  % (jobs, med["new"], med["today"], med["old"], ratio["today"], ratio["old"],
                     lines / med["new"], lines / med["today"], lines / med["old"]))
        print("  -j 2 scaling (serial / -j 2, median of rounds):  new %.2fx  today %.2fx" % tuple(
            statistics.median(a / b for a, b in zip(walls[1][peer], walls[2][peer])) for peer in ("new", "today")))
        print("  the machine's own: two CPU-bound processes at once against one after the other: %.2fx"
              % machine_scaling(rounds, 2_000_000 if args.quick else 10_000_000))
        new, earlier, old, alone, changed = stages(folder)
        print()
        print("one serial pass in one process, by stage (seconds; %d of %d files changed):" % (changed, files))
        print("  %-10s %8s %8s %10s" % ("stage", "new", "today", "new/today"))
        # The new peer records the fields while converting: no record stage of its own.
        for stage in list(earlier) + [s for s in new if s not in earlier]:
            print("  %-10s %8.2f %8.2f %9.2fx" % (stage, new.get(stage, 0.0), earlier.get(stage, 0.0),
                                                 new.get(stage, 0.0) / earlier[stage] if earlier.get(stage) else 0.0))
        print("  old:  " + "  ".join("%s %.2f" % kv for kv in old.items()))
        print("  gast.parse alone: %.2f" % alone)
        spent_new = sum(v for k, v in new.items() if k in ("record", "splice", "verify", "render"))
        spent_old = old["render before"] + old["render after"]
        print("  what replaces the two renderings (record+splice+verify[+render]): %.2f s against %.2f s"
              % (spent_new, spent_old))
        if args.real:
            print()
            cached_against_cold(args.real, rounds)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
