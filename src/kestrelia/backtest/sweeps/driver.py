"""``sweep()``: checks the strategies and options once, hands the strategies to a runner
(local threads, or a Dask cluster with ``client=``) and assembles what they give."""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, Union

import pandas as pd

from kestrelia.backtest import _validate
from kestrelia.backtest._plan import BETWEEN
from kestrelia.backtest.run import SIZING, costs_of
from kestrelia.backtest.sweeps.cluster import run_on_cluster
from kestrelia.backtest.sweeps.local import run_on_threads
from kestrelia.backtest.sweeps.result import Outcome, SweepResult, collect
from kestrelia.errors import InputError

if TYPE_CHECKING:
    from kestrelia.backtest.costs import Costs
    from kestrelia.backtest.market import Market

__all__ = ["Strategy", "sweep"]

#: A strategy: a weights DataFrame, the path of a weights file, or a callable that takes
#: the ``Market`` and returns weights.
Strategy = Union[pd.DataFrame, str, "os.PathLike[str]", Callable[["Market"], pd.DataFrame]]


def sweep(
    strategies: Mapping[str, Strategy],
    market: Market | str | os.PathLike[str],
    *,
    benchmark: str = "000852",
    rolling_window: int = 0,
    capital: float = 1e8,
    fee: float | None = None,
    rule_fee: float | None = None,
    costs: Costs | None = None,
    sizing: str = "fixed",
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
    benchmark, rolling_window, capital, fee, rule_fee, costs, sizing, lot_size, between, start, end, execution
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
        For an option ``backtest`` does not have (``lotsize=``), and for ``fee`` or
        ``rule_fee`` given together with ``costs``.
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
    # The strategies as they are now: a strategy that changes the caller's mapping while
    # the sweep runs (or a mapping that changes by itself) changes nothing the sweep runs.
    strategies = {name: strategies[name] for name in names}
    # Every option a sweep hands on to backtest(), in this one place: a new option of
    # backtest() is a parameter above and one entry here.
    options = _checked_options({
        "benchmark": benchmark, "rolling_window": rolling_window, "capital": capital,
        "fee": fee, "rule_fee": rule_fee, "costs": costs, "sizing": sizing,
        "lot_size": lot_size, "between": between,
        "start": start, "end": end, "execution": execution,
    })
    if workers is not None and (not isinstance(workers, int) or isinstance(workers, bool)
                                or workers < 1):
        raise InputError(f"sweep: workers must be a whole number of at least 1, got {workers!r}")
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                or not math.isfinite(timeout) or timeout <= 0):
        raise InputError(f"sweep: timeout must be a number of seconds greater than 0, or None; "
                         f"got {timeout!r}")
    outcomes: dict[str, Outcome | str] = {}
    try:
        if client is not None:
            run_on_cluster(client, strategies, names, market, timeout, progress, options,
                           outcomes)
        else:
            run_on_threads(strategies, names, market, workers, timeout, progress, options,
                           outcomes)
    except KeyboardInterrupt as interrupt:
        interrupt.partial = collect(names, dict(outcomes))  # type: ignore[attr-defined]
        raise
    return collect(names, outcomes)


def _checked_options(options: dict[str, Any]) -> dict[str, Any]:
    """The options as given, once checked by backtest()'s rules: a bad one stops the sweep
    before any strategy runs instead of failing every strategy alike."""
    if not isinstance(options["benchmark"], str):
        raise InputError(f"benchmark must be text, got {options['benchmark']!r}")
    _validate.whole_at_least(options["rolling_window"], 0, "rolling_window")
    _validate.positive_finite(options["capital"], "capital")
    costs_of(options["fee"], options["rule_fee"], options["costs"])
    if options["sizing"] not in SIZING:
        raise InputError(f"sizing must be one of {', '.join(map(repr, SIZING))}, got "
                         f"{options['sizing']!r}")
    _validate.whole_at_least(options["lot_size"], 1, "lot_size")
    if options["between"] not in BETWEEN:
        raise InputError(f"between must be one of {', '.join(map(repr, BETWEEN))}, got "
                         f"{options['between']!r}")
    _validate.date_window(options["start"], options["end"])
    return options


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
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:
            raise InputError(f"sweep: the strategy name {name!r} is not valid Unicode text "
                             "(a file name in another encoding than UTF-8?)") from None
    return names
