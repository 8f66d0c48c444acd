"""``backtest``: one weight matrix through the engine, checked first."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from kestrelia.backtest import _validate
from kestrelia.backtest.market import Market
from kestrelia.backtest.result import BacktestResult
from kestrelia.errors import InputError

__all__ = ["backtest"]


def backtest(weights: pd.DataFrame, market: Market, *, benchmark: str = "000852",
             rolling_window: int = 0, capital: float = 1e8, fee: float = 0.0001,
             rule_fee: float = 0.0005, lot_size: int = 200,
             name: str = "strategy", execution: bool = False) -> BacktestResult:
    """Backtest a target-weight matrix at VWAP prices.

    The weights of day T-1 set the portfolio's target on day T; targets become whole
    lots of ``lot_size`` shares, trades obey the market's buy and sell masks, and each
    day's profit is taken over the fixed ``capital``.

    Parameters
    ----------
    weights : pandas.DataFrame
        Target weights, dates (sorted ascending, unique) x six-digit stock codes; NaN
        means no signal.
    market : Market
        The market to trade in; its ``close_price`` sets the dates and stocks.
    benchmark : str, default "000852"
        The primary benchmark, a key of ``market.benchmarks``; a flat benchmark is used
        when the market has none at all.
    rolling_window : int, default 0
        Smooth the weights over this many trading days (0 and 1: no smoothing).
    capital : float, default 1e8
        Initial capital; finite and positive.
    fee, rule_fee : float, default 0.0001 and 0.0005
        Commission on both sides and stamp duty on sells; finite, in [0, 1).
    lot_size : int, default 200
        Shares per lot; at least 1.
    name : str, default "strategy"
        The strategy's name, used as the stem of saved files (no path separators).
    execution : bool, default False
        Also record what actually traded (``result.execution``: positions, trades, blocked
        orders, exposure and profit attribution), from the same day loop; the returns are
        bit-identical either way.

    Returns
    -------
    BacktestResult

    Raises
    ------
    InputError
        For a bad argument or weight matrix (named, with the first offending label), for
        weights that share no date or stock with the market, and for a run that has no
        finite return day.

    Examples
    --------
    >>> import pandas as pd
    >>> from kestrelia.backtest.market import _example_market
    >>> market = _example_market()
    >>> weights = pd.DataFrame(0.4, index=market.dates, columns=market.codes)
    >>> result = backtest(weights, market, lot_size=100, name="demo")
    >>> list(result.returns.index)
    ['20240103', '20240104']
    """
    if not isinstance(market, Market):
        raise InputError(f"market must be a kestrelia Market, got {type(market).__name__}")
    _validate.frame(weights, "weights")
    _validate.sorted_unique_index(weights.index, "weights")
    _validate.stock_codes(weights.columns, "weights")
    _validate.finite_or_nan(weights, "weights")
    if not isinstance(benchmark, str):
        raise InputError(f"benchmark must be text, got {benchmark!r}")
    if market.benchmarks and benchmark not in market.benchmarks:
        raise InputError(f"benchmark {benchmark!r} is not in the market (it has "
                         f"{', '.join(sorted(market.benchmarks))})")
    parameters: dict[str, Any] = {
        "benchmark": benchmark,
        "rolling_window": _validate.whole_at_least(rolling_window, 0, "rolling_window"),
        "capital": _validate.positive_finite(capital, "capital"),
        "fee": _validate.rate(fee, "fee"),
        "rule_fee": _validate.rate(rule_fee, "rule_fee"),
        "lot_size": _validate.whole_at_least(lot_size, 1, "lot_size"),
    }
    name = _validate.file_stem(name, "name")
    if len(weights.index.intersection(market.dates)) == 0:
        raise InputError("weights share no date with the market")
    if len(weights.columns.intersection(market.codes)) == 0:
        raise InputError("weights share no stock code with the market")

    from kestrelia.backtest import _engine

    options: dict[str, Any] = dict(
        rolling_window=parameters["rolling_window"], total_money=parameters["capital"],
        fee=parameters["fee"], rule_fee=parameters["rule_fee"],
        lot_size=parameters["lot_size"])
    try:
        engine = _engine.run_backtest(
            weights, market.can_buy_stock, market.cant_sell_stock, market.split_factor,
            market.dividend_factor, market.close_price, market.prev_close, market.buy_price,
            market.sell_price, benchmark_dict=market.benchmarks or None,
            benchmark_names=benchmark, rolling_window=options["rolling_window"],
            total_money=options["total_money"], fee=options["fee"],
            rule_fee=options["rule_fee"], lot_size=options["lot_size"], strategy_name=name,
            execution=bool(execution))
    except KeyError as exc:
        # The engine's statistics read columns of the total frame by name; a total frame
        # without a single finite return day fails there. Say why instead.
        if _all_returns_missing(weights, market, options):
            raise InputError("every return day of the backtest is NaN (weights or prices so "
                             "large that the positions overflow?); there is nothing to "
                             "report") from exc
        raise
    if len(engine["daily_return"]) == 0:
        raise InputError(_no_return_day(engine))
    return BacktestResult(name=name, parameters=parameters, engine=engine,
                          benchmarks=market.benchmarks)


def _all_returns_missing(weights: pd.DataFrame, market: Market,
                         options: dict[str, Any]) -> bool:
    from kestrelia.backtest import _pelorin

    work = _pelorin._smooth_strategy_weights(
        weights.loc[weights.index.intersection(market.dates),
                    weights.columns.intersection(market.codes)],
        options["rolling_window"])
    returns = _pelorin.calc_strategy_vwap_daily_return(
        work, **market.matrices(), total_money=options["total_money"], fee=options["fee"],
        rule_fee=options["rule_fee"], lot_size=options["lot_size"])
    return bool(returns.isna().all())


def _no_return_day(engine: dict[str, Any]) -> str:
    work = engine["work"]
    if not np.isfinite(work.to_numpy(dtype=float, copy=False)).any():
        return ("the backtest has no return day: no weight on a priced date and stock "
                "(after smoothing)")
    return ("the backtest has no return day: every day's return is missing (NaN), or the "
            "weights need at least two priced dates with a weight on the earlier one")
