"""One writer at a time per store: an exclusive OS file lock on a file inside the store.

Every write path of the store (a whole write, the tail update, component supplements) runs
under this lock, and so does the removal of files that no dataset refers to: without it, one
writer's clean-up deletes the files another writer has written but not yet committed.
Readers take no lock; they see the last committed metadata, which is replaced by a rename.

The OS releases the lock when the holding process dies, so a crashed writer never blocks the
store. The holder writes its pid into the lock file, which lets a waiting writer say who
holds it. The lock is re-entrant within one thread, so a write path may call another.

The folder is not trusted any more than the rest of the store: a ``.writer.lock`` that is a
link, a FIFO, a socket, a device, a folder or a file with other names (hard links) is
refused, naming what it is, rather than opened for writing, and the lock file is never
truncated, so a planted link cannot make a writer create or empty a file outside the store.
"""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from kestrelia.errors import StoreError, StoreLockedError

LOCK_FILE = ".writer.lock"
DEFAULT_TIMEOUT = 5.0
TIMEOUT_ENV = "KESTRELIA_STORE_LOCK_TIMEOUT"
_POLL_SECONDS = 0.02
# The holder's pid is written space-padded to this width over the same bytes every time, so
# that a shorter pid never leaves digits of a longer one behind (the file is never truncated).
_PID_WIDTH = 10

# The store folders whose lock this thread holds, with how many times it was taken.
_held = threading.local()


def default_timeout() -> float:
    """Seconds a writer waits for the lock: ``KESTRELIA_STORE_LOCK_TIMEOUT`` or 5."""
    text = os.environ.get(TIMEOUT_ENV)
    if text is None:
        return DEFAULT_TIMEOUT
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"{TIMEOUT_ENV}={text!r} is not a number of seconds") from None
    if not value >= 0:
        raise ValueError(f"{TIMEOUT_ENV}={text!r} must be zero or more seconds")
    return value


def _holder(fd: int) -> str:
    try:
        text = os.pread(fd, _PID_WIDTH, 0).decode("ascii", "replace").strip()
    except OSError:
        return ""
    return f" (pid {text})" if text.isdigit() else ""


def _kind(mode: int) -> str:
    """What a file that is not a regular one is, for the message that refuses it."""
    for test, kind in ((stat.S_ISSOCK, "a socket"), (stat.S_ISFIFO, "a named pipe"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISDIR, "a folder"), (stat.S_ISLNK, "a symbolic link")):
        if test(mode):
            return kind
    return "of an unknown kind"


def _open_lock_file(path: Path) -> int:
    """The lock file opened for writing, created if absent; refused (``StoreError`` naming
    it) unless it is a regular file with no other name. O_NOFOLLOW keeps a planted link from
    being followed, O_NONBLOCK keeps a FIFO from blocking the open."""
    flags = os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW | os.O_NONBLOCK
    try:
        fd = os.open(path, flags, 0o644)
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise StoreError(f"refusing the writer lock {path}: it is a symbolic link "
                             "(the store's lock is a plain file it creates itself)") from None
        if exc.errno == errno.EISDIR:
            raise StoreError(f"refusing the writer lock {path}: it is a folder") from None
        # A socket cannot be opened at all (ENXIO, "No such device or address"): name what
        # is there rather than pass on an error that names nothing.
        try:
            mode = os.lstat(path).st_mode
        except OSError:
            raise exc from None
        if stat.S_ISREG(mode):
            raise
        raise StoreError(f"refusing the writer lock {path}: not a regular file "
                         f"({_kind(mode)})") from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise StoreError(f"refusing the writer lock {path}: not a regular file "
                             f"({_kind(info.st_mode)})")
        if info.st_nlink != 1:
            raise StoreError(f"refusing the writer lock {path}: it has {info.st_nlink} "
                             "names (a hard link shares it with a file elsewhere)")
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _write_holder(fd: int, pid: int | None) -> None:
    text = "" if pid is None else str(pid)
    os.pwrite(fd, f"{text:>{_PID_WIDTH}}\n".encode("ascii"), 0)


@contextmanager
def writer_lock(store_dir: Path, timeout: float | None = None) -> Iterator[None]:
    """Holds the store's writer lock for the block; waits up to ``timeout`` seconds
    (``default_timeout()`` when None) and raises ``StoreLockedError`` after that."""
    store_dir = Path(store_dir)
    store_dir.mkdir(parents=True, exist_ok=True)
    key = os.path.realpath(store_dir)
    held: dict[str, int] = _held.__dict__.setdefault("counts", {})
    if held.get(key):
        held[key] += 1
        try:
            yield
        finally:
            held[key] -= 1
        return
    wait = default_timeout() if timeout is None else float(timeout)
    fd = _open_lock_file(store_dir / LOCK_FILE)
    try:
        deadline = time.monotonic() + wait
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except OSError as exc:
                if exc.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                    raise
                if time.monotonic() >= deadline:
                    raise StoreLockedError(
                        f"the store {store_dir} is being written by another process"
                        f"{_holder(fd)}; waited {wait:g} s (try again when it has finished)"
                    ) from None
                time.sleep(_POLL_SECONDS)
        _write_holder(fd, os.getpid())
        held[key] = 1
        try:
            yield
        finally:
            del held[key]
            # Blanked while still held, so the next waiter never names a finished writer.
            _write_holder(fd, None)
            fcntl.flock(fd, fcntl.LOCK_UN)
    finally:
        os.close(fd)
