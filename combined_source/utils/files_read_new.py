"""Reading a source file to its end, under a size limit."""
import os
import stat

from .cli import Refused, Snapshot, digest

SOURCE_MAX_BYTES = 256 << 20  # far beyond what the parser can hold in memory here
_CHUNK = 1 << 16


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
