"""Extracts every .py file of the timm and torchvision wheels of the
real-code corpus (downloaded by scripts/realcode-fetch) into a folder, once:
the repository on which `bench/cli.py --real` times a cached run against a
cold one.

    python bench/cli_corpus.py WHEELS DEST
"""
import glob
import os
import shutil
import sys
import zipfile

PINS = (("timm", "1.0.31"), ("torchvision", "0.29.1"))


def extract(wheels, dest):
    stamp = os.path.join(dest, ".pins")
    want = " ".join("%s==%s" % pin for pin in PINS)
    try:
        with open(stamp) as f:
            if f.read() == want:
                return
    except OSError:
        pass
    shutil.rmtree(dest, ignore_errors=True)
    for name, version in PINS:
        found = glob.glob(os.path.join(wheels, "%s-%s[-+]*.whl" % (name, version)))
        if not found:
            raise SystemExit("no %s %s wheel in %s" % (name, version, wheels))
        with zipfile.ZipFile(found[0]) as z:
            for member in z.namelist():
                if member.endswith(".py") and member.startswith(name + "/"):
                    target = os.path.join(dest, member)
                    os.makedirs(os.path.dirname(target), exist_ok=True)
                    with open(target, "wb") as f:
                        f.write(z.read(member))
    with open(stamp, "w") as f:
        f.write(want)


if __name__ == "__main__":
    extract(*sys.argv[1:3])
