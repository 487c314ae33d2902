"""Finding the files of the paths given on the command line."""
import contextlib
import os
import stat
import sys

from .files import TEMP_NAME


def stale_temporaries(directory, names):
    """Temporary files among `names` left by an --in-place run that is gone."""
    for name in names:
        m = TEMP_NAME.match(name)
        if m:
            try:
                os.kill(int(m.group(1)), 0)
            except ProcessLookupError:
                yield os.path.join(directory, name)
            except (OSError, OverflowError):
                pass


def is_regular(path):
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def collect(paths):
    """The jobs for the command-line paths, in order and without repeats
    (a job is a name and, for standard input, its bytes), and the stale
    temporary files seen in the folders searched. Folders yield their
    regular files only."""
    stale = []
    names, named_dirs = [], {}
    for path in paths:
        if path != "-" and os.path.isdir(path):
            found = []
            for root, dirs, files in os.walk(path):
                dirs[:] = [d for d in dirs if not d.startswith(".")]
                stale += stale_temporaries(root, sorted(files))
                found += [os.path.join(root, f) for f in files if f.endswith(".py") and not f.startswith(".")
                          and is_regular(os.path.join(root, f))]
            names += sorted(found)
        else:
            names.append(path)
            if path != "-":
                named_dirs.setdefault(os.path.dirname(path))
    for directory in named_dirs:
        with contextlib.suppress(OSError):
            stale += stale_temporaries(directory, sorted(os.listdir(directory or os.curdir)))
    unique = {}  # the same file reached by two paths is processed once
    for name in names:
        unique.setdefault(name if name == "-" else os.path.realpath(name), name)
    return [(name, sys.stdin.buffer.read() if name == "-" else None) for name in unique.values()], stale
