"""Running a sweep on local threads: at most ``workers`` strategies at a time, each in a
thread of its own, all over one market mapped once. The native simulation releases the GIL,
so the threads run backtests side by side without copying the market."""

from __future__ import annotations

import os
import queue
import time
from collections import deque
from collections.abc import Mapping
from typing import Any

from kestrelia.backtest.market import Market
from kestrelia.backtest.sweeps.result import Outcome
from kestrelia.backtest.sweeps.task import Progress, check_benchmark, outcome_of, timed_out
from kestrelia.backtest.sweeps.threads import start_thread
from kestrelia.errors import InputError

__all__ = ["run_on_threads"]


def run_on_threads(strategies: Mapping[str, Any], names: list[str], market: Any,
                   workers: int | None, timeout: float | None, progress: bool,
                   options: dict[str, Any], outcomes: dict[str, Outcome | str]) -> None:
    """Fills ``outcomes`` as strategies finish: at most ``workers`` run at a time, each in a
    thread of its own, all over one market."""
    # The market is opened (mapped) once, so every strategy sees one state of the store
    # however it is rewritten meanwhile: a rewrite replaces files, it never changes them.
    shared = _open_market(market)
    check_benchmark(options["benchmark"], shared)
    limit = workers or os.cpu_count() or 1
    finished: queue.Queue[tuple[str, Outcome | str]] = queue.Queue()
    waiting = deque(names)
    running: dict[str, float] = {}  # name -> when it started (time.monotonic)
    bar = Progress(len(names), progress)

    def record(name: str, outcome: Outcome | str) -> None:
        outcomes[name] = outcome
        bar.done(isinstance(outcome, str))

    def launch(name: str) -> None:
        strategy = strategies[name]
        start_thread(lambda: finished.put((name, outcome_of(name, strategy, shared, options))),
                     name)

    try:
        while waiting or running:
            while waiting and len(running) < limit:
                name = waiting.popleft()
                running[name] = time.monotonic()
                launch(name)
            try:
                name, outcome = finished.get(timeout=_until_first_deadline(running, timeout))
            except queue.Empty:
                pass
            else:
                # A strategy that timed out was recorded then; what it ends with is dropped.
                if running.pop(name, None) is not None:
                    record(name, outcome)
            if timeout is not None:
                now = time.monotonic()
                for name, started in list(running.items()):
                    if now - started >= timeout:
                        del running[name]
                        record(name, timed_out(timeout))
    except KeyboardInterrupt:
        # The strategies not started are never started; those that finished before the
        # interrupt but were not collected yet still count.
        while True:
            try:
                name, outcome = finished.get_nowait()
            except queue.Empty:
                break
            if running.pop(name, None) is not None:
                outcomes[name] = outcome
        raise
    finally:
        bar.close()


# How long the sweep's thread waits at most before it looks again. Ctrl-C interrupts the wait
# when the main thread receives the signal; when another thread happens to receive it, the
# main thread acts on it at the next look.
_POLL = 0.5


def _until_first_deadline(running: dict[str, float], timeout: float | None) -> float:
    if timeout is None or not running:
        return _POLL
    return min(_POLL, max(0.0, min(running.values()) + timeout - time.monotonic()))


def _open_market(market: Any) -> Market:
    if isinstance(market, Market):
        return market
    if isinstance(market, (str, os.PathLike)):
        return Market.from_store(market)
    raise InputError(f"sweep: market must be a Market or a store path, got {type(market).__name__}")
