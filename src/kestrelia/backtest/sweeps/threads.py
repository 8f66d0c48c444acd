"""The threads strategies run in, which may outlive the sweep that started them, and the
interpreter's exit that waits for them; also the time limit of one strategy's work."""

from __future__ import annotations

import atexit
import os
import sys
import threading
import time
from collections.abc import Callable

from kestrelia.backtest.sweeps.result import Outcome
from kestrelia.backtest.sweeps.task import timed_out

__all__ = ["running_threads", "start_thread", "within"]

# A strategy's thread cannot be stopped once it is inside the native engine, so a sweep that
# times a strategy out or is interrupted leaves the thread to finish on its own. Such
# threads are daemons, so they never hold up a program that is done, and they are known
# here, so that the interpreter's exit can let them leave the engine first: a daemon thread
# that reaches for the GIL while the interpreter shuts down is unwound out of C++ frames
# that do not allow it, and the process aborts.
_LIVE: set[threading.Thread] = set()
_LIVE_LOCK = threading.Lock()
_EXIT_WAIT_NOTICE = 1.0  # seconds of waiting at exit before saying why


def start_thread(work: Callable[[], object], label: str) -> threading.Thread:
    """Runs ``work`` in a daemon thread of its own, known to the exit's wait."""

    def body() -> None:
        try:
            work()
        finally:
            with _LIVE_LOCK:
                _LIVE.discard(thread)

    thread = threading.Thread(target=body, name=f"kestrelia-sweep {label}", daemon=True)
    with _LIVE_LOCK:
        _LIVE.add(thread)
    try:
        thread.start()
    except BaseException:
        with _LIVE_LOCK:
            _LIVE.discard(thread)
        raise
    return thread


def running_threads() -> int:
    """How many strategies' threads are still running, including those a sweep timed out or
    left when it was interrupted."""
    with _LIVE_LOCK:
        return sum(1 for thread in _LIVE if thread.is_alive())


@atexit.register
def _wait_for_threads_at_exit() -> None:
    # Ctrl-C while waiting ends the process at once, without the interpreter's shutdown
    # (which is what would abort under the threads).
    started = time.monotonic()
    noticed = False
    try:
        while True:
            with _LIVE_LOCK:
                alive = [thread for thread in _LIVE if thread.is_alive()]
            if not alive:
                return
            if not noticed and time.monotonic() - started > _EXIT_WAIT_NOTICE:
                noticed = True
                print(f"kestrelia: waiting for {len(alive)} strategies of a sweep that are "
                      "still running to finish (Ctrl-C to stop at once)", file=sys.stderr)
            alive[0].join(0.1)
    except KeyboardInterrupt:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (AttributeError, OSError, ValueError):
                pass
        os._exit(130)


def within(timeout: float | None, work: Callable[[], Outcome | str]) -> Outcome | str:
    """``work()``, or the time-out's one-line error once ``timeout`` seconds passed (the
    work's thread then finishes on its own)."""
    if timeout is None:
        return work()
    box: list[Outcome | str] = []
    thread = start_thread(lambda: box.append(work()), "strategy")
    thread.join(timeout)
    return box[0] if box else timed_out(timeout)
