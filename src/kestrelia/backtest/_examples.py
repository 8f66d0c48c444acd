"""The small market and backtest that the docstring examples run on.

They live apart from the classes they demonstrate so that no module imports another only
for its examples: an example of ``BacktestResult`` needs ``backtest()``, which itself
builds a ``BacktestResult``. Each example imports what it uses from here.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import pandas as pd

if TYPE_CHECKING:
    from kestrelia.backtest.market import Market
    from kestrelia.backtest.result import BacktestResult

__all__ = ["example_market", "example_result"]


def example_market() -> Market:
    """A three-day, two-stock market: every stock can be bought and sold every day."""
    from kestrelia.backtest.market import Market

    dates, codes = ["20240102", "20240103", "20240104"], ["000001", "600000"]
    price = pd.DataFrame([[10.0, 8.0], [10.5, 7.9], [10.2, 8.1]], index=dates, columns=codes)
    mask = pd.DataFrame(True, index=dates, columns=codes)
    return Market(can_buy_stock=mask, cant_sell_stock=~mask, split_factor=price * 0 + 1,
                  dividend_factor=price * 0, close_price=price, prev_close=price.shift(1),
                  buy_price=price, sell_price=price)


def example_result(execution: bool = False) -> BacktestResult:
    """A backtest named ``example`` of 40 % in each stock of :func:`example_market`."""
    from kestrelia.backtest.run import backtest

    market = example_market()
    weights = pd.DataFrame(0.4, index=market.dates, columns=market.codes)
    return backtest(weights, market, name="example", execution=execution)
