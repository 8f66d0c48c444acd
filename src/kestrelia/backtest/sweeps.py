"""Many strategies over one market: a thread pool sharing one memory-mapped market, or a
Dask cluster whose workers each map the store once.

The native simulation releases the GIL, so threads over one ``Market`` run backtests side by
side without copying the market; on a cluster, each task carries only the store's path and
the strategy's description, never the market matrices.
"""

from __future__ import annotations

import os
import sys
import threading
from collections.abc import Callable, Mapping
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Union

import numpy as np
import pandas as pd

from kestrelia.errors import InputError, KestreliaError

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

    Examples
    --------
    >>> from kestrelia.backtest.market import _example_market
    >>> market = _example_market()
    >>> result = sweep({"half": market.close_price * 0 + 0.5}, market, progress=False)
    >>> result
    SweepResult(1 strategies, 2 days, 0 failed)
    >>> result.net_values().columns.tolist()
    ['half']
    """

    stats: pd.DataFrame
    returns: pd.DataFrame
    failed: dict[str, str] = field(default_factory=dict)

    def __repr__(self) -> str:
        return (f"SweepResult({len(self.stats)} strategies, {len(self.returns)} days, "
                f"{len(self.failed)} failed)")

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
        for column, color in zip(named, colors, strict=True):
            values = net[column].to_numpy()
            ax.plot(index, values, color=color, linewidth=1.4, zorder=2,
                    marker="o" if len(values) == 1 else None,
                    label=f"{column} ({values[-1] - 1:+.1%})")
        ax.axhline(1.0, color="0.4", linewidth=0.8, linestyle="--", zorder=0)
        title = f"Net value of {len(net.columns)} strategies (fixed capital), best first"
        if rest:
            title += f"; {len(rest)} more in grey"
        ax.set_title(title)
        ax.set_ylabel("Net value")
        ax.grid(alpha=0.3)
        if len(named):
            ncol = 1 if len(named) <= 15 else 2 if len(named) <= 34 else 3
            ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=7 if ncol > 1 else 8,
                      ncol=ncol, frameon=False)
        if self.failed:
            fig.text(0.01, 0.005, f"{len(self.failed)} failed: "
                     + ", ".join(list(self.failed)[:8]) + (" ..." if len(self.failed) > 8 else ""),
                     fontsize=8, color="firebrick")
        return fig

    def save(self, directory: str | os.PathLike[str], *, force: bool = False) -> list[Path]:
        """Writes ``stats.csv``/``.parquet``, ``returns.csv``/``.parquet``, ``failed.csv``
        and ``sweep.png`` into ``directory``; existing files only with ``force``."""
        out = Path(directory).expanduser()
        names = ["stats.csv", "stats.parquet", "returns.csv", "returns.parquet",
                 "failed.csv", "sweep.png"]
        files = [out / name for name in names]
        if out.exists() and not out.is_dir():
            raise InputError(f"{out} exists and is not a directory")
        existing = [f for f in files if f.exists()]
        if existing and not force:
            raise InputError(f"{existing[0]} already exists; pass force=True to overwrite")
        out.mkdir(parents=True, exist_ok=True)
        stats = self.stats.rename_axis("strategy")
        stats.to_csv(files[0])
        stats.to_parquet(files[1])
        returns = self.returns.rename_axis("date")
        returns.to_csv(files[2])
        returns.to_parquet(files[3])
        pd.DataFrame({"strategy": list(self.failed), "error": list(self.failed.values())},
                     dtype=object).to_csv(files[4], index=False)
        self.figure().savefig(files[5])
        return files


def _palette(n: int) -> list[tuple[float, float, float, float]]:
    from matplotlib import colormaps

    cmap = colormaps["tab20" if n > 10 else "tab10"]
    return [cmap(i % cmap.N) for i in range(n)]


def _as_dates(index: pd.Index) -> pd.Index:
    try:
        return pd.DatetimeIndex(pd.to_datetime(index.astype(str), format="%Y%m%d"))
    except (ValueError, TypeError):
        return index


# ---- running the strategies ------------------------------------------------------------


def sweep(
    strategies: Mapping[str, Strategy],
    market: Market | str | os.PathLike[str],
    *,
    workers: int | None = None,
    client: Any = None,
    progress: bool = True,
    **backtest_options: Any,
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
    workers : int, optional
        Threads of the local pool (default: the number of cores). Results do not depend on
        it.
    client : dask.distributed.Client, optional
        Run on this cluster instead: each task carries the store path and the strategy's
        description; each worker maps the store once and reuses it until the store changes.
        The store must be on a filesystem every worker sees, and ``market`` must be a store
        path (or a ``Market`` loaded from one).
    progress : bool
        A progress bar on stderr when it is a terminal.
    **backtest_options
        Keywords of :func:`kestrelia.backtest.backtest`, applied to every strategy (``name``
        is each strategy's own).

    Returns
    -------
    SweepResult
        Statistics, returns and the strategies that failed (one bad strategy never loses the
        others' results).

    Raises
    ------
    InputError
        For an empty or badly typed ``strategies``, a bad ``workers``, or ``client`` with a
        market that is not a store.

    Examples
    --------
    >>> from kestrelia.backtest.market import _example_market
    >>> market = _example_market()
    >>> half = market.close_price * 0 + 0.5
    >>> result = sweep({"half": half, "broken": lambda m: 1 / 0}, market, progress=False)
    >>> list(result.stats.index), result.failed
    (['half'], {'broken': 'ZeroDivisionError: division by zero'})
    """
    names = _check_strategies(strategies)
    if "name" in backtest_options:
        raise InputError("sweep: 'name' is each strategy's own; do not pass it as an option")
    if workers is not None and (not isinstance(workers, int) or isinstance(workers, bool)
                                or workers < 1):
        raise InputError(f"sweep: workers must be a whole number of at least 1, got {workers!r}")
    if client is not None:
        outcomes = _run_on_cluster(client, strategies, names, market, progress, backtest_options)
    else:
        outcomes = _run_on_threads(strategies, names, market, workers, progress, backtest_options)
    return _collect(names, outcomes)


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


def _resolve(strategy: Any, market: Market) -> pd.DataFrame:
    if isinstance(strategy, pd.DataFrame):
        return strategy
    if isinstance(strategy, (str, os.PathLike)):
        from kestrelia.backtest.weights import read_weights

        return read_weights(Path(strategy))
    if callable(strategy):
        weights = strategy(market)
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
    from kestrelia.backtest import backtest

    result = backtest(_resolve(strategy, market), market, name=name, **options)
    execution = getattr(result, "execution", None)
    summary = getattr(execution, "summary", None) if execution is not None else None
    return result.stats, result.returns, summary


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


def _run_on_threads(strategies: Mapping[str, Any], names: list[str], market: Any,
                    workers: int | None, progress: bool, options: dict[str, Any]) -> dict[str, Any]:
    shared = _open_market(market)
    outcomes: dict[str, Any] = {}
    bar = _Bar(len(names), progress)
    n_workers = workers or os.cpu_count() or 1
    try:
        with ThreadPoolExecutor(max_workers=n_workers, thread_name_prefix="kestrelia-sweep") as pool:
            pending: dict[Future[_Outcome], str] = {
                pool.submit(_run_one, name, strategies[name], shared, options): name
                for name in names
            }
            while pending:
                finished, _ = wait(pending, return_when=FIRST_COMPLETED)
                for future in finished:
                    name = pending.pop(future)
                    outcomes[name] = _outcome(future)
                    bar.done(isinstance(outcomes[name], str))
    finally:
        bar.close()
    return outcomes


def _outcome(future: Future[_Outcome]) -> _Outcome | str:
    try:
        return future.result()
    except Exception as exc:  # one bad strategy never loses the others' results
        return _one_line(exc)


# ---- on a Dask cluster -------------------------------------------------------------------

# Per worker process: (store path, window) -> (metadata stamp, Market). A task maps the store
# once per process and reuses it until the store's metadata file is replaced (every write
# renames a new one into place, so its inode and mtime change).
_MARKETS: dict[tuple[str, str | None, str | None], tuple[tuple[int, int, int], Market]] = {}
_MARKETS_LOCK = threading.Lock()


def _store_stamp(path: str) -> tuple[int, int, int]:
    stat = os.stat(Path(path) / "metadata.pkl")
    return (stat.st_ino, stat.st_mtime_ns, stat.st_size)


def worker_market(path: str, start: str | None = None, end: str | None = None) -> Market:
    """The market of the store at ``path`` between two dates, mapped once per process and
    store version."""
    from kestrelia.backtest.market import Market

    real = os.path.realpath(path)
    key = (real, start, end)
    stamp = _store_stamp(real)
    with _MARKETS_LOCK:
        cached = _MARKETS.get(key)
        if cached is not None and cached[0] == stamp:
            return cached[1]
        market = Market.from_store(real, start=start, end=end)
        _MARKETS[key] = (stamp, market)
        return market


def _remote_task(store_path: str, window: tuple[str | None, str | None], name: str,
                 strategy: Any, options: dict[str, Any]) -> _Outcome:
    return _run_one(name, strategy, worker_market(store_path, *window), options)


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
                    progress: bool, options: dict[str, Any]) -> dict[str, Any]:
    try:
        from distributed import as_completed
    except ImportError:
        raise InputError(DISTRIBUTED_HINT) from None
    store_path = _store_path_of(market)
    # A Market loaded for a window is loaded for the same window on the workers.
    window = getattr(market, "store_window", (None, None))
    futures = {
        client.submit(_remote_task, store_path, window, name, strategies[name], options,
                      pure=False): name
        for name in names
    }
    outcomes: dict[str, Any] = {}
    bar = _Bar(len(names), progress)
    try:
        for future in as_completed(list(futures)):  # type: ignore[no-untyped-call]
            name = futures[future]
            try:
                outcomes[name] = future.result()
            except Exception as exc:
                outcomes[name] = _one_line(exc)
            bar.done(isinstance(outcomes[name], str))
    finally:
        bar.close()
    return outcomes


# ---- assembling the result -------------------------------------------------------------


def _collect(names: list[str], outcomes: dict[str, Any]) -> SweepResult:
    stats_rows: dict[str, pd.Series] = {}
    returns: dict[str, pd.Series] = {}
    failed: dict[str, str] = {}
    for name in names:
        outcome = outcomes[name]
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
    return SweepResult(stats=stats_frame, returns=returns_frame, failed=failed)
