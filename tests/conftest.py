"""Shared fixtures: a seeded hypothesis profile and a small synthetic market factory."""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, settings

sys.path.insert(0, str(Path(__file__).parent))

# CI must never fail by chance: there the search is derandomized (the same examples every
# run). Locally the search stays random, so new inputs keep being tried.
settings.register_profile(
    "ci",
    derandomize=True,
    deadline=None,
    max_examples=60,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "dev",
    deadline=None,
    max_examples=60,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("ci" if os.environ.get("CI") else "dev")

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
    rng = np.random.default_rng(seed)
    dates = trading_dates(n_days)
    codes = stock_codes(n_stocks)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes)

    steps = rng.normal(0.0, 0.02, (n_days, n_stocks))
    close = frame(10.0 * np.exp(np.cumsum(steps, axis=0)))
    close = close.where(rng.random((n_days, n_stocks)) >= missing_price)
    prev_close = close.shift(1)
    buy = close * (1 + rng.normal(0.0, 0.004, (n_days, n_stocks)))
    sell = close * (1 + rng.normal(0.0, 0.004, (n_days, n_stocks)))
    split = frame(np.where(rng.random((n_days, n_stocks)) < 0.01, 1.5, np.nan))
    dividend = frame(np.where(rng.random((n_days, n_stocks)) < 0.02, 0.2, np.nan))
    can_buy = frame(rng.random((n_days, n_stocks)) >= blocked)
    cant_sell = frame(rng.random((n_days, n_stocks)) < blocked)
    raw = np.where(rng.random((n_days, n_stocks)) < weight_density, rng.random((n_days, n_stocks)), np.nan)
    weights = frame(raw)
    weights = weights.div(weights.sum(axis=1), axis=0)
    return Market(weights, can_buy, cant_sell, split, dividend, close, prev_close, buy, sell)


@pytest.fixture
def market() -> Market:
    return make_market()


@pytest.fixture(scope="session")
def pelorin():
    from kestrelia.backtest import _pelorin

    return _pelorin
