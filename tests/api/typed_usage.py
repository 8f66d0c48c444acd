"""A user's script that touches every public name; type-checked with mypy --strict and
run by the tests."""

from __future__ import annotations

import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

import kestrelia
from kestrelia.backtest import (
    BacktestResult,
    InputError,
    KestreliaError,
    Market,
    Store,
    StoreError,
    __version__,
    backtest,
)


def make_market(n_days: int = 30) -> Market:
    rng = np.random.default_rng(0)
    dates = pd.Index(pd.bdate_range("2024-01-02", periods=n_days).strftime("%Y%m%d"))
    codes = pd.Index(["000001", "000002", "600000"])
    close = pd.DataFrame(10 * np.exp(np.cumsum(rng.normal(0, 0.02, (n_days, 3)), axis=0)),
                         index=dates, columns=codes)
    mask = pd.DataFrame(True, index=dates, columns=codes)
    benchmark = pd.Series(rng.normal(0, 0.01, n_days), index=dates)
    return Market(can_buy_stock=mask, cant_sell_stock=~mask, split_factor=close * np.nan,
                  dividend_factor=close * np.nan, close_price=close,
                  prev_close=close.shift(1), buy_price=close, sell_price=close,
                  benchmarks={"000852": benchmark})


def main() -> str:
    market: Market = make_market()
    weights = pd.DataFrame(0.3, index=market.dates, columns=market.codes)
    result: BacktestResult = backtest(weights, market, rolling_window=2, lot_size=100,
                                      capital=1e7, fee=0.0002, rule_fee=0.0005,
                                      benchmark="000852", name="typed")
    annual: float = float(result.stats["annual_return"])
    daily: pd.DataFrame = result.daily
    yearly: pd.DataFrame = result.yearly
    figures: dict[str, Figure] = result.figures("long")
    html: str = result._repr_html_()
    with tempfile.TemporaryDirectory() as folder:
        written: list[Path] = result.save(folder)
    try:
        backtest(weights * np.inf, market)
    except InputError as exc:
        refused = str(exc)
    try:
        Store(Path("no-such-store")).info()
    except StoreError as exc:
        missing: KestreliaError = exc
    part: Market = market.slice("20240105", None)
    assert kestrelia.Market is Market and kestrelia.__version__ == __version__
    return (f"{annual:.3f} {len(daily)} {len(yearly)} {sorted(figures)} {len(html) > 0} "
            f"{len(written)} {refused[:8]} {type(missing).__name__} {len(part.dates)}")


if __name__ == "__main__":
    print(main())
