"""Synthetic markets, the one source of made-up market data for tests and benchmarks.

``make_market`` gives the small, dense markets the tests use (every kind of event happens
within a few dozen days); ``synthetic_market`` the full-market scale the benchmarks time
(few holdings a day, realistic event rates); ``make_total_frame`` a backtest's total frame
for the chart code. All are seeded and share the date and code labels.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

MARKET_KEYS = (
    "can_buy_stock",
    "cant_sell_stock",
    "split_factor",
    "dividend_factor",
    "close_price",
    "prev_close",
    "buy_price",
    "sell_price",
)


@dataclass
class Market:
    """Target weights and the eight market matrices of one synthetic market."""

    weights: pd.DataFrame
    can_buy_stock: pd.DataFrame
    cant_sell_stock: pd.DataFrame
    split_factor: pd.DataFrame
    dividend_factor: pd.DataFrame
    close_price: pd.DataFrame
    prev_close: pd.DataFrame
    buy_price: pd.DataFrame
    sell_price: pd.DataFrame

    def matrices(self) -> dict[str, pd.DataFrame]:
        return {key: getattr(self, key) for key in MARKET_KEYS}

    def args(self) -> tuple:
        return (self.weights, *self.matrices().values())


def trading_dates(n: int, start: str = "2021-01-04") -> pd.Index:
    return pd.Index(pd.bdate_range(start, periods=n).strftime("%Y%m%d"))


def stock_codes(n: int) -> pd.Index:
    return pd.Index([f"{600000 + j:06d}" for j in range(n)])


def make_market(
    n_days: int = 60,
    n_stocks: int = 12,
    seed: int = 0,
    *,
    weight_density: float = 0.4,
    missing_price: float = 0.02,
    blocked: float = 0.05,
) -> Market:
    """A small market where splits, dividends, gaps and blocked trades all occur."""
    rng = np.random.default_rng(seed)
    dates = trading_dates(n_days)
    codes = stock_codes(n_stocks)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes)

    shape = (n_days, n_stocks)
    steps = rng.normal(0.0, 0.02, shape)
    close = frame(10.0 * np.exp(np.cumsum(steps, axis=0)))
    close = close.where(rng.random(shape) >= missing_price)
    prev_close = close.shift(1)
    buy = close * (1 + rng.normal(0.0, 0.004, shape))
    sell = close * (1 + rng.normal(0.0, 0.004, shape))
    split = frame(np.where(rng.random(shape) < 0.01, 1.5, np.nan))
    dividend = frame(np.where(rng.random(shape) < 0.02, 0.2, np.nan))
    can_buy = frame(rng.random(shape) >= blocked)
    cant_sell = frame(rng.random(shape) < blocked)
    raw = np.where(rng.random(shape) < weight_density, rng.random(shape), np.nan)
    weights = frame(raw)
    weights = weights.div(weights.sum(axis=1), axis=0)
    return Market(weights, can_buy, cant_sell, split, dividend, close, prev_close, buy, sell)


def synthetic_market(n_stocks: int, n_days: int, seed: int = 7):
    """A whole market at benchmark scale: ``(weights, matrices, {"000852": benchmark})``.

    About 300 names are picked a day and held for several days (a reversal-like strategy);
    1 % of prices are missing (suspensions), 2 % of days are limit-up or limit-down.
    """
    rng = np.random.default_rng(seed)
    dates = trading_dates(n_days, "2015-01-05")
    codes = stock_codes(n_stocks)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes)

    shape = (n_days, n_stocks)
    log_steps = rng.normal(0.0003, 0.022, shape)
    close = 12.0 * np.exp(np.cumsum(log_steps, axis=0))
    suspended = rng.random(shape) < 0.01
    close[suspended] = np.nan
    close_f = frame(close)
    prev_close = close_f.shift(1)
    buy = close_f * (1 + rng.normal(0.0, 0.004, shape))
    sell = close_f * (1 + rng.normal(0.0, 0.004, shape))
    split = frame(np.where(rng.random(shape) < 0.0005, 1.3, np.nan))
    dividend = frame(np.where(rng.random(shape) < 0.002, 0.25, np.nan))
    limit_up = rng.random(shape) < 0.02
    limit_down = rng.random(shape) < 0.02
    can_buy = frame(~(limit_up | suspended))
    cant_sell = frame(limit_down | suspended)
    picks = rng.random(shape) < 300 / n_stocks
    held = pd.DataFrame(picks).rolling(5, min_periods=1).max().to_numpy() > 0
    raw = np.where(held, 1.0, np.nan)
    weights = frame(raw / np.nansum(raw, axis=1, keepdims=True))
    bench = pd.Series(rng.normal(0.0002, 0.012, n_days), index=dates)
    matrices = dict(
        can_buy_stock=can_buy, cant_sell_stock=cant_sell, split_factor=split,
        dividend_factor=dividend, close_price=close_f, prev_close=prev_close,
        buy_price=buy, sell_price=sell,
    )  # fmt: skip
    return weights, matrices, {"000852": bench}


def realistic_market(n_stocks: int, n_days: int, seed: int = 11, positions: int = 500):
    """A whole market shaped like real data: ``(weights, matrices, {"000852": benchmark})``.

    A third of the stocks list after the first day and a tenth delist before the last (no
    prices outside their lives), runs of suspensions of a few days to a month cover about
    2 % of a stock's life, and the weights hold about ``positions`` names a day, each held
    for a couple of weeks. The weights have a row on every day and a column per stock; the
    benchmark variants in bench/backtest.py take rows and columns away from them.
    """
    rng = np.random.default_rng(seed)
    dates = trading_dates(n_days, "2015-01-05")
    codes = stock_codes(n_stocks)
    shape = (n_days, n_stocks)
    day = np.arange(n_days)[:, None]
    listed = np.where(rng.random(n_stocks) < 0.33, rng.integers(1, n_days, n_stocks), 0)
    delisted = np.where(rng.random(n_stocks) < 0.1, rng.integers(1, n_days, n_stocks), n_days)
    delisted = np.maximum(delisted, listed + 20)
    alive = (day >= listed) & (day < delisted)
    suspended = np.zeros(shape, dtype=bool)
    for _ in range(int(0.02 * n_days / 8)):  # runs of 1 to 20 days, about 2 % of days
        start = rng.integers(0, n_days, n_stocks)
        length = rng.integers(1, 21, n_stocks)
        suspended |= (day >= start) & (day < start + length)
    trading = alive & ~suspended
    close = 12.0 * np.exp(np.cumsum(rng.normal(0.0003, 0.022, shape), axis=0))
    close = np.where(trading, close, np.nan)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes)

    close_f = frame(close)
    prev_close = close_f.ffill().shift(1).where(alive)
    buy = close_f * (1 + rng.normal(0.0, 0.004, shape))
    sell = close_f * (1 + rng.normal(0.0, 0.004, shape))
    split = frame(np.where(trading & (rng.random(shape) < 0.0005), 1.3, np.nan))
    dividend = frame(np.where(trading & (rng.random(shape) < 0.002), 0.25, np.nan))
    limit = trading & (rng.random(shape) < 0.02)
    can_buy = frame(trading & ~limit)
    cant_sell = frame(~trading | (limit & (rng.random(shape) < 0.5)))
    # Each pick is held for ten days; about three quarters of the stocks trade on a day.
    picks = trading & (rng.random(shape) < positions / n_stocks / 7.5)
    held = pd.DataFrame(picks).rolling(10, min_periods=1).max().to_numpy() > 0
    raw = np.where(held & trading, 1.0, np.nan)
    weights = frame(raw / np.nansum(raw, axis=1, keepdims=True))
    bench = pd.Series(rng.normal(0.0002, 0.012, n_days), index=dates)
    matrices = dict(
        can_buy_stock=can_buy, cant_sell_stock=cant_sell, split_factor=split,
        dividend_factor=dividend, close_price=close_f, prev_close=prev_close,
        buy_price=buy, sell_price=sell,
    )  # fmt: skip
    return weights, matrices, {"000852": bench}


def make_total_frame(pelorin, n: int, *, seed: int = 0, start: str = "2015-01-05") -> pd.DataFrame:
    """The total frame of a backtest of ``n`` days with a benchmark, as the charts take it."""
    rng = np.random.default_rng(seed)
    dates = trading_dates(n, start)
    bench = rng.normal(0.0002, 0.011, n)
    frame = pd.DataFrame({"daily_return": rng.normal(0.0006, 0.012, n), "index_daily_return": bench,
                          "close": 1 + np.cumsum(bench)}, index=dates)  # fmt: skip
    return pelorin._build_total_backtesting_frame(frame)
