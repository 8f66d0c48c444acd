"""Work done in a forked child process while the caller goes on with its own.

A chart is drawn by matplotlib in Python, under the GIL: two charts drawn by threads of one
process take as long as one after the other. A forked child draws beside the parent on
another core, from the memory it shares with the parent at the fork (nothing is sent to it),
and hands back its results (PNG bytes) through a pipe.

Forking copies only the calling thread. A lock that another thread held at that moment
stays held in the child for ever, and a child waiting on it would never finish; so a child
is forked only where no other Python thread runs (and only on Linux, where the libraries
loaded here may be forked; macOS system frameworks may not). Anywhere else, and whenever a
child fails (it could not be forked, it died, its work raised), the work is done in the
calling process instead, as if no child had been asked: results and exceptions are the same
either way, only the time differs. ``KESTRELIA_FORK=0`` turns children off.
"""

from __future__ import annotations

import gc
import os
import pickle
import select
import signal
import sys
import threading
import time
from collections.abc import Callable, Mapping
from types import TracebackType
from typing import Generic, TypeVar

__all__ = ["Beside", "can_fork"]

T = TypeVar("T")

#: Seconds a child may take before its work is done here instead: a safety net against a
#: child that hangs, far beyond any chart's drawing time.
CHILD_TIMEOUT = 300.0
ENV = "KESTRELIA_FORK"


def can_fork() -> bool:
    """Whether a child may be forked here and now (see the module's notes)."""
    if os.environ.get(ENV, "1") == "0" or not sys.platform.startswith("linux"):
        return False
    if threading.active_count() != 1 or threading.current_thread() is not threading.main_thread():
        return False
    try:
        return len(os.sched_getaffinity(0)) > 1  # one core: a child would only wait its turn
    except (AttributeError, OSError):
        return False


class Beside(Generic[T]):
    """Runs ``jobs`` (name -> callable) in a forked child from construction on;
    ``result()`` returns name -> what each returned, doing here whatever the child could
    not. Use as a context manager: leaving it kills a child whose results were not taken.
    """

    def __init__(self, jobs: Mapping[str, Callable[[], T]]) -> None:
        self._jobs = dict(jobs)
        self._pid = 0
        self._read = -1
        self._result: dict[str, T] | None = None
        if self._jobs and can_fork():
            self._start()

    @property
    def forked(self) -> bool:
        """Whether a child is working on the jobs."""
        return self._pid > 0

    def _start(self) -> None:
        try:
            read, write = os.pipe()
        except OSError:
            return
        try:
            pid = os.fork()
        except OSError:  # no memory or process left for a child: the work is done here
            os.close(read)
            os.close(write)
            return
        if pid == 0:  # pragma: no cover - the child: measured by the parent's results
            os.close(read)
            self._child(write)
        os.close(write)
        self._pid, self._read = pid, read

    def _child(self, write: int) -> None:  # pragma: no cover - runs in the child
        status = 1
        try:
            # The child's life is short: a collection would touch, and so copy, every page
            # of the parent's objects it shares.
            gc.disable()
            signal.signal(signal.SIGINT, signal.SIG_DFL)  # Ctrl-C ends it at once
            payload = pickle.dumps({name: job() for name, job in self._jobs.items()},
                                   protocol=pickle.HIGHEST_PROTOCOL)
            view = memoryview(payload)
            while view:
                view = view[os.write(write, view):]
            status = 0
        finally:
            # Nothing of the parent's runs here: no atexit handler, no flush of buffers
            # the parent holds.
            os._exit(status)

    def result(self) -> dict[str, T]:
        if self._result is None:
            received = self._receive() if self._pid else None
            if received is None:
                received = {name: job() for name, job in self._jobs.items()}
            self._result = received
        return self._result

    def _receive(self) -> dict[str, T] | None:
        chunks, deadline = [], time.monotonic() + CHILD_TIMEOUT
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self._read], [], [], left)[0]:
                    self._kill()
                    return None
                chunk = os.read(self._read, 1 << 20)
                if not chunk:
                    break
                chunks.append(chunk)
        finally:
            os.close(self._read)
            self._read = -1
        _, status = os.waitpid(self._pid, 0)
        self._pid = 0
        if status != 0 or not chunks:
            return None
        received: dict[str, T] = pickle.loads(b"".join(chunks))  # our own child's bytes
        return received

    def _kill(self) -> None:
        if self._pid:
            try:
                os.kill(self._pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            os.waitpid(self._pid, 0)
            self._pid = 0

    def close(self) -> None:
        """Ends a child whose results were not taken."""
        if self._read >= 0:
            os.close(self._read)
            self._read = -1
        self._kill()

    def __enter__(self) -> Beside[T]:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
