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


def make_total_frame(pelorin, n: int, *, seed: int = 0, start: str = "2015-01-05") -> pd.DataFrame:
    """The total frame of a backtest of ``n`` days with a benchmark, as the charts take it."""
    rng = np.random.default_rng(seed)
    dates = trading_dates(n, start)
    bench = rng.normal(0.0002, 0.011, n)
    frame = pd.DataFrame({"daily_return": rng.normal(0.0006, 0.012, n), "index_daily_return": bench,
                          "close": 1 + np.cumsum(bench)}, index=dates)  # fmt: skip
    return pelorin._build_total_backtesting_frame(frame)
