"""What either runner does with each strategy: resolve its weights, run its backtest, and
turn a failure into one line; and the progress bar that counts the strategies done."""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pandas as pd

from kestrelia.backtest.sweeps.result import Outcome
from kestrelia.errors import InputError, KestreliaError

if TYPE_CHECKING:
    from kestrelia.backtest.market import Market

__all__ = ["Progress", "check_benchmark", "one_line", "outcome_of", "timed_out"]


def check_benchmark(benchmark: str, market: Market) -> None:
    if market.benchmarks and benchmark not in market.benchmarks:
        raise InputError(f"benchmark {benchmark!r} is not in the market (it has "
                         f"{', '.join(sorted(market.benchmarks))})")


def one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split()) or type(exc).__name__
    if isinstance(exc, KestreliaError):
        return text
    return f"{type(exc).__name__}: {text}"


def timed_out(timeout: float) -> str:
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


def _run_one(name: str, strategy: Any, market: Market, options: dict[str, Any]) -> Outcome:
    """(figures, returns, execution summary or None) of one strategy, the figures its
    metrics under their own names and the engine's statistics prefixed ``engine_`` (so no
    name means two things); raises on failure."""
    from kestrelia.backtest.run import backtest

    result = backtest(_resolve(strategy, market), market, name=name, **options)
    execution = getattr(result, "execution", None)
    summary = getattr(execution, "summary", None) if execution is not None else None
    figures = pd.concat([result.metrics.astype(object),
                         result.stats.add_prefix("engine_").astype(object)])
    return figures, result.returns, summary


def outcome_of(name: str, strategy: Any, market: Market,
               options: dict[str, Any]) -> Outcome | str:
    """The outcome of one strategy, or its one-line error."""
    try:
        return _run_one(name, strategy, market, options)
    except BaseException as exc:  # one bad strategy never loses the others' results
        return one_line(exc)


class Progress:
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
