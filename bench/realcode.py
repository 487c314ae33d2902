"""The command line on real model code: what scripts/realcode prints.

For each option set, the corpus is copied, rewritten with ``--in-place``,
and each file is judged against the module's own rewrite of its tree:

  files      .py files the grammar of this interpreter parses (others: skipped)
  changed    files the command line rewrote
  rejected   files whose splice was rejected and that were left as they
             are ("not rewritten")
  whole      files rendered whole instead (only with --allow-reformat)
  comments   comments of the changed files missing from their output
  trees      rewritten files whose parse differs from the module's rewrite
             of the file's tree (compared as trees: the whole rendering of
             the tree is no reference, it turns a raw f-string's ``\\1``
             into ``\x01``)
  again      whether ``--check`` on the output finds nothing to do

    python bench/realcode.py SRC [--keep DIR] [--set NAME ...] [-j N]
"""
import argparse
import ast
import collections
import io
import json
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import tokenize

import gast

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from combined_source.utils import rewrite as rewriting  # noqa: E402
from combined_source.utils.KQA import BaseTransformerConfig  # noqa: E402
from combined_source.utils.rewrite.trees import same_tree  # noqa: E402
from combined_source.utils.TEH import ObjectLike, Transformer  # noqa: E402
from combined_source.utils.ZOK import FrontendTorchCodePostProcessor  # noqa: E402

CONV = "torch.nn.modules.conv._ConvNd"
OPTION_SETS = [
    ("default", []),
    ("transpose", ["--transpose", "--object-name", CONV]),
    ("orb-api", ["--orb-api"]),
    ("dtype-map", ["--dtype-map", os.path.join(ROOT, "examples", "dtype_map.json")]),
]


def comments(text):
    """The comments of `text` with their counts."""
    found = collections.Counter()
    try:
        for tok in tokenize.generate_tokens(io.StringIO(text).readline):
            if tok.type == tokenize.COMMENT:
                found[tok.string.rstrip()] += 1
    except (tokenize.TokenError, SyntaxError):
        pass
    return found


def module_rewrite(text, args):
    """The module's rewrite of the tree of `text`."""
    tree = gast.parse(text.lstrip(rewriting.BOM))
    obj = rewriting.OrbApiObject() if "--orb-api" in args else object()
    transformer = Transformer(ObjectLike(obj, args[args.index("--object-name") + 1] if "--object-name" in args else ""))
    dtype_map = None
    if "--dtype-map" in args:
        with open(args[args.index("--dtype-map") + 1]) as f:
            dtype_map = json.load(f)
    config = BaseTransformerConfig(dtype_map)
    if "--transpose" in args:
        os.environ[rewriting.TRANSPOSE_ENV] = "true"
    else:
        os.environ.pop(rewriting.TRANSPOSE_ENV, None)
    FrontendTorchCodePostProcessor(tree, transformer, config, "arr").transform()
    return tree


def judge(job):
    """Comments lost and whether the tree is off, for one changed file."""
    rel, text, out, args = job
    lost = sum((comments(text) - comments(out)).values())
    got, want = gast.ast_to_gast(ast.parse(out)), module_rewrite(text, args)
    # A t-string's field holds the text of its expression: the module keeps
    # the text it had, the output the text of the rewritten expression.
    fields = [[n for n in gast.walk(t) if type(n).__name__ == "Interpolation"] for t in (got, want)]
    for theirs, mine in zip(*fields):
        mine.str = theirs.str
    return rel, lost, not same_tree(got, want)


def corpus(src):
    """(path relative to `src`, text) of the .py files this grammar parses."""
    files = []
    for folder, dirs, names in os.walk(src):
        dirs.sort()
        for name in sorted(names):
            if name.endswith(".py"):
                path = os.path.join(folder, name)
                try:
                    with open(path, encoding="utf-8") as f:
                        text = f.read()
                    ast.parse(text)
                except (SyntaxError, ValueError):  # not UTF-8, not this version's grammar, null bytes
                    continue
                files.append((os.path.relpath(path, src), text))
    return files


def run_set(files, args, work, jobs):
    if os.path.exists(work):
        shutil.rmtree(work)
    for rel, text in files:
        os.makedirs(os.path.dirname(os.path.join(work, rel)), exist_ok=True)
        with open(os.path.join(work, rel), "w", encoding="utf-8", newline="") as f:
            f.write(text)
    cmd = [sys.executable, "-m", "combined_source.utils", "--in-place", "-q", "-j", str(jobs)] + args
    run = subprocess.run(cmd + [work], cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True)
    whole = [line for line in run.stderr.splitlines() if "fell back to whole rendering" in line]
    rejected = [line for line in run.stderr.splitlines() if ": not rewritten: " in line]
    work_list = []
    for rel, text in files:
        with open(os.path.join(work, rel), encoding="utf-8", newline="") as f:
            out = f.read()
        if out != text:
            work_list.append((rel, text, out, args))
    changed, lost, differ = len(work_list), 0, []
    with multiprocessing.Pool(jobs) as pool:
        for rel, n, off in pool.imap_unordered(judge, work_list, chunksize=8):
            lost += n
            if off:
                differ.append(rel)
    differ.sort()
    again = subprocess.run(cmd[:3] + ["--check", "-q", "-j", str(jobs)] + args + [work], cwd=ROOT,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    return dict(files=len(files), changed=changed, rejected=len(rejected), whole=len(whole), comments=lost,
                trees=len(differ), again="clean" if again.returncode == 0 else "exit %d" % again.returncode,
                rc=run.returncode, notes=rejected + whole + ["tree differs: " + d for d in differ])


def main():
    p = argparse.ArgumentParser()
    p.add_argument("src")
    p.add_argument("--keep", help="leave the rewritten copies here")
    p.add_argument("-v", "--verbose", action="store_true", help="name the files behind each count")
    p.add_argument("--set", action="append", choices=[n for n, _ in OPTION_SETS], help="only these option sets")
    p.add_argument("-j", "--jobs", type=int, default=2, help="worker processes (default 2)")
    a = p.parse_args()
    base = a.keep or tempfile.mkdtemp(prefix="realcode-")
    print("Python %d.%d, %s" % (sys.version_info[0], sys.version_info[1], ", ".join(
        sorted(d for d in os.listdir(a.src) if not d.startswith(".")))))
    print("%-10s %6s %8s %8s %6s %9s %6s  %s" % ("set", "files", "changed", "rejected", "whole", "comments",
                                                 "trees", "again"))
    files = corpus(a.src)
    for name, args in OPTION_SETS:
        if a.set and name not in a.set:
            continue
        r = run_set(files, args, os.path.join(base, name), a.jobs)
        print("%-10s %6d %8d %8d %6d %9d %6d  %s" % (name, r["files"], r["changed"], r["rejected"], r["whole"],
                                                     r["comments"], r["trees"], r["again"]), flush=True)
        if a.verbose:
            for note in r["notes"]:
                print("    " + note)
    if not a.keep:
        shutil.rmtree(base)


if __name__ == "__main__":
    main()
