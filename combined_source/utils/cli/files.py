"""Reading, decoding, encoding and safely replacing source files."""
import contextlib
import errno
import fcntl
import hashlib
import io
import os
import re
import stat
import tempfile
import time
import tokenize
from typing import NamedTuple

# Temporary files of --in-place: ".NAME.orb-postprocess.PID.RANDOM.tmp" beside
# the file they replace; the writer's process id tells a stale one apart.
TEMP_MARK = ".orb-postprocess."
TEMP_NAME = re.compile(r"\A\..+\.orb-postprocess\.(\d+)\.[^.]+\.tmp\Z", re.S)
SOURCE_MAX_BYTES = 256 << 20  # far beyond what the parser can hold in memory here
_CHUNK = 1 << 16


class Refused(Exception):
    """A file that --in-place leaves alone; the message says why."""


class ReadOnly(Refused):
    """A file without write permission: its owner keeps it as it is."""


class Snapshot(NamedTuple):
    """What a file was when it was read: --in-place replaces only that."""

    dev: int
    ino: int
    size: int
    mtime_ns: int
    digest: bytes


def digest(data):
    return hashlib.sha256(data).digest()


def read_source(name, limit=SOURCE_MAX_BYTES):
    """The bytes of the regular file `name` and its snapshot. The file is
    opened without blocking (a pipe without a writer would hang), so a special
    file is refused before anything is read; it is read to its end, whatever
    size it reports (files under /proc report 0), and refused past `limit`.
    A read error is an OSError, as is a failure to open."""
    fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    with open(fd, "rb", buffering=0) as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise Refused("not a regular file")
        # One read holds the whole file when its size is right; the byte
        # asked beyond it tells a file that grew, and an empty read ends it.
        chunks, total = [], 0
        want = min(st.st_size, limit) + 1
        while True:
            chunk = f.read(want)
            if not chunk:
                break
            chunks.append(chunk)
            total += len(chunk)
            if total > limit:
                raise Refused("larger than %d MiB; not read" % (limit >> 20))
            want = min(max(_CHUNK, total), limit + 1 - total)
    data = chunks[0] if len(chunks) == 1 else b"".join(chunks)  # no copy in the usual case
    return data, Snapshot(st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, digest(data))


def copy_identity(target, tmp, st):
    """Gives the temporary file the owner, group, mode and extended attributes
    of the file it replaces, as far as this process is permitted to."""
    for uid in (st.st_uid, -1):  # without the right to give the file away, keep its group
        try:
            os.chown(tmp, uid, st.st_gid)
            break
        except PermissionError:
            continue
    os.chmod(tmp, stat.S_IMODE(st.st_mode))  # after chown, which clears set-id bits
    try:
        names = os.listxattr(target)
    except OSError:  # a file system without extended attributes
        return
    for name in names:
        try:
            os.setxattr(tmp, name, os.getxattr(target, name))
        except OSError as e:
            if e.errno not in (errno.EPERM, errno.EACCES, errno.ENOTSUP, errno.EOPNOTSUPP):
                raise


def lock(f, seconds=5.0):
    """Takes the advisory lock of the open file `f`, waiting a bounded time:
    runs of this command hold it only while they check and replace a file."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except BlockingIOError:
            if time.monotonic() > deadline:
                raise Refused("locked by another process; not rewritten")
            time.sleep(0.005)


def still_same(f, target, snapshot):
    """Whether `target` is still the file read (same inode, size, modification
    time and content), open as `f`."""
    st = os.fstat(f.fileno())
    if (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns) != snapshot[:4]:
        return False
    now = os.stat(target)
    if (now.st_dev, now.st_ino) != (st.st_dev, st.st_ino):  # replaced since it was opened
        return False
    return digest(f.read(st.st_size + 1)) == snapshot.digest


def write_atomically(path, data, snapshot=None):
    """Replaces the file's content by `data` with a rename from a temporary file
    beside it: readers see the old or the new file, never a mix, and on any
    failure the old file stays as it was and the temporary file is removed.
    The file keeps its owner, group, mode and extended attributes. With a
    `snapshot`, the file is replaced only while it is still what was read."""
    target = os.path.realpath(path)
    st = os.stat(target)
    if st.st_nlink > 1:
        raise Refused("has %d hard links; not rewritten (a replacement would split them)" % st.st_nlink)
    if not st.st_mode & 0o222 or not os.access(target, os.W_OK):
        raise ReadOnly("read-only; not rewritten")
    directory, base = os.path.split(target)
    fd, tmp = tempfile.mkstemp(prefix="." + base + TEMP_MARK + "%d." % os.getpid(), suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        copy_identity(target, tmp, st)
        if snapshot is None:
            os.replace(tmp, target)
        else:
            # Checked and replaced under the file's lock, so that two runs
            # never both replace it; an editor's save can only fall between
            # the check and the rename.
            with open(target, "rb") as f:
                lock(f)
                if not still_same(f, target, snapshot):
                    raise Refused("changed since it was read; not rewritten")
                os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def detect(data):
    return tokenize.detect_encoding(io.BytesIO(data).readline)[0]


def same_encoding(data, encoding):
    """Whether Python reads `data` in `encoding`."""
    try:
        return detect(data) == encoding
    except SyntaxError:
        return False


def decode(data):
    """The source text of `data` decoded as Python decodes a file (byte-order
    mark, coding declaration; UTF-8 by default), a leading byte-order mark kept
    as a character, and the encoding in which to write its rewrite."""
    try:
        encoding = detect(data)
    except SyntaxError:
        end = data.find(b"\n", data.find(b"\n") + 1)
        data[: len(data) if end < 0 else end].decode("utf-8")  # bytes that are not UTF-8, with their place
        raise
    return data.decode("utf-8" if encoding == "utf-8-sig" else encoding), encoding


def encode(text, encoding):
    """`text` in the file's `encoding` (a leading byte-order mark included)."""
    return text.encode("utf-8" if encoding == "utf-8-sig" else encoding)


def encoding_name(encoding):
    return "UTF-8" if encoding.startswith("utf-8") else encoding
