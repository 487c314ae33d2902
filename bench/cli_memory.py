"""Peak memory of the command line on one large generated file.

    python bench/cli_memory.py             # 5 and 50 MB, --check and --in-place
    python bench/cli_memory.py --mb 5 --mode check
    python bench/cli_memory.py --today     # beside each: the command line with
                                           # today's stand-ins (bench/today.py)

Each run is a fresh process; its peak resident set size (ru_maxrss) is
reported and divided by the file's size.
"""
import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

BLOCK = '''class Conv{i}(orb.Module):
    def __init__(self, in_channels, out_channels, kernel_size):
        super().__init__()
        self.weight = orb.Array(orb_empty((in_channels, out_channels, kernel_size)), requires_grad=True)
        self.bias = torch.nn.Parameter(orb.zeros((out_channels,)))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = orb.conv2d(x, self.weight, data_format="NCHW") + self.bias
        return orb.inplace_update(y, torch.float32)

'''

MEASURE = """
import resource, subprocess, sys
rc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE).returncode
print(rc, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


# The imports the generated code needs (without them the command line also
# warns that orb is used but not imported, which earlier versions did not).
HEADER = "import orb\nimport torch\n\n\n"


def generate(path, megabytes):
    with open(path, "w") as f:
        f.write(HEADER)
        i, size = 0, len(HEADER)
        while size < megabytes << 20:
            block = BLOCK.format(i=i)
            f.write(block)
            size += len(block)
            i += 1
    return os.path.getsize(path)


def peak(path, mode, today=False):
    if today:
        cmd = [sys.executable, os.path.join(HERE, "cli.py"), "--cli", "today", "--", "-j", "1", "--no-cache", "--" + mode,
               path]
    else:
        cmd = [sys.executable, "-m", "combined_source.utils", "-j", "1", "--no-cache", "--" + mode, path]
    out = subprocess.run([sys.executable, "-c", MEASURE] + cmd, cwd=ROOT, check=True,
                         stdout=subprocess.PIPE).stdout.split()
    return int(out[0]), int(out[1]) << 10


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mb", type=int, action="append", help="file size in MiB (default: 5 and 50)")
    p.add_argument("--mode", action="append", choices=["check", "in-place", "diff"],
                   help="default: check and in-place")
    p.add_argument("--today", action="store_true", help="also measure the today peer of bench/cli.py")
    args = p.parse_args()
    print("%8s %10s %12s %8s %4s" % ("MiB", "mode", "peak MiB", "x size", "rc")
          + ("  %12s %8s" % ("today MiB", "new/today") if args.today else ""))
    with tempfile.TemporaryDirectory() as tmp:
        for mb in args.mb or [5, 50]:
            path = os.path.join(tmp, "big.py")
            for mode in args.mode or ["check", "in-place"]:
                size = generate(path, mb)  # afresh: --in-place rewrote the last one
                rc, rss = peak(path, mode)
                line = "%8.1f %10s %12.0f %7.1fx %4d" % (size / 2 ** 20, mode, rss / 2 ** 20, rss / size, rc)
                if args.today:
                    generate(path, mb)
                    _, old = peak(path, mode, today=True)
                    line += "  %12.0f %7.2fx" % (old / 2 ** 20, rss / old)
                print(line, flush=True)


if __name__ == "__main__":
    main()
