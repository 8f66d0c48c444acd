"""``backtest``: one weight matrix through the engine, checked first."""

from __future__ import annotations

from typing import Any

import pandas as pd

from kestrelia.backtest import _validate
from kestrelia.backtest.costs import Costs
from kestrelia.backtest.market import Market
from kestrelia.backtest.result import BacktestResult
from kestrelia.errors import InputError

__all__ = ["SIZING", "backtest"]

SIZING = ("fixed", "compound")


def backtest(weights: pd.DataFrame, market: Market, *, benchmark: str = "000852",
             rolling_window: int = 0, capital: float = 1e8, fee: float | None = None,
             rule_fee: float | None = None, costs: Costs | None = None,
             sizing: str = "fixed", lot_size: int = 200, between: str = "hold",
             start: Any = None, end: Any = None, name: str = "strategy",
             execution: bool = False) -> BacktestResult:
    """Backtest a target-weight matrix at VWAP prices.

    The trading calendar is the market's: a weight row dated D sets the portfolio's target
    on the first trading day after D (a row dated on a weekend sets Monday's, as Friday's
    would), and the backtest runs from the first day a row sets to the market's last day.
    Targets become whole lots of ``lot_size`` shares, trades obey the market's buy and sell
    masks, and each day's profit is taken over the fixed ``capital`` (or, with
    ``sizing="compound"``, over the equity the day's targets were sized from).

    Parameters
    ----------
    weights : pandas.DataFrame
        Target weights, dates x stock codes; NaN means no position. Dates may be a
        ``DatetimeIndex``, date objects, ISO or ``YYYYMMDD`` text or 8-digit integers, in
        any order; codes six digits, integers or with an exchange (``000001.SZ``,
        ``sh600000``). Rows may be given on rebalance dates only (``resample("ME").last()``
        needs no forward fill).
    market : Market
        The market to trade in; its dates are the trading calendar.
    benchmark : str, default "000852"
        The primary benchmark, a key of ``market.benchmarks``; a flat benchmark is used
        when the market has none at all. One without a return on any day of the run is
        refused (``market.with_benchmarks({})`` measures against a flat one).
    rolling_window : int, default 0
        Smooth the weights over this many trading days (0 and 1: no smoothing). Smoothing
        needs a target every day: the rows are carried to every trading day, smoothed and
        traded every day.
    capital : float, default 1e8
        Initial capital; finite and positive.
    fee, rule_fee : float, default 0.0001 and 0.0005
        Commission on both sides and stamp duty on sells; finite, in [0, 1). The same as
        ``costs=Costs(commission=fee, stamp_duty=rule_fee)``; not together with ``costs``.
    costs : Costs, optional
        What trades cost: commission with a minimum per order, stamp duty on either side
        and the transfer fee, each constant or changing on given dates
        (``Costs.china_a_share()`` is what A-share investors paid on each date).
    sizing : {"fixed", "compound"}, default "fixed"
        ``"fixed"``: every day's targets are sized from ``capital``, and a day's return is
        its profit over ``capital``. ``"compound"``: from the equity at the previous close
        (``capital`` plus the profit so far), and a day's return is its profit over that
        equity; from a day the equity is no longer positive, the targets are zero and the
        returns NaN. ``result.daily`` and the charts take each day's profit over
        ``capital`` either way (their ``1 + cumsum`` is the equity over ``capital``).
    lot_size : int, default 200
        Shares per lot; at least 1.
    between : {"hold", "retarget"}, default "hold"
        What a trading day without a new target (no row before it since the last one, or
        a row without any weight) does. ``"hold"``: the last target's share counts stand
        (times any later split), so positions drift with the market and an order a limit
        or a suspension blocked is retried until it fills or a new target replaces it.
        ``"retarget"``: the last row is traded back to every day, as if forward-filled.
    start, end : date, optional
        First and last trading day of the backtest (``end`` defaults to the market's last
        day; ``start`` begins on that day with the target of the latest row before it).
    name : str, default "strategy"
        The strategy's name, used as the stem of saved files (no path separators).
    execution : bool, default False
        Also record what actually traded (``result.execution``: positions, trades, blocked
        orders, exposure and profit attribution), from the same day loop; the returns are
        bit-identical either way.

    Returns
    -------
    BacktestResult
        Its time-indexed results carry a tz-naive ``DatetimeIndex`` named ``date``.

    Raises
    ------
    TypeError
        For ``fee`` or ``rule_fee`` given together with ``costs``.
    InputError
        For a bad argument or weight matrix (named, with the first offending label), for
        weights that share no stock with the market or set no target within it, and for a
        run that has no finite return day, and for costs with no rate on the backtest's
        first day.

    Examples
    --------
    >>> import pandas as pd
    >>> from kestrelia.backtest._examples import example_market
    >>> market = example_market()
    >>> weights = pd.DataFrame(0.4, index=market.dates, columns=market.codes)
    >>> result = backtest(weights, market, lot_size=100, name="demo")
    >>> [str(day.date()) for day in result.returns.index]
    ['2024-01-03', '2024-01-04']
    """
    import kestrelia.backtest._engine as _engine
    from kestrelia.backtest import _plan

    if not isinstance(market, Market):
        raise InputError(f"market must be a kestrelia Market, got {type(market).__name__}")
    if not isinstance(benchmark, str):
        raise InputError(f"benchmark must be text, got {benchmark!r}")
    if market.benchmarks and benchmark not in market.benchmarks:
        raise InputError(f"benchmark {benchmark!r} is not in the market (it has "
                         f"{', '.join(sorted(market.benchmarks))})")
    given = costs
    costs = costs_of(fee, rule_fee, costs)
    if sizing not in SIZING:
        raise InputError(f"sizing must be one of {', '.join(map(repr, SIZING))}, got {sizing!r}")
    parameters: dict[str, Any] = {
        "benchmark": benchmark,
        "rolling_window": _validate.whole_at_least(rolling_window, 0, "rolling_window"),
        "capital": _validate.positive_finite(capital, "capital"),
        "lot_size": _validate.whole_at_least(lot_size, 1, "lot_size"),
        "between": between,
        "sizing": sizing,
        # The costs as they were asked for: the two rates, or the cost model's parts.
        **({"fee": costs.constant("commission"), "rule_fee": costs.constant("stamp_duty")}
           if given is None else costs.parameters()),
    }
    name = _validate.file_stem(name, "name")
    plan = _plan.make_plan(weights, market, between=between,
                           rolling_window=parameters["rolling_window"], start=start, end=end)
    costs.check_days(plan.dates)
    _check_benchmark_has_returns(market, benchmark, plan.dates)
    options = _engine.Options(capital=parameters["capital"],
                              fee=_or_zero(costs.constant("commission")),
                              rule_fee=_or_zero(costs.constant("stamp_duty")),
                              min_commission=costs.min_commission,
                              lot_size=float(parameters["lot_size"]), benchmark=benchmark,
                              record=bool(execution), compound=sizing == "compound")
    rates = {} if not costs.by_day else {
        _ENGINE_RATES[key]: values for key, values in costs.rates_on(plan.dates).items()}
    engine = _engine.run(plan, [m for m in market.matrices().values()],
                         dict(market.benchmarks), options, rates)
    return BacktestResult(name=name, parameters=parameters, engine=engine,
                          benchmarks=dict(market.benchmarks), costs=costs)


def _check_benchmark_has_returns(market: Market, benchmark: str, days: pd.DatetimeIndex) -> None:
    """Refuses a primary benchmark without a return on any simulated day: the engine would
    take its missing returns as 0 and show a flat benchmark under the index's name."""
    series = market.benchmarks.get(benchmark)
    if series is None or len(days) == 0:
        return
    if not series.reindex(days).notna().any():
        raise InputError(f"benchmark {benchmark!r} has no return on any day of the backtest "
                         f"({days[0].date()} to {days[-1].date()}); give another benchmark, "
                         "or a market without benchmarks for a flat one")


# The engine's names of the rates.
_ENGINE_RATES = {"commission": "commission", "stamp_duty": "stamp_sell",
                 "stamp_duty_buy": "stamp_buy", "transfer_fee": "transfer"}


def _or_zero(rate: float | None) -> float:
    """A constant rate for the engine's options; a dated one reaches it by day instead."""
    return 0.0 if rate is None else rate


def costs_of(fee: Any, rule_fee: Any, costs: Any) -> Costs:
    """The cost model of ``fee``/``rule_fee`` or of ``costs`` (not both), checked."""
    if costs is not None:
        if fee is not None or rule_fee is not None:
            given = " and ".join(k for k, v in (("fee", fee), ("rule_fee", rule_fee))
                                 if v is not None)
            raise TypeError(f"backtest() takes the costs either as costs= or as fee= and "
                            f"rule_fee=, not both (got costs= and {given}=)")
        if not isinstance(costs, Costs):
            raise InputError(f"costs must be a kestrelia Costs, got {type(costs).__name__}")
        return costs
    from kestrelia.backtest.costs import DEFAULT_COMMISSION, DEFAULT_STAMP_DUTY

    return Costs(
        commission=DEFAULT_COMMISSION if fee is None else _validate.rate(fee, "fee"),
        stamp_duty=DEFAULT_STAMP_DUTY if rule_fee is None else _validate.rate(rule_fee,
                                                                                "rule_fee"))
