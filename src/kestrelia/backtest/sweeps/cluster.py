"""Running a sweep on a Dask cluster: each task carries the store's path and the
strategy, never the market matrices; each worker process maps the store once and reuses it
until the store changes, and every strategy runs on the store as it was when the sweep
started.

Tasks name functions of this module, which the workers import by its path.
"""

from __future__ import annotations

import hashlib
import os
import threading
from collections.abc import Mapping
from pathlib import Path
from typing import Any, NamedTuple

from kestrelia.backtest.market import Market
from kestrelia.backtest.sweeps.result import Outcome
from kestrelia.backtest.sweeps.task import Progress, check_benchmark, one_line, outcome_of
from kestrelia.backtest.sweeps.threads import within
from kestrelia.errors import InputError, StoreError

__all__ = ["DISTRIBUTED_HINT", "run_on_cluster", "store_state", "worker_market"]

DISTRIBUTED_HINT = ("client= needs Dask's distributed scheduler: "
                    "pip install 'kestrelia[distributed]'")


class _Mapped(NamedTuple):
    stamp: tuple[int, int, int] | None  # of the metadata file when it was read
    state: str | None  # store_state() of what was loaded
    market: Market


# Per worker process: (store path, window) -> the market mapped last. A task maps the store
# once per process and reuses it until the store's metadata file is replaced (every write
# renames a new one into place, so its inode and mtime change), or, within a sweep, for as
# long as it is the state the sweep started with: the files a rewrite replaces stay mapped.
_MARKETS: dict[tuple[str, str | None, str | None], _Mapped] = {}
_MARKETS_LOCK = threading.Lock()


def _store_stamp(path: str) -> tuple[int, int, int]:
    stat = os.stat(Path(path) / "metadata.pkl")
    return (stat.st_ino, stat.st_mtime_ns, stat.st_size)


def store_state(path: str | os.PathLike[str]) -> str | None:
    """What identifies the state of the store at ``path``: the SHA-256 of its metadata
    file, which names every dataset file and which every write replaces. Unlike the file's
    inode and time, it is the same on every machine that sees the store. None when the
    store has no metadata file."""
    try:
        data = (Path(path) / "metadata.pkl").read_bytes()
    except OSError:
        return None
    return hashlib.sha256(data).hexdigest()


def _store_changed(path: str) -> StoreError:
    return StoreError(f"the store changed during the sweep: {path} was rewritten after the "
                      "sweep started, before this strategy's worker had loaded it; not run, "
                      "so that every result of the sweep comes from the same data (sweep "
                      "again to run it on the new store)")


def worker_market(path: str, start: str | None = None, end: str | None = None, *,
                  state: str | None = None) -> Market:
    """The market of the store at ``path`` between two dates, mapped once per process and
    store version.

    With ``state`` (a :func:`store_state` taken earlier), the market of that state of the
    store, or ``StoreError`` when the store has been rewritten since and this process did
    not map it before.
    """
    real = os.path.realpath(path)
    key = (real, start, end)
    with _MARKETS_LOCK:
        cached = _MARKETS.get(key)
        if cached is not None:
            if state is not None and cached.state == state:
                return cached.market
            if state is None and cached.stamp is not None and cached.stamp == _stamp_or_none(real):
                return cached.market
        stamp, seen = _stamp_or_none(real), store_state(real)
        if state is not None and seen != state:
            raise _store_changed(real)
        try:
            market = Market.from_store(real, start=start, end=end)
        except Exception:
            if state is not None and store_state(real) != state:
                raise _store_changed(real) from None
            raise
        if store_state(real) != seen:
            # Rewritten while it was being loaded: which state was read is unknown.
            if state is not None:
                raise _store_changed(real)
            stamp = None
        _MARKETS[key] = _Mapped(stamp, seen, market)
        return market


def _stamp_or_none(path: str) -> tuple[int, int, int] | None:
    try:
        return _store_stamp(path)
    except OSError:
        return None


def _remote_task(store_path: str, window: tuple[str | None, str | None], state: str | None,
                 name: str, strategy: Any, options: dict[str, Any],
                 timeout: float | None) -> Outcome | str:
    market = worker_market(store_path, *window, state=state)
    return within(timeout, lambda: outcome_of(name, strategy, market, options))


def _store_path_of(market: Any) -> str:
    if isinstance(market, (str, os.PathLike)):
        path = Path(market).expanduser()
    else:
        given = getattr(market, "store_path", None)
        if given is None:
            raise InputError("sweep with client=: pass the store path (or a Market loaded "
                             "with Market.from_store); market matrices are never sent to "
                             "workers")
        path = Path(given)
    if not (path / "metadata.pkl").is_file():
        raise InputError(f"sweep with client=: {path} is not a prepared-data store")
    return str(path.resolve())


def _unsendable(exc: BaseException) -> str:
    """The one-line error of a strategy the client could not send to the workers: what
    did not pickle (the error the serialiser's wrapper was raised from)."""
    cause = exc
    while cause.__cause__ is not None:
        cause = cause.__cause__
    return f"the strategy could not be sent to the cluster's workers: {one_line(cause)}"


def run_on_cluster(client: Any, strategies: Mapping[str, Any], names: list[str], market: Any,
                   timeout: float | None, progress: bool, options: dict[str, Any],
                   outcomes: dict[str, Outcome | str]) -> None:
    try:
        from distributed import as_completed
    except ImportError:
        raise InputError(DISTRIBUTED_HINT) from None
    if not callable(getattr(client, "submit", None)):
        raise InputError(f"sweep: client must be a dask.distributed.Client, got "
                         f"{type(client).__name__}")
    store_path = _store_path_of(market)
    if isinstance(market, Market):
        check_benchmark(options["benchmark"], market)
    # The state every strategy runs on: the store as it is now.
    state = store_state(store_path)
    # A Market loaded for a window is loaded for the same window on the workers.
    window = getattr(market, "store_window", (None, None))
    bar = Progress(len(names), progress)
    futures = {}
    for name in names:
        try:
            future = client.submit(_remote_task, store_path, window, state, name,
                                   strategies[name], options, timeout, pure=False)
        except Exception as exc:  # a strategy that cannot be sent fails alone
            outcomes[name] = _unsendable(exc)
            bar.done(True)
        else:
            futures[future] = name
    try:
        for future in as_completed(list(futures)):  # type: ignore[no-untyped-call]
            name = futures[future]
            try:
                outcome = future.result()
            except Exception as exc:
                outcome = one_line(exc)
            outcomes[name] = outcome
            bar.done(isinstance(outcome, str))
    except KeyboardInterrupt:
        # Tasks a worker already runs finish there on their own; the others never start.
        try:
            client.cancel([f for f, n in futures.items() if n not in outcomes])
        except Exception:  # an unreachable scheduler must not hide the interrupt
            pass
        raise
    finally:
        bar.close()
