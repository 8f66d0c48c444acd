"""Many strategies over one market: a thread pool sharing one memory-mapped market, or a
Dask cluster whose workers each map the store once.

The native simulation releases the GIL, so threads over one ``Market`` run backtests side by
side without copying the market; on a cluster, each task carries only the store's path and
the strategy's description, never the market matrices.
"""

from __future__ import annotations

import atexit
import hashlib
import math
import os
import queue
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple, Union

import numpy as np
import pandas as pd

from kestrelia.errors import InputError, KestreliaError, StoreError

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from kestrelia.backtest.market import Market

__all__ = ["SweepResult", "sweep"]

#: A strategy: a weights DataFrame, the path of a weights file, or a callable that takes
#: the ``Market`` and returns weights.
Strategy = Union[pd.DataFrame, str, "os.PathLike[str]", Callable[["Market"], pd.DataFrame]]

LEGEND_LIMIT = 50
DISTRIBUTED_HINT = ("client= needs Dask's distributed scheduler: "
                    "pip install 'kestrelia[distributed]'")
#: The files ``SweepResult.save`` writes; an interrupted sweep's also ``PARTIAL_NOTE``.
SWEEP_FILES = ("stats.csv", "stats.parquet", "returns.csv", "returns.parquet", "failed.csv",
               "sweep.png")
PARTIAL_NOTE = "partial.txt"


# ---- the result ------------------------------------------------------------------------


@dataclass
class SweepResult:
    """What a sweep produced.

    Attributes
    ----------
    stats : pandas.DataFrame
        One row per strategy that ran (in the order given): the engine's statistics, and
        the execution summary where it was recorded.
    returns : pandas.DataFrame
        Daily returns, dates x strategies (NaN where a strategy has no return that day).
    failed : dict[str, str]
        Strategy name -> one-line error, for every strategy that could not run.
    unfinished : list[str]
        The strategies an interrupted sweep did not finish (empty for a whole sweep): the
        result is then partial, and says so when printed, drawn and saved.

    Examples
    --------
    >>> from kestrelia.backtest._examples import example_market
    >>> market = example_market()
    >>> result = sweep({"half": market.close_price * 0 + 0.5}, market, progress=False)
    >>> result
    SweepResult(1 strategies, 2 days, 0 failed)
    >>> result.net_values().columns.tolist()
    ['half']
    """

    stats: pd.DataFrame
    returns: pd.DataFrame
    failed: dict[str, str] = field(default_factory=dict)
    unfinished: list[str] = field(default_factory=list)

    def __repr__(self) -> str:
        text = (f"SweepResult({len(self.stats)} strategies, {len(self.returns)} days, "
                f"{len(self.failed)} failed")
        if self.unfinished:
            text += f", partial: {len(self.unfinished)} not finished"
        return text + ")"

    def partial_note(self) -> str:
        """What a partial result lacks, in one line; empty for a whole sweep."""
        if not self.unfinished:
            return ""
        finished = len(self.stats) + len(self.failed)
        total = finished + len(self.unfinished)
        shown = ", ".join(self.unfinished[:8]) + (" ..." if len(self.unfinished) > 8 else "")
        return (f"partial: the sweep was interrupted; {finished} of {total} strategies "
                f"finished and only they are in these results (not finished: {shown})")

    def net_values(self) -> pd.DataFrame:
        """Net value of each strategy (``1 + cumsum(returns)``, fixed capital), best first."""
        net = 1.0 + self.returns.fillna(0.0).cumsum()
        if net.empty:
            return net
        order = net.iloc[-1].sort_values(ascending=False, kind="stable").index
        return net[order]

    def figure(self, top: int = 20) -> Figure:
        """The net values of the strategies on one chart, best first.

        Up to 50 strategies each get a legend entry; beyond that the best ``top`` do and
        the others are drawn as thin grey lines. No file is written and pyplot's global
        state is not touched.
        """
        from matplotlib.figure import Figure

        net = self.net_values()
        fig = Figure(figsize=(12, 6.5), dpi=100, layout="constrained")
        ax = fig.add_subplot()
        index = _as_dates(net.index)
        named = net.columns if len(net.columns) <= LEGEND_LIMIT else net.columns[:top]
        rest = [c for c in net.columns if c not in set(named)]
        for column in rest:
            ax.plot(index, net[column].to_numpy(), color="0.75", linewidth=0.6, zorder=1)
        colors = _palette(len(named))
        handles, labels = [], []
        for column, color in zip(named, colors, strict=True):
            values = net[column].to_numpy()
            handles += ax.plot(index, values, color=color, linewidth=1.4, zorder=2,
                               marker="o" if len(values) == 1 else None)
            labels.append(f"{column} ({values[-1] - 1:+.1%})")
        ax.axhline(1.0, color="0.4", linewidth=0.8, linestyle="--", zorder=0)
        title = f"Net value of {len(net.columns)} strategies (fixed capital), best first"
        if rest:
            title += f"; {len(rest)} more in grey"
        ax.set_title(title)
        ax.set_ylabel("Net value")
        ax.grid(alpha=0.3)
        # Strategy names are the user's text: every one is shown as it is, never read as
        # math ("$...$") and never hidden from the legend (a label starting with "_" would
        # be, were the legend to collect the labels itself).
        if len(named):
            ncol = 1 if len(named) <= 15 else 2 if len(named) <= 34 else 3
            legend = ax.legend(handles, labels, loc="upper left", bbox_to_anchor=(1.01, 1.0),
                               fontsize=7 if ncol > 1 else 8, ncol=ncol, frameon=False)
            for text in legend.get_texts():
                text.set_parse_math(False)
        notes = []
        if self.failed:
            notes.append(f"{len(self.failed)} failed: " + ", ".join(list(self.failed)[:8])
                         + (" ..." if len(self.failed) > 8 else ""))
        if self.unfinished:
            notes.append(self.partial_note())
        if notes:
            fig.text(0.01, 0.005, "\n".join(notes), fontsize=8, color="firebrick",
                     parse_math=False)
        return fig

    def save(self, directory: str | os.PathLike[str], *, force: bool = False) -> list[Path]:
        """Writes ``stats.csv``/``.parquet``, ``returns.csv``/``.parquet``, ``failed.csv``
        and ``sweep.png`` into ``directory`` (and, for a partial result, ``partial.txt``
        saying so); existing files only with ``force``. A failure half-way leaves none of
        them."""
        from kestrelia.backtest._output import write_files

        stats = self.stats.rename_axis("strategy")
        returns = self.returns.rename_axis("date")
        failed = pd.DataFrame({"strategy": list(self.failed),
                               "error": list(self.failed.values())}, dtype=object)
        figure = self.figure()
        tables: list[Callable[[Path], object]] = [
            stats.to_csv, stats.to_parquet, returns.to_csv, returns.to_parquet,
            lambda p: failed.to_csv(p, index=False), figure.savefig]
        writers = dict(zip(SWEEP_FILES, tables))
        if self.unfinished:
            note = self.partial_note() + "\n"
            writers[PARTIAL_NOTE] = lambda p: p.write_text(note, encoding="utf-8")
        # A whole sweep written over a partial one takes its note away with it.
        return write_files(directory, writers, force=force, remove=[PARTIAL_NOTE])


def _palette(n: int) -> list[tuple[float, float, float, float]]:
    from matplotlib import colormaps

    cmap = colormaps["tab20" if n > 10 else "tab10"]
    return [cmap(i % cmap.N) for i in range(n)]


def _as_dates(index: pd.Index) -> pd.Index:
    if isinstance(index, pd.DatetimeIndex):
        return index
    try:
        return pd.DatetimeIndex(pd.to_datetime(index.astype(str), format="%Y%m%d"))
    except (ValueError, TypeError):
        return index


# ---- running the strategies ------------------------------------------------------------


def sweep(
    strategies: Mapping[str, Strategy],
    market: Market | str | os.PathLike[str],
    *,
    benchmark: str = "000852",
    rolling_window: int = 0,
    capital: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
    between: str = "hold",
    start: Any = None,
    end: Any = None,
    execution: bool = False,
    workers: int | None = None,
    client: Any = None,
    timeout: float | None = None,
    progress: bool = True,
) -> SweepResult:
    """Backtests many strategies over one market.

    Parameters
    ----------
    strategies : Mapping[str, DataFrame | path | callable]
        Name -> weights DataFrame, path of a weights file (Parquet or CSV, as the
        command-line tool reads them), or a callable taking the ``Market`` and returning
        weights (``{f"top{k}": partial(top_k, k=k) for k in ...}``).
    market : Market or path
        The market, or the path of a store (memory-mapped once and shared).
    benchmark, rolling_window, capital, fee, rule_fee, lot_size, between, start, end, execution
        The options of :func:`kestrelia.backtest.backtest`, with its defaults, applied to
        every strategy (each strategy's name is its key). They are checked before any
        strategy runs.
    workers : int, optional
        Threads of the local pool (default: the number of cores). Results do not depend on
        it.
    client : dask.distributed.Client, optional
        Run on this cluster instead: each task carries the store path and the strategy's
        description; each worker maps the store once and reuses it until the store changes.
        The store must be on a filesystem every worker sees, and ``market`` must be a store
        path (or a ``Market`` loaded from one). Every strategy runs on the store as it was
        when the sweep started: one that a worker could only run on a rewritten store
        fails, saying so.
    timeout : float, optional
        Seconds each strategy may run; one that takes longer is recorded as failed ("timed
        out after N s") and its thread is left to finish on its own (a backtest inside the
        native engine cannot be stopped). None: no limit.
    progress : bool
        A progress bar on stderr when it is a terminal.

    Returns
    -------
    SweepResult
        Statistics, returns and the strategies that failed (one bad strategy never loses the
        others' results).

    Raises
    ------
    TypeError
        For an option ``backtest`` does not have (``lotsize=``).
    InputError
        For an empty or badly typed ``strategies``, a bad option, ``workers`` or
        ``timeout``, or ``client`` with a market that is not a store.
    KeyboardInterrupt
        On Ctrl-C: the strategies not started are cancelled and the sweep stops at once,
        without waiting for those in flight. The exception's ``partial`` attribute is the
        ``SweepResult`` of the strategies that finished (``unfinished`` names the others).

    Examples
    --------
    >>> from kestrelia.backtest._examples import example_market
    >>> market = example_market()
    >>> half = market.close_price * 0 + 0.5
    >>> result = sweep({"half": half, "broken": lambda m: 1 / 0}, market, progress=False)
    >>> list(result.stats.index), result.failed
    (['half'], {'broken': 'ZeroDivisionError: division by zero'})
    """
    names = _check_strategies(strategies)
    # Every option a sweep hands on to backtest(), in this one place: a new option of
    # backtest() is a parameter above and one entry here.
    options = _checked_options({
        "benchmark": benchmark, "rolling_window": rolling_window, "capital": capital,
        "fee": fee, "rule_fee": rule_fee, "lot_size": lot_size, "between": between,
        "start": start, "end": end, "execution": execution,
    })
    if workers is not None and (not isinstance(workers, int) or isinstance(workers, bool)
                                or workers < 1):
        raise InputError(f"sweep: workers must be a whole number of at least 1, got {workers!r}")
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                or not math.isfinite(timeout) or timeout <= 0):
        raise InputError(f"sweep: timeout must be a number of seconds greater than 0, or None; "
                         f"got {timeout!r}")
    outcomes: dict[str, _Outcome | str] = {}
    try:
        if client is not None:
            _run_on_cluster(client, strategies, names, market, timeout, progress, options,
                            outcomes)
        else:
            _run_on_threads(strategies, names, market, workers, timeout, progress, options,
                            outcomes)
    except KeyboardInterrupt as interrupt:
        interrupt.partial = _collect(names, dict(outcomes))  # type: ignore[attr-defined]
        raise
    return _collect(names, outcomes)


def _checked_options(options: dict[str, Any]) -> dict[str, Any]:
    """The options as given, once checked by backtest()'s rules: a bad one stops the sweep
    before any strategy runs instead of failing every strategy alike."""
    from kestrelia.backtest import _validate

    if not isinstance(options["benchmark"], str):
        raise InputError(f"benchmark must be text, got {options['benchmark']!r}")
    _validate.whole_at_least(options["rolling_window"], 0, "rolling_window")
    _validate.positive_finite(options["capital"], "capital")
    _validate.rate(options["fee"], "fee")
    _validate.rate(options["rule_fee"], "rule_fee")
    _validate.whole_at_least(options["lot_size"], 1, "lot_size")
    from kestrelia.backtest._plan import BETWEEN

    if options["between"] not in BETWEEN:
        raise InputError(f"between must be one of {', '.join(map(repr, BETWEEN))}, got "
                         f"{options['between']!r}")
    return options


def _check_benchmark(benchmark: str, market: Market) -> None:
    if market.benchmarks and benchmark not in market.benchmarks:
        raise InputError(f"benchmark {benchmark!r} is not in the market (it has "
                         f"{', '.join(sorted(market.benchmarks))})")


def _check_strategies(strategies: Any) -> list[str]:
    if not isinstance(strategies, Mapping):
        raise InputError("sweep: strategies must be a mapping of name -> weights, file or "
                         f"callable, got {type(strategies).__name__}")
    names = list(strategies)
    if not names:
        raise InputError("sweep: no strategies given")
    for name in names:
        if not isinstance(name, str) or not name.strip():
            raise InputError(f"sweep: strategy names must be non-empty text, got {name!r}")
    return names


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split()) or type(exc).__name__
    if isinstance(exc, KestreliaError):
        return text
    return f"{type(exc).__name__}: {text}"


def _timed_out(timeout: float) -> str:
    return f"timed out after {timeout:g} s"


def _resolve(strategy: Any, market: Market) -> pd.DataFrame:
    if isinstance(strategy, pd.DataFrame):
        return strategy
    if isinstance(strategy, (str, os.PathLike)):
        from kestrelia.backtest.weights import read_weights

        return read_weights(Path(strategy))
    if callable(strategy):
        # Each strategy sees the market over arrays that refuse writes, as new objects: what
        # one does to its market cannot reach the others' or the caller's.
        weights = strategy(market.read_only())
        if not isinstance(weights, pd.DataFrame):
            raise InputError(f"the strategy's callable returned {type(weights).__name__}, "
                             "not a weights DataFrame")
        return weights
    raise InputError(f"a strategy must be a DataFrame, a file path or a callable, "
                     f"got {type(strategy).__name__}")


# (stats, returns, execution summary or None) of one strategy.
_Outcome = tuple[pd.Series, pd.Series, Any]


def _run_one(name: str, strategy: Any, market: Market, options: dict[str, Any]) -> _Outcome:
    """(stats, returns, execution summary or None) of one strategy; raises on failure."""
    from kestrelia.backtest.run import backtest

    result = backtest(_resolve(strategy, market), market, name=name, **options)
    execution = getattr(result, "execution", None)
    summary = getattr(execution, "summary", None) if execution is not None else None
    return result.stats, result.returns, summary


def _outcome_of(name: str, strategy: Any, market: Market,
                options: dict[str, Any]) -> _Outcome | str:
    """The outcome of one strategy, or its one-line error."""
    try:
        return _run_one(name, strategy, market, options)
    except BaseException as exc:  # one bad strategy never loses the others' results
        return _one_line(exc)


def _open_market(market: Any) -> Market:
    from kestrelia.backtest.market import Market

    if isinstance(market, Market):
        return market
    if isinstance(market, (str, os.PathLike)):
        return Market.from_store(market)
    raise InputError(f"sweep: market must be a Market or a store path, got {type(market).__name__}")


class _Bar:
    """A tqdm bar on stderr when it is a terminal and progress is wanted; else nothing."""

    def __init__(self, total: int, wanted: bool):
        self._bar: Any = None
        if wanted and sys.stderr is not None and sys.stderr.isatty():
            from tqdm.auto import tqdm

            self._bar = tqdm(total=total, unit="strategy", desc="sweep", file=sys.stderr)

    def done(self, failed: bool) -> None:
        if self._bar is not None:
            self._bar.update(1)
            if failed:
                self._bar.set_postfix_str("some failed", refresh=False)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


# ---- threads that may outlive the sweep --------------------------------------------------

# A strategy's thread cannot be stopped once it is inside the native engine, so a sweep that
# times a strategy out or is interrupted leaves the thread to finish on its own. Such
# threads are daemons, so they never hold up a program that is done, and they are known
# here, so that the interpreter's exit can let them leave the engine first: a daemon thread
# that reaches for the GIL while the interpreter shuts down is unwound out of C++ frames
# that do not allow it, and the process aborts.
_LIVE: set[threading.Thread] = set()
_LIVE_LOCK = threading.Lock()
_EXIT_WAIT_NOTICE = 1.0  # seconds of waiting at exit before saying why


def _start(work: Callable[[], object], label: str) -> threading.Thread:
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


def _within(timeout: float | None, work: Callable[[], _Outcome | str]) -> _Outcome | str:
    """``work()``, or the time-out's one-line error once ``timeout`` seconds passed (the
    work's thread then finishes on its own)."""
    if timeout is None:
        return work()
    box: list[_Outcome | str] = []
    thread = _start(lambda: box.append(work()), "strategy")
    thread.join(timeout)
    return box[0] if box else _timed_out(timeout)


# ---- on local threads --------------------------------------------------------------------


def _run_on_threads(strategies: Mapping[str, Any], names: list[str], market: Any,
                    workers: int | None, timeout: float | None, progress: bool,
                    options: dict[str, Any], outcomes: dict[str, _Outcome | str]) -> None:
    """Fills ``outcomes`` as strategies finish: at most ``workers`` run at a time, each in a
    thread of its own, all over one market."""
    # The market is opened (mapped) once, so every strategy sees one state of the store
    # however it is rewritten meanwhile: a rewrite replaces files, it never changes them.
    shared = _open_market(market)
    _check_benchmark(options["benchmark"], shared)
    limit = workers or os.cpu_count() or 1
    finished: queue.Queue[tuple[str, _Outcome | str]] = queue.Queue()
    waiting = deque(names)
    running: dict[str, float] = {}  # name -> when it started (time.monotonic)
    bar = _Bar(len(names), progress)

    def record(name: str, outcome: _Outcome | str) -> None:
        outcomes[name] = outcome
        bar.done(isinstance(outcome, str))

    def launch(name: str) -> None:
        strategy = strategies[name]
        _start(lambda: finished.put((name, _outcome_of(name, strategy, shared, options))), name)

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
                        record(name, _timed_out(timeout))
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


# ---- on a Dask cluster -------------------------------------------------------------------


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
    from kestrelia.backtest.market import Market

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
                 timeout: float | None) -> _Outcome | str:
    market = worker_market(store_path, *window, state=state)
    return _within(timeout, lambda: _outcome_of(name, strategy, market, options))


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


def _run_on_cluster(client: Any, strategies: Mapping[str, Any], names: list[str], market: Any,
                    timeout: float | None, progress: bool, options: dict[str, Any],
                    outcomes: dict[str, _Outcome | str]) -> None:
    try:
        from distributed import as_completed
    except ImportError:
        raise InputError(DISTRIBUTED_HINT) from None
    store_path = _store_path_of(market)
    from kestrelia.backtest.market import Market

    if isinstance(market, Market):
        _check_benchmark(options["benchmark"], market)
    # The state every strategy runs on: the store as it is now.
    state = store_state(store_path)
    # A Market loaded for a window is loaded for the same window on the workers.
    window = getattr(market, "store_window", (None, None))
    futures = {
        client.submit(_remote_task, store_path, window, state, name, strategies[name], options,
                      timeout, pure=False): name
        for name in names
    }
    bar = _Bar(len(names), progress)
    try:
        for future in as_completed(list(futures)):  # type: ignore[no-untyped-call]
            name = futures[future]
            try:
                outcome = future.result()
            except Exception as exc:
                outcome = _one_line(exc)
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


# ---- assembling the result -------------------------------------------------------------


def _collect(names: list[str], outcomes: Mapping[str, _Outcome | str]) -> SweepResult:
    stats_rows: dict[str, pd.Series] = {}
    returns: dict[str, pd.Series] = {}
    failed: dict[str, str] = {}
    unfinished: list[str] = []
    for name in names:
        outcome = outcomes.get(name)
        if outcome is None:
            unfinished.append(name)
            continue
        if isinstance(outcome, str):
            failed[name] = outcome
            continue
        stats, daily, summary = outcome
        row = pd.Series(stats, dtype=object) if not isinstance(stats, pd.Series) else stats
        if summary is not None:
            row = pd.concat([row, pd.Series(summary).add_prefix("execution_")])
        stats_rows[name] = row
        returns[name] = daily
    stats_frame = pd.DataFrame(stats_rows).T if stats_rows else pd.DataFrame()
    stats_frame = stats_frame.infer_objects()
    if returns:
        returns_frame = pd.concat(returns, axis=1).sort_index()
    else:
        returns_frame = pd.DataFrame(dtype=np.float64)
    return SweepResult(stats=stats_frame, returns=returns_frame, failed=failed,
                       unfinished=unfinished)
