"""From a weight matrix and a market to what the simulation walks: the market days, the
stocks, and for each day the weights row that sets its target.

The trading calendar is the market's. A weight row dated D sets the target of the first
trading day after D, so a row dated on a weekend sets Monday's target exactly as Friday's
row would; when several rows fall before the same trading day, the latest holds. A row
dated on or after the last day of the backtest targets none of its days. The backtest runs
from the day the first row with a weight sets (or ``start``) to the market's last day (or
``end``).

A day that no row sets, like a row without any weight, sets no new target: with
``between="hold"`` the simulation keeps the last target's share counts (times any split
since), so positions drift with the market and blocked orders are retried; with
``"retarget"`` the last row is traded back to every day. Smoothing needs a target every
day: the rows are carried to every market day, smoothed, and every smoothed row is traded.

Nothing is copied for the simulation: the plan names rows and columns of the caller's
weights, and the market's columns, by position.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import pandas as pd

from kestrelia import _labels
from kestrelia.backtest import _validate
from kestrelia.errors import InputError

if TYPE_CHECKING:
    from kestrelia.backtest.market import Market

__all__ = ["BETWEEN", "Plan", "make_plan"]

BETWEEN = ("hold", "retarget")


@dataclass(frozen=True)
class Plan:
    """What the engine walks (see kestrelia.backtest._engine.run).

    ``values`` are the weights (a view of the caller's frame where it is float64);
    simulated day k is market row ``first_row + k`` and trades towards weights row
    ``signal_rows[k]``, and where ``hold[k]`` is 1 it sets no new target (``hold`` is None
    when every day sets one). Simulated stock j is weights column ``weight_cols[j]`` and
    market column ``market_cols[j]``. The engine's statistics are computed from the targets
    carried to every day: ``values`` itself when ``stats_on_values``, else its rows
    ``stats_rows`` and columns ``weight_cols``.
    """

    values: np.ndarray
    signal_rows: np.ndarray
    hold: np.ndarray | None
    weight_cols: np.ndarray
    market_cols: np.ndarray
    first_row: int
    stats_rows: np.ndarray
    stats_on_values: bool
    dates: pd.DatetimeIndex
    codes: pd.Index
    row_labels: pd.Index
    column_labels: pd.Index


def _day_numbers(index: pd.DatetimeIndex) -> np.ndarray:
    return np.asarray(index.values.astype("datetime64[D]").astype(np.int64))


def _bound_row(day: pd.Timestamp | None, days: np.ndarray,
               side: Literal["left", "right"]) -> int | None:
    """The market row of a window's bound: the first day on or after it (left), or the
    last day on or before it (right)."""
    if day is None:
        return None
    number = int(_day_numbers(pd.DatetimeIndex([day]))[0])
    found = int(np.searchsorted(days, number, side=side))
    return found if side == "left" else found - 1


@dataclass(frozen=True)
class _Weights:
    """The weights read once: values, labels, the stocks simulated (those of the market that
    hold a weight somewhere, in the weights' order: their weights and market columns), which
    rows hold a weight for one of the market's stocks, and each row's day number, in date
    order."""

    frame: pd.DataFrame
    values: np.ndarray
    codes: pd.Index
    weight_cols: np.ndarray
    market_cols: np.ndarray
    has_row: np.ndarray
    order: np.ndarray  # row positions in date order
    days: np.ndarray  # day numbers in date order


def _read(weights: pd.DataFrame, market: Market) -> _Weights:
    import kestrelia.backtest._engine as _engine

    _validate.frame(weights, "weights")
    dates = _labels.trading_dates(weights.index, "weights")
    codes = _labels.stock_codes(weights.columns, "weights")
    _validate.numeric(weights, "weights")
    values = weights.to_numpy(dtype=np.float64, copy=False)
    if not values.flags.f_contiguous and values.size * 4 <= market.close_price.size:
        # Rows on rebalance dates only, laid out by rows as pandas makes them: a quarter of
        # a market matrix at most, copied by columns so that the simulation walks every input
        # one stock at a time, as over a store's column-major market.
        values = np.asfortranarray(values)
    position = market.codes.get_indexer(codes)
    in_market = np.flatnonzero(position >= 0).astype(np.int64)
    if len(in_market) == 0:
        raise InputError("weights share no stock code with the market")
    # Rows and stocks judged by the market's stocks only: a row whose only weights are for
    # codes the market does not have sets no target. Infinite weights are refused by the
    # engine, whose statistics read every weight the simulation does.
    has_row, has_col = _engine.scan_weights(values, in_market)
    if not has_col.any():
        raise InputError("weights: no stock of the market has a weight on any date (every "
                         "weight of its stocks is NaN)")
    weight_cols = in_market[has_col]
    days = _day_numbers(dates)
    order = np.argsort(days, kind="stable")
    return _Weights(weights, values, codes, weight_cols, position[weight_cols].astype(np.int64),
                    has_row, order, days[order])


@dataclass(frozen=True)
class _Rows:
    """Rows that set targets (positions into the weights, in date order) and the market row
    each one sets."""

    rows: np.ndarray
    sets: np.ndarray


def _setting_rows(w: _Weights, market_days: np.ndarray, every_row: bool) -> _Rows:
    rows = w.order if every_row else w.order[w.has_row[w.order]]
    days = w.days if every_row else w.days[w.has_row[w.order]]
    return _Rows(rows.astype(np.int64), np.searchsorted(market_days, days, side="right"))


def _schedule(setting: _Rows, first: int, last: int, between: str, rows_total: int,
              columns_total: int, weight_cols: np.ndarray) -> dict[str, Any]:
    """Signal rows and hold flags of market rows first .. last, and the statistics' rows."""
    market_rows = np.arange(first, last + 1)
    effective = np.searchsorted(setting.sets, market_rows, side="right") - 1
    signal_rows = setting.rows[effective]
    hold = setting.sets[effective] != market_rows
    hold[0] = False
    # The statistics see the target of every day, and the row in effect after the last one
    # (the one dated on it, when there is one), as the engine's own pipeline does.
    after = int(np.searchsorted(setting.sets, last + 1, side="right")) - 1
    stats_rows = np.append(signal_rows, setting.rows[after])
    stats_on_values = (len(stats_rows) == rows_total
                       and bool((stats_rows == np.arange(rows_total)).all())
                       and len(weight_cols) == columns_total
                       and bool((weight_cols == np.arange(columns_total)).all()))
    return {
        "signal_rows": signal_rows.astype(np.int64),
        "hold": hold.astype(np.uint8) if between == "hold" and hold.any() else None,
        "stats_rows": stats_rows.astype(np.int64),
        "stats_on_values": stats_on_values,
    }


def make_plan(weights: pd.DataFrame, market: Market, *, between: str = "hold",
              rolling_window: int = 0, start: Any = None, end: Any = None) -> Plan:
    """The plan of a backtest of ``weights`` in ``market``; see the module's docstring.

    Raises ``InputError`` for labels that are not dates or stock codes, two labels of the
    same date or code, an infinite or non-numeric weight, weights that share no stock with
    the market, and weights that set no target on any day of the window.
    """
    if between not in BETWEEN:
        raise InputError(f"between must be one of {', '.join(map(repr, BETWEEN))}, got "
                         f"{between!r}")
    w = _read(weights, market)
    weight_cols, market_cols = w.weight_cols, w.market_cols
    market_days = _day_numbers(market.dates)
    n_market = len(market_days)
    lo, hi = _validate.date_window(start, end)
    start_row = _bound_row(lo, market_days, "left")
    end_row = _bound_row(hi, market_days, "right")
    _check_window(market, start, end, start_row, end_row)
    last = n_market - 1 if end_row is None else min(end_row, n_market - 1)

    smoothing = rolling_window > 1
    setting = _setting_rows(w, market_days, every_row=False)
    usable = setting.sets <= last
    if not usable.any():
        raise InputError(_no_target(w, market, last))
    first = int(setting.sets[usable][0]) if start_row is None else max(
        start_row, int(setting.sets[usable][0]))
    if first > last:
        raise InputError(_no_target(w, market, last))

    if smoothing:
        return _smoothed_plan(w, market, setting, first, last, weight_cols, market_cols,
                              rolling_window, start_row)
    schedule = _schedule(setting, first, last, between, len(w.values), w.values.shape[1],
                         weight_cols)
    return Plan(values=w.values, weight_cols=weight_cols, market_cols=market_cols,
                first_row=first, dates=market.dates[first:last + 1],
                codes=market.codes[market_cols], row_labels=w.frame.index,
                column_labels=w.frame.columns, **schedule)


def _smoothed_plan(w: _Weights, market: Market, setting: _Rows, first: int, last: int,
                   weight_cols: np.ndarray, market_cols: np.ndarray, window: int,
                   start_row: int | None) -> Plan:
    """Smoothing needs a target on every day: the rows in effect are carried to every
    market day from the one that sets the first day's target, smoothed by the engine, and
    every smoothed row then sets its next day's target."""
    import kestrelia.backtest._engine as _engine

    signal_day = max(first - 1, 0)
    days = np.arange(signal_day, last + 1)
    effective = np.searchsorted(setting.sets, days + 1, side="right") - 1
    rows = setting.rows[np.maximum(effective, 0)]
    everything = (len(rows) == len(w.values) and bool((rows == np.arange(len(rows))).all())
                  and len(weight_cols) == w.values.shape[1])
    infinite = np.isinf(w.values[np.ix_(rows, weight_cols)]) if not everything else np.isinf(
        w.values)
    if infinite.any():
        row, col = np.argwhere(infinite)[0]
        row, col = (rows[row], weight_cols[col]) if not everything else (row, col)
        raise InputError(f"weights: the weight {w.values[row, col]} at "
                         f"({w.frame.index[row]!r}, {w.frame.columns[col]!r}) is not finite")
    if everything:
        # The caller's own matrix, in its own layout, as the engine's pipeline smooths it.
        carried = pd.DataFrame(w.values, index=market.dates[days], columns=w.codes, copy=False)
    else:
        values = np.asfortranarray(w.values[np.ix_(rows, weight_cols)])
        values[effective < 0] = np.nan
        carried = pd.DataFrame(values, index=market.dates[days], columns=w.codes[weight_cols],
                               copy=False)
    smoothed = _engine.smooth(carried, int(window))
    if len(smoothed) == 0:
        raise InputError(f"no day of the backtest has a target after smoothing over {window} "
                         f"days ({len(days)} days of weights)")
    # Each smoothed row is dated on a market day and sets the next day's target.
    smoothed_days = np.searchsorted(_day_numbers(market.dates),
                                    _day_numbers(pd.DatetimeIndex(smoothed.index)), side="right")
    values = smoothed.to_numpy(dtype=np.float64, copy=False)
    inner = _Rows(np.arange(len(values), dtype=np.int64), smoothed_days)
    first = int(smoothed_days[0]) if start_row is None else max(start_row, int(smoothed_days[0]))
    if first > last:
        raise InputError(f"no day of the backtest has a target after smoothing over {window} "
                         "days")
    columns = np.arange(values.shape[1], dtype=np.int64)
    schedule = _schedule(inner, first, last, "retarget", len(values), values.shape[1], columns)
    return Plan(values=values, weight_cols=columns, market_cols=market_cols, first_row=first,
                dates=market.dates[first:last + 1], codes=market.codes[market_cols],
                row_labels=smoothed.index, column_labels=smoothed.columns, **schedule)


def _check_window(market: Market, start: Any, end: Any, start_row: int | None,
                  end_row: int | None) -> None:
    """Refuses a ``start``/``end`` window that holds no day of the market, saying so."""
    dates = market.dates
    if len(dates) == 0:
        return  # said where the targets are looked for
    first, last = dates[0].date(), dates[-1].date()
    if start_row is not None and start_row >= len(dates):
        raise InputError(f"start {start!r} is after the market's last day, {last}")
    if end_row is not None and end_row < 0:
        raise InputError(f"end {end!r} is before the market's first day, {first}")
    if start_row is not None and end_row is not None and start_row > end_row:
        raise InputError(f"the window from start {start!r} to end {end!r} holds no trading "
                         f"day of the market ({first} to {last})")


def _no_target(w: _Weights, market: Market, last: int) -> str:
    if len(market.dates) == 0:
        return "the market has no trading day"
    day = market.dates[last].date()
    return (f"no weight row sets a target on a day of the backtest: a row sets the next "
            f"trading day's target, and the backtest's last day is {day}")
