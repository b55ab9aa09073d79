"""Files that appear complete or not at all.

A file is written under a temporary name beside its destination, synced,
then renamed over it, and the directory is synced so that the rename
lasts. A file that is replaced keeps its permissions; a new one gets the
permissions ``open`` would give it (0666 less the umask).
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
from collections.abc import Iterator
from typing import IO

__all__ = ["atomic_file", "sync_directory", "write_atomically"]

# Names tried before giving up on a directory full of our temporary files.
_NAME_ATTEMPTS = 100


@contextlib.contextmanager
def atomic_file(path: str) -> Iterator[IO[bytes]]:
    """A file open for reading and writing that appears at ``path``, with
    what was written to it, when the block ends without an exception, and
    not at all otherwise (``path`` then keeps what it held)."""
    directory = os.path.dirname(path) or "."
    fd, tmp = _create_beside(path, directory)
    try:
        with os.fdopen(fd, "w+b") as f:
            mode = _mode_of(path)
            if mode is not None:
                os.fchmod(f.fileno(), mode)
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    sync_directory(directory)


def write_atomically(path: str, data: bytes) -> None:
    """``data`` as the whole contents of ``path``, written as by
    :func:`atomic_file`."""
    with atomic_file(path) as f:
        f.write(data)


def sync_directory(directory: str) -> None:
    """Makes a rename in ``directory`` durable. Not every platform or file
    system lets a directory be opened or synced; the data is safe either
    way."""
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _create_beside(path: str, directory: str) -> tuple[int, str]:
    # os.open applies the umask to 0666 as open() does for a new file;
    # tempfile.mkstemp would create it 0600 whatever the umask.
    prefix = "." + os.path.basename(path) + "."
    flags = os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    for _ in range(_NAME_ATTEMPTS):
        tmp = os.path.join(directory, prefix + secrets.token_hex(6) + ".tmp")
        try:
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name beside the file", path)


def _mode_of(path: str) -> int | None:
    """The permission bits of the file at ``path``; None when there is none."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        return None
