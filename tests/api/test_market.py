"""Market: what the engine silently assumes about its matrices is checked up front, and the
caller's frames are kept as they are."""

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import InputError, Market
from tests.support.markets import make_market


def matrices():
    return make_market(n_days=8, n_stocks=4, seed=3).matrices()


def test_keeps_the_callers_arrays_under_read_labels():
    given = matrices()
    market = Market(**given)
    for name, frame in given.items():
        assert np.shares_memory(getattr(market, name).to_numpy(), frame.to_numpy())
        assert getattr(market, name).index is market.dates
    assert isinstance(market.dates, pd.DatetimeIndex) and market.dates.name == "date"
    assert list(market.dates.strftime("%Y%m%d")) == list(given["close_price"].index)
    assert repr(market) == "Market(8 dates 2021-01-04 to 2021-01-13, 4 stocks, benchmarks: none)"


@pytest.mark.parametrize("name, change, message", [
    ("prev_close", lambda f: f.iloc[::-1],
     r"prev_close: its dates differ from close_price's: '20210113' where close_price has "
     r"'20210104' \(position 0\)"),
    ("close_price", lambda f: f.iloc[::-1], r"close_price: the dates are not sorted ascending"),
    ("buy_price", lambda f: pd.concat([f, f.iloc[-1:]]),
     r"buy_price: '20210113' and '20210113' are the same day"),
    ("sell_price", lambda f: f.iloc[:-1], r"sell_price: its dates differ from close_price's"),
    ("can_buy_stock", lambda f: f.astype(float), "can_buy_stock: column '600000' is float64, not a boolean mask"),
    ("cant_sell_stock", lambda f: f.astype(object), "cant_sell_stock: column '600000' is object, not a boolean mask"),
    ("close_price", lambda f: f.astype(str), r"close_price: column '600000' is (str|object), not numeric"),
    ("sell_price", lambda f: f > 0, "sell_price: column '600000' is bool, not numeric"),
    ("split_factor", lambda f: f.rename(columns={"600001": "600001.XSHE"}),
     "split_factor: '600001.XSHE' is not a stock code"),
    ("dividend_factor", lambda f: f.rename(columns={"600001": "600009"}),
     "dividend_factor: its stock codes differ from close_price's: '600009' where close_price "
     "has '600001'"),
    ("close_price", lambda f: f.rename(columns={"600001": "600000.SH"}),
     "close_price: '600000' and '600000.SH' are the same stock code"),
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
    text = given["close_price"].index
    series = pd.Series(np.arange(len(text), dtype=float), index=text)
    market = Market(**given, benchmarks={"000852": series})
    dates = market.dates
    iso = f"{text[2][:4]}-{text[2][4:6]}-{text[2][6:]}"
    part = market.slice(iso, int(text[5]))
    assert list(part.dates) == list(dates[2:6])
    assert list(part.benchmarks["000852"]) == [2.0, 3.0, 4.0, 5.0]
    assert np.shares_memory(part.close_price.to_numpy(), given["close_price"].to_numpy())
    assert list(market.slice(end=dates[0]).dates) == [dates[0]]
    with pytest.raises(InputError, match="start '13/01/2024' is not an unambiguous date"):
        market.slice("13/01/2024")
    with pytest.raises(InputError, match="is after end"):
        market.slice(text[5], text[2])


def test_labels_as_users_have_them_read_to_one_form():
    given = {k: v.set_axis(pd.to_datetime(v.index)) for k, v in matrices().items()}
    given["close_price"] = given["close_price"].set_axis([600000, "600001.SH", "sh600002",
                                                         "600003"], axis=1)
    market = Market(**given)
    assert list(market.codes) == ["600000", "600001", "600002", "600003"]
    assert len(market.slice("20210106", "20210107").dates) == 2


def test_tz_aware_dates_keep_their_shanghai_day():
    given = matrices()
    shanghai = pd.to_datetime(given["close_price"].index).tz_localize("Asia/Shanghai")
    stored = {k: v.set_axis(shanghai.tz_convert("UTC")) for k, v in given.items()}
    market = Market(**stored)
    # Shanghai midnights are the day before in UTC; the market keeps the Shanghai day.
    assert list(market.dates.strftime("%Y%m%d")) == list(given["close_price"].index)
    assert market.dates.tz is None


@pytest.mark.parametrize("name, value, rule", [
    ("close_price", np.inf, "not a finite number above 0"),
    ("buy_price", 0.0, "not a finite number above 0"),
    ("sell_price", -1.0, "not a finite number above 0"),
    ("prev_close", -np.inf, "not a finite number above 0"),
    ("split_factor", 0.0, "not a finite number above 0"),
    ("dividend_factor", -0.1, "not a finite number of 0 or more"),
    ("dividend_factor", np.inf, "not a finite number of 0 or more"),
])
def test_values_that_make_numbers_wrong_are_refused(name, value, rule):
    given = matrices()
    given[name] = given[name].copy()
    given[name].iloc[5, 2] = value
    given[name].iloc[6, 1] = value
    with pytest.raises(InputError, match=rf"{name}: the value {value!r} at \('20210111', "
                                         rf"'600002'\) is {rule}"):
        Market(**given)


def test_a_market_cannot_be_changed():
    market = Market(**matrices())
    with pytest.raises(AttributeError, match="a Market cannot be changed"):
        market.buy_price = market.buy_price * 1.5
    frozen = market.read_only()
    with pytest.raises(ValueError, match="read-only"):
        frozen.buy_price.iloc[0, 0] = 1.0
    with pytest.raises(ValueError, match="read-only"):
        frozen.buy_price.to_numpy()[0, 0] = 1.0
    # The frozen market shares the caller's arrays.
    assert np.shares_memory(frozen.buy_price.to_numpy(), market.buy_price.to_numpy())


def test_nullable_and_pyarrow_columns_are_read_as_numpy():
    given = matrices()
    given["can_buy_stock"] = given["can_buy_stock"].astype("boolean")
    given["can_buy_stock"].iloc[2, 1] = pd.NA
    given["cant_sell_stock"] = given["cant_sell_stock"].astype("boolean")
    given["cant_sell_stock"].iloc[3, 0] = pd.NA
    given["close_price"] = given["close_price"].astype("double[pyarrow]")
    given["close_price"].iloc[4, 2] = None
    market = Market(**given)
    # A missing mask cell neither allows a buy nor forbids a sale; a missing price is NaN.
    assert market.can_buy_stock.dtypes.unique().tolist() == [np.dtype(bool)]
    assert not market.can_buy_stock.iloc[2, 1] and not market.cant_sell_stock.iloc[3, 0]
    assert np.isnan(market.close_price.iloc[4, 2])
    assert market.close_price.iloc[0, 0] == given["close_price"].iloc[0, 0]
