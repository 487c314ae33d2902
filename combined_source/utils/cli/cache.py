"""The cache of files found unchanged, so that a second run over the same
files costs little more than reading them.

A file is remembered when a run finds nothing to change in it and nothing
to warn about: its absolute path, size and SHA-256. A later run with the
same key takes such a file as unchanged without rewriting it when its content
still has that hash; its size only decides whether the content is worth
hashing. The key is everything that decides a result besides the content:
the option values, the dtype map's contents, the transpose variable, the
interpreter's version and the identity (size and modification time) of the
code that rewrites: the package's Python files, its native modules and gast.
Each key has its own file in the cache folder, named by the key's hash.

The cache file is JSON, replaced atomically (a temporary file renamed over
it), so a reader sees an old or a new file, never a mix; a run merges what
it learnt into the file as it is when the run ends, so concurrent runs lose
at most each other's last entries. A file that cannot be read, is not
valid JSON or was written for another key is taken as empty and replaced.
Entries used least recently go beyond `MAX_ENTRIES`, and cache files of
other keys beyond `MAX_FILES`.
"""
import hashlib
import importlib.util
import json
import os
import sys
import tempfile
import time

from .. import TRANSPOSE_ENV
from .files import Refused, decode, read_source
from .process import UNCHANGED, Outcome

ENV = "ORB_POSTPROCESS_CACHE_DIR"  # moves the cache folder (--cache-dir wins)
APP = "orb-postprocess"
FORMAT = "orb-postprocess cache 1"
PREFIX, SUFFIX = "cache-", ".json"
MAX_ENTRIES = 50_000  # files remembered per key
MAX_FILES = 16  # keys remembered per folder
MAX_BYTES = 64 << 20  # a larger cache file is not read
REFRESH = 24 * 3600  # seconds after which a file's last use is written again
STALE_TEMP = 3600  # seconds after which a temporary file of a killed run is removed

# Options that do not decide a file's result: every other option of the
# parsed arguments is part of the key, so a new option is in the key unless
# it is named here (one that changes nothing only splits the cache). The
# dtype map enters by its contents (not its path), and the value of the
# transpose variable that the rules read goes in besides the switch.
NOT_IN_KEY = frozenset((
    "paths", "diff", "check", "in_place", "color", "dtype_map", "include", "exclude",
    "extend_exclude", "force_exclude", "stdin_filename", "config", "jobs", "quiet", "verbose", "cache",
    "cache_dir", "output_format", "statistics"))

# The modules whose code decides results, besides the package's own Python files.
CODE_MODULES = ("combined_source.utils.ZOK", "combined_source.utils._treeops", "gast", "astunparse")


def folder(args):
    """The cache folder: --cache-dir, else the variable, else the user's cache folder."""
    chosen = getattr(args, "cache_dir", None) or os.environ.get(ENV)
    if chosen:
        return os.path.abspath(chosen)
    import platformdirs  # here: a run with the folder given does without it

    return platformdirs.user_cache_dir(APP, appauthor=False)


def _stamps(paths, out):
    for path in paths:
        try:
            st = os.stat(path)
        except OSError:
            continue
        out.append((path, st.st_size, st.st_mtime_ns))


def code_identity():
    """(path, size, modification time) of each file of the code that decides
    results: a new install or build of any of it gives a new key."""
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # the package
    found = []
    for top, dirs, names in os.walk(here):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        _stamps((os.path.join(top, n) for n in sorted(names) if n.endswith((".py", ".so"))), found)
    for module in CODE_MODULES:
        try:
            spec = importlib.util.find_spec(module)
        except (ImportError, ValueError):
            spec = None
        if spec is None:
            continue
        if spec.submodule_search_locations:  # a package: its own files
            for location in spec.submodule_search_locations:
                try:
                    names = sorted(os.listdir(location))
                except OSError:
                    continue
                _stamps((os.path.join(location, n) for n in names if n.endswith((".py", ".so"))), found)
        elif spec.origin:
            _stamps([spec.origin], found)
    return found


def key(args, dtype_map):
    """The hash of everything besides a file's content that decides its result."""
    options = {name: value for name, value in sorted(vars(args).items()) if name not in NOT_IN_KEY}
    options["dtype_map"] = dtype_map
    options[TRANSPOSE_ENV] = "true" if args.transpose else os.environ.get(TRANSPOSE_ENV)
    whole = {"format": FORMAT, "options": options, "python": [sys.version, sys.implementation.cache_tag],
             "code": code_identity()}
    return hashlib.sha256(json.dumps(whole, default=repr).encode("ascii")).hexdigest()


def _valid(entry):
    return (type(entry) is list and len(entry) == 3 and type(entry[0]) is int and type(entry[1]) is str
            and type(entry[2]) is int)


def load(path, digest):
    """The entries of the cache file at `path` written for the key `digest`;
    empty when the file is missing, unreadable, damaged or another key's."""
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_BYTES + 1)
        if len(data) > MAX_BYTES:
            return {}
        content = json.loads(data)
    except (OSError, ValueError, RecursionError, MemoryError):  # ValueError: bad JSON or UTF-8
        return {}
    if type(content) is not dict or content.get("format") != FORMAT or content.get("key") != digest:
        return {}
    files = content.get("files")
    return files if type(files) is dict else {}


class Cache:
    """The cache of one run: what the cache file held when the run started,
    the hits looked up in it, and what the run learnt."""

    def __init__(self, where, digest, warn):
        self.folder, self.digest, self.warn = where, digest, warn
        self.path = os.path.join(where, PREFIX + digest[:32] + SUFFIX)
        self.entries = load(self.path, digest)
        self.now = int(time.time())
        self.learnt = {}  # path -> entry, new or used again
        self.dropped = set()  # paths whose entry no longer holds
        self.dirty = False  # whether the run learnt anything worth writing

    @classmethod
    def open(cls, args, dtype_map, warn):
        """The run's cache, or None (with one warning through `warn`) when
        its folder cannot be made or written to."""
        where = folder(args)
        try:
            os.makedirs(where, exist_ok=True)
            if not os.access(where, os.W_OK | os.X_OK):
                raise PermissionError(13, os.strerror(13))
        except OSError as e:
            warn("cache folder %s cannot be written (%s); running without the cache" % (where, e.strerror or e))
            return None
        return cls(where, key(args, dtype_map), warn)

    def hit(self, name, keep_text):
        """The outcome of file `name` when the cache knows its content as
        unchanged (with its text when `keep_text`), else None."""
        path = os.path.abspath(name)
        entry = self.entries.get(path)
        if not _valid(entry):
            return None
        size, digest, used = entry
        try:
            if os.stat(name).st_size != size:
                return None
            data, snapshot = read_source(name)
        except (OSError, Refused):  # the file's fault, which its rewrite reports
            return None
        if snapshot.size != size or snapshot.digest.hex() != digest:
            return None
        if self.now - used > REFRESH:
            self.learnt[path] = [size, digest, self.now]
            self.dirty = True
        if not keep_text:
            return Outcome(name, UNCHANGED)
        try:
            text, encoding = decode(data)
        except (SyntaxError, UnicodeDecodeError):
            return None
        return Outcome(name, UNCHANGED, "", text, text, encoding=encoding)

    def look_up(self, jobs, keep_text):
        """{index: outcome} of the jobs that the cache answers (files only)."""
        hits = {}
        for i, (name, data) in enumerate(jobs):
            if data is None:
                outcome = self.hit(name, keep_text)
                if outcome is not None:
                    hits[i] = outcome
        return hits

    def learn(self, outcome):
        """Remembers a file found unchanged without a warning; forgets one
        that was not."""
        path = os.path.abspath(outcome.name)
        if outcome.status == UNCHANGED and outcome.seen and not outcome.warnings \
                and not getattr(outcome, "findings", ()):
            entry = [outcome.seen[0], outcome.seen[1].hex(), self.now]
            self.learnt[path] = entry
            self.dropped.discard(path)
            old = self.entries.get(path)
            self.dirty = self.dirty or not _valid(old) or old[:2] != entry[:2]
        elif path in self.entries or path in self.learnt:
            self.learnt.pop(path, None)
            self.dropped.add(path)
            self.dirty = True

    def save(self):
        """Merges what the run learnt into the cache file; a failure is one
        warning, never an error of the run."""
        if not self.dirty:
            return
        entries = load(self.path, self.digest)  # what other runs wrote since this one started
        entries.update(self.learnt)
        for path in self.dropped:
            entries.pop(path, None)
        entries = {p: e for p, e in entries.items() if _valid(e)}
        if len(entries) > MAX_ENTRIES:
            newest = sorted(entries.items(), key=lambda item: item[1][2], reverse=True)[:MAX_ENTRIES]
            entries = dict(newest)
        data = json.dumps({"format": FORMAT, "key": self.digest, "files": entries}, separators=(",", ":"))
        tmp = None
        try:
            fd, tmp = tempfile.mkstemp(prefix="." + PREFIX, suffix=".tmp", dir=self.folder)
            with os.fdopen(fd, "wb") as f:
                f.write(data.encode("ascii"))  # JSON escapes the rest
            os.replace(tmp, self.path)
            tmp = None
            self.tidy()
        except OSError as e:
            self.warn("cannot write the cache in %s (%s); this run's results are not cached" % (
                self.folder, e.strerror or e))
        finally:
            if tmp is not None:
                try:
                    os.unlink(tmp)
                except OSError:
                    pass

    def tidy(self):
        """Removes the cache files of other keys beyond the newest
        `MAX_FILES`, and temporary files left by killed runs."""
        now = time.time()
        files = []
        for entry in os.scandir(self.folder):
            name = entry.name
            try:
                if name.startswith("." + PREFIX) and name.endswith(".tmp"):
                    if now - entry.stat().st_mtime > STALE_TEMP:
                        os.unlink(entry.path)
                elif name.startswith(PREFIX) and name.endswith(SUFFIX) and entry.path != self.path:
                    files.append((entry.stat().st_mtime, entry.path))
            except OSError:  # gone meanwhile, or another run's business
                continue
        for _, path in sorted(files, reverse=True)[MAX_FILES - 1:]:
            try:
                os.unlink(path)
            except OSError:
                pass
