"""Which files a run processes.

Folders are walked as code tools walk a repository: what git ignores is
skipped (every ``.gitignore`` from the project root down to the file, and
``.git/info/exclude``, read without git), and so are the folders of tools and
environments (``DEFAULT_EXCLUDES``, any folder holding ``pyvenv.cfg``) and
whatever the exclude expressions match; of the rest, the files the include
expression matches are taken. Expressions are searched in the path relative
to the project root, with ``/`` separators, a leading ``/`` and, for a
folder, a trailing one (``/src/gen/``, ``/src/gen/m.py``). A path named on
the command line is processed even when it is ignored or excluded, unless the
force-exclude expression matches it; below a named folder, the rules that
match it (or a folder above it) do not apply.
"""
import os
import re
import stat
import sys
from typing import List, NamedTuple, Optional, Pattern, Tuple

import pathspec

from ..config import start_folder
from .files import TEMP_NAME, Refused, read_source

DEFAULT_EXCLUDES = frozenset((
    ".git", ".hg", ".svn", ".tox", ".nox", ".mypy_cache", ".pytest_cache", "__pycache__", "build", "dist",
    "_build", "buck-out", "node_modules", "__pypackages__", "site-packages"))
VENV_MARK = "pyvenv.cfg"  # a folder holding it is a virtual environment
ROOT_MARKS = (".git", "pyproject.toml")
DEFAULT_INCLUDE = r"\.py$"
IGNORE_FILE = ".gitignore"
IGNORE_FILE_MAX_BYTES = 16 << 20

# Why a path was skipped, as verbose output names it.
IGNORED = "ignored by git"
DEFAULT = "default exclude"
EXCLUDED = "matches --exclude"
EXTENDED = "matches --extend-exclude"
FORCED = "matches --force-exclude"
NOT_INCLUDED = "does not match --include"  # a named path; the files of a folder are counted:
NOT_INCLUDED_FILES = ("%d file that does not match --include", "%d files that do not match --include")
OUTSIDE = "symbolic link to outside the project root"
LINKED_FOLDER = "symbolic link to a folder; not followed"
SPECIAL = "not a regular file"
UNLISTED = "cannot be listed: %s"


class Filters(NamedTuple):
    """What decides the files of a folder; every expression is searched in
    the root-relative path (see the module's documentation)."""

    include: Pattern = re.compile(DEFAULT_INCLUDE)
    exclude: Optional[Pattern] = None  # None: DEFAULT_EXCLUDES and virtual environments
    extend_exclude: Optional[Pattern] = None
    force_exclude: Optional[Pattern] = None


class Found(NamedTuple):
    jobs: List[Tuple[str, Optional[bytes]]]  # (name, None) for a file; (name, bytes) for standard input
    stale: List[str]  # temporary files of killed --in-place runs seen in the folders looked at
    passthrough: List[Tuple[str, bytes]]  # standard input that force_exclude matches: to be output unchanged
    root: str  # the project root


def find_root(paths):
    """The project root of `paths` and the name found in it: the nearest
    folder at or above the folder holding all `paths` that holds `.git` or
    `pyproject.toml`, and which of them; that folder itself and None when
    there is none."""
    start = folder = start_folder(paths)
    while True:
        if os.path.exists(os.path.join(folder, ROOT_MARKS[0])):
            return folder, ROOT_MARKS[0]
        if os.path.isfile(os.path.join(folder, ROOT_MARKS[1])):
            return folder, ROOT_MARKS[1]
        parent = os.path.dirname(folder)
        if parent == folder:
            return start, None
        folder = parent


def project_root(paths):
    return find_root(paths)[0]


def _read_lines(path):
    """The lines of an ignore file; none when it is missing, unreadable or
    not a regular file (as git, which does not follow a linked .gitignore)."""
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            return []
        data, _ = read_source(path, IGNORE_FILE_MAX_BYTES)
    except (OSError, Refused):  # Refused: a special or oversized file
        return []
    return data.decode("utf-8", "surrogateescape").split("\n")


def _git_dir(root):
    """The folder holding `info/exclude` for a root holding `.git`: the
    folder itself, or for a linked work tree the common one it names."""
    dot_git = os.path.join(root, ".git")
    if os.path.isdir(dot_git):
        return dot_git
    lines = _read_lines(dot_git)
    if not lines or not lines[0].startswith("gitdir:"):
        return None
    git_dir = os.path.join(root, lines[0][len("gitdir:"):].strip())
    common = _read_lines(os.path.join(git_dir, "commondir"))
    return os.path.join(git_dir, common[0].strip()) if common and common[0].strip() else git_dir


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


_SPECIAL = re.compile(r"([\\*?\[\]!#])")


def _rebased(lines, base):
    """The patterns of the ignore file of the folder `base` (relative to the
    root) as patterns relative to the root: one holding a slash before its
    end is anchored to `base`, any other matches at any depth below it."""
    if not base:
        return lines
    prefix = _SPECIAL.sub(r"\\\1", base) + "/"
    out = []
    for line in lines:
        if not line.strip() or line.startswith("#"):
            continue
        negated = line.startswith("!")
        body = line[1:] if negated else line
        if not body.strip(" /"):  # matches nothing (git ignores "!" and "/"), and would match all below
            continue
        anchored = "/" in body.rstrip(" ").rstrip("/")
        out.append("!" * negated + prefix + (body.lstrip("/") if anchored else "**/" + body))
    return out


def _spec(lines):
    """The compiled patterns; a line that is not a valid pattern (a trailing
    backslash, a reversed range) matches nothing, as in git."""
    try:
        return pathspec.GitIgnoreSpec.from_lines(lines)
    except (ValueError, re.error):  # the library's pattern errors are ValueErrors
        pass
    patterns = []
    for line in lines:
        try:
            patterns += pathspec.GitIgnoreSpec.from_lines([line]).patterns
        except (ValueError, re.error):
            continue
    return pathspec.GitIgnoreSpec(patterns)


def _ignored(spec, path, folder):
    """Whether git ignores the root-relative `path` (no folder above it is
    ignored). A pattern ending in /** matches what is inside a folder but
    not the folder itself, which the library's match of a folder (its path
    and a slash) takes for a match: such a match counts only when the
    pattern matches the path without the slash too."""
    if not len(spec):
        return False
    if not folder:
        return spec.match_file(path)
    while True:
        result = spec.check_file(path + "/")
        if not result.include:
            return False
        pattern = spec.patterns[result.index]
        inside_only = getattr(pattern, "pattern", "").rstrip(" ").endswith("/**")
        if not inside_only or pattern.match_file(path) is not None:
            return True
        spec = pathspec.GitIgnoreSpec(spec.patterns[:result.index])


def _waived(spec, rel):
    """`spec` less the patterns that ignore the named folder `rel` or a
    folder above it: they do not apply inside it."""
    parts = rel.split("/")
    above = ["/".join(parts[:i]) + "/" for i in range(1, len(parts) + 1)]
    kept = [p for p in spec.patterns if not (p.include and any(p.match_file(a) is not None for a in above))]
    return spec if len(kept) == len(spec.patterns) else pathspec.GitIgnoreSpec(kept)


class _Walk:
    """The walk of the named folders of one run below one project root."""

    def __init__(self, root, filters, report):
        self.root, self.filters, self.report = root, filters, report
        self.real_root = os.path.realpath(root)
        git_dir = _git_dir(root) if os.path.exists(os.path.join(root, ".git")) else None
        self.base = _spec(_read_lines(os.path.join(git_dir, "info", "exclude")) if git_dir else [])

    def relative(self, path):
        rel = os.path.relpath(os.path.abspath(path), self.root).replace(os.sep, "/")
        return "" if rel == "." else rel

    def forced(self, rel, folder):
        force = self.filters.force_exclude
        return bool(force and force.search("/" + rel + ("/" if folder and rel else "")))

    def spec_above(self, rel):
        """The ignore patterns in force in the folder `rel`, its own file included."""
        spec, base = self.base, ""
        for part in [""] + (rel.split("/") if rel else []):
            base = base + "/" + part if base else part
            spec = spec + _spec(_rebased(_read_lines(os.path.join(self.root, base, IGNORE_FILE)), base))
        return spec

    def skipped(self, rel, folder, spec, excludes, entry):
        """Why the entry at `rel` is skipped, or None."""
        query = "/" + rel + ("/" if folder else "")
        if not folder and not self.filters.include.search(query):
            return NOT_INCLUDED
        if _ignored(spec, rel, folder):
            return IGNORED
        for reason, expression in excludes:
            if expression is None:
                if folder and (entry.name in DEFAULT_EXCLUDES
                               or os.path.isfile(os.path.join(entry.path, VENV_MARK))):
                    return reason
            elif expression.search(query):
                return reason
        return None

    def files(self, top):
        """The regular files to process below the named folder `top`, and
        the stale temporary files seen on the way."""
        rel_top = self.relative(top)
        spec = self.spec_above(rel_top)
        excludes = [(DEFAULT, None) if self.filters.exclude is None else (EXCLUDED, self.filters.exclude),
                    (EXTENDED, self.filters.extend_exclude), (FORCED, self.filters.force_exclude)]
        if rel_top:
            spec = _waived(spec, rel_top)
            excludes = [(r, e) for r, e in excludes if e is None or not e.search("/" + rel_top + "/")]
        excludes = [(r, e) for r, e in excludes if e is not None or r == DEFAULT]
        found, stale = [], []
        stack = [(top, rel_top, spec)]
        while stack:
            folder, rel_folder, spec = stack.pop()
            try:
                with os.scandir(folder) as it:
                    entries = sorted(it, key=lambda e: e.name)
            except OSError as e:
                self.report(folder, UNLISTED % (e.strerror or e))
                continue
            if rel_folder != rel_top and any(e.name == IGNORE_FILE for e in entries):
                lines = _read_lines(os.path.join(folder, IGNORE_FILE))
                spec = spec + _spec(_rebased(lines, rel_folder))
            stale += stale_temporaries(folder, [e.name for e in entries if not e.is_dir(follow_symlinks=False)])
            below, not_included = [], 0
            for entry in entries:
                rel = rel_folder + "/" + entry.name if rel_folder else entry.name
                try:
                    link = entry.is_symlink()
                    if link and os.path.isdir(entry.path):
                        self.report(entry.path, LINKED_FOLDER)
                        continue
                    folder_entry = not link and entry.is_dir(follow_symlinks=False)
                    reason = self.skipped(rel, folder_entry, spec, excludes, entry)
                    if reason is None and not folder_entry:
                        if link and not _inside(os.path.realpath(entry.path), self.real_root):
                            reason = OUTSIDE
                        elif not entry.is_file():  # follows a link: what it names must be a regular file
                            reason = SPECIAL
                except OSError as e:
                    reason = UNLISTED % (e.strerror or e)
                if reason == NOT_INCLUDED:  # most files of most folders: named once per folder
                    not_included += 1
                elif reason is not None:
                    self.report(entry.path, reason)
                elif folder_entry:
                    below.append((entry.path, rel, spec))
                else:
                    found.append(entry.path)
            if not_included:
                self.report(folder, NOT_INCLUDED_FILES[not_included > 1] % not_included)
            stack += reversed(below)
        return found, stale


def _inside(path, folder):
    return path == folder or path.startswith(folder.rstrip("/") + "/")


def collect(paths, filters=Filters(), *, stdin_filename=None, on_skip=None):
    """The jobs for the command-line `paths`, in order and without repeats:
    each named folder's files sorted by name, a file reached twice processed
    once. `-` is standard input, read here, named `stdin_filename` when one
    is given (for messages, the project root and force_exclude). Each path
    skipped is passed to `on_skip(path, reason)`."""
    report = on_skip or (lambda path, reason: None)
    named = [stdin_filename if p == "-" and stdin_filename else p for p in paths]
    root = project_root(named)
    walk = _Walk(root, filters, report)
    names, named_dirs, stale, passthrough = [], {}, [], []
    for path in paths:
        if path != "-" and os.path.isdir(path):
            if walk.forced(walk.relative(path), True):
                report(path, FORCED)
                continue
            found, seen = walk.files(path)
            names += sorted(found)
            stale += seen
        elif path == "-" and stdin_filename and walk.forced(walk.relative(stdin_filename), False):
            if not any(name == stdin_filename for name, _ in passthrough):
                passthrough.append((stdin_filename, sys.stdin.buffer.read()))
                report(stdin_filename, FORCED)
        elif path != "-" and walk.forced(walk.relative(path), False):
            report(path, FORCED)
        else:
            names.append(path)
            if path != "-":
                named_dirs.setdefault(os.path.dirname(path))
    for directory in named_dirs:
        try:
            stale += stale_temporaries(directory, sorted(os.listdir(directory or os.curdir)))
        except OSError:
            pass
    unique = {}  # the same file reached by two paths is processed once
    for name in names:
        unique.setdefault(name if name == "-" else os.path.realpath(name), name)
    jobs = [(stdin_filename or name, sys.stdin.buffer.read()) if name == "-" else (name, None)
            for name in unique.values()]
    return Found(jobs, stale, passthrough, root)
