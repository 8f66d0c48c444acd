"""Market: what the engine silently assumes about its matrices is checked up front, and the
caller's frames are kept as they are."""

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import InputError, Market
from tests.support.markets import make_market


def matrices():
    return make_market(n_days=8, n_stocks=4, seed=3).matrices()


def test_keeps_the_callers_frames():
    given = matrices()
    market = Market(**given)
    for name, frame in given.items():
        assert getattr(market, name) is frame
    assert market.dates is given["close_price"].index
    assert repr(market) == (f"Market(8 dates {market.dates[0]} to {market.dates[-1]}, 4 stocks, "
                            "benchmarks: none)")


@pytest.mark.parametrize("name, change, message", [
    ("prev_close", lambda f: f.iloc[::-1], r"prev_close: the dates are not sorted ascending"),
    ("buy_price", lambda f: pd.concat([f, f.iloc[-1:]]), r"buy_price: the date '\d{8}' appears twice"),
    ("can_buy_stock", lambda f: f.astype(float), "can_buy_stock: column '600000' is float64, not a boolean mask"),
    ("cant_sell_stock", lambda f: f.astype(object), "cant_sell_stock: column '600000' is object, not a boolean mask"),
    ("close_price", lambda f: f.astype(str), r"close_price: column '600000' is (str|object), not numeric"),
    ("sell_price", lambda f: f > 0, "sell_price: column '600000' is bool, not numeric"),
    ("split_factor", lambda f: f.rename(columns={"600001": "600001.XSHG"}),
     "split_factor: column '600001.XSHG' is not a stock code"),
    ("dividend_factor", lambda f: f.rename(columns={"600001": 600001}),
     "dividend_factor: column 600001 is not a stock code"),
    ("close_price", lambda f: f.to_numpy(), "close_price must be a pandas DataFrame"),
])
def test_violations_name_the_matrix_and_the_first_label(name, change, message):
    given = matrices()
    given[name] = change(given[name])
    with pytest.raises(InputError, match=message):
        Market(**given)


def test_benchmarks_are_checked():
    given = matrices()
    dates = given["close_price"].index
    with pytest.raises(InputError, match="benchmark '000852' must be a pandas Series"):
        Market(**given, benchmarks={"000852": [0.0] * len(dates)})
    with pytest.raises(InputError, match="benchmark '000300': the dates are not sorted"):
        Market(**given, benchmarks={"000300": pd.Series(0.0, index=dates[::-1])})
    with pytest.raises(InputError, match="benchmark '000905' is bool, not numeric"):
        Market(**given, benchmarks={"000905": pd.Series(True, index=dates)})


def test_slice_takes_views_between_inclusive_dates():
    given = matrices()
    dates = given["close_price"].index
    series = pd.Series(np.arange(len(dates), dtype=float), index=dates)
    market = Market(**given, benchmarks={"000852": series})
    iso = f"{dates[2][:4]}-{dates[2][4:6]}-{dates[2][6:]}"
    part = market.slice(iso, int(dates[5]))
    assert list(part.dates) == list(dates[2:6])
    assert list(part.benchmarks["000852"]) == [2.0, 3.0, 4.0, 5.0]
    assert np.shares_memory(part.close_price.to_numpy(), given["close_price"].to_numpy())
    assert list(market.slice(end=dates[0]).dates) == [dates[0]]
    with pytest.raises(InputError, match="start '13/01/2024' is not an unambiguous date"):
        market.slice("13/01/2024")
    with pytest.raises(InputError, match="is after end"):
        market.slice(dates[5], dates[2])


def test_datetime_indexes_slice_by_timestamp():
    given = {k: v.set_axis(pd.to_datetime(v.index)) for k, v in matrices().items()}
    market = Market(**given)
    assert len(market.slice("20210106", "20210107").dates) == 2
