"""Yearly performance metrics and the period triple (return, drawdown, Calmar)."""

import math

import numpy as np
import pandas as pd
import pytest

from tests.support import reference


def daily_frame(n=800, seed=0, start="2021-03-01"):
    rng = np.random.default_rng(seed)
    index = pd.bdate_range(start, periods=n)
    strategy = rng.normal(0.0005, 0.01, n)
    bench = rng.normal(0.0002, 0.01, n)
    return pd.DataFrame(
        {"daily_return": strategy, "index_daily_return": bench, "extra_daily_return": strategy - bench},
        index=index,
    )


@pytest.mark.parametrize(
    "returns, expected",
    [
        ([0.5, -0.25, 0.25, 0.0], (0.5, 0.25, 126.0)),
        ([-0.01], (-0.01, 0.01, -252.0)),  # the peak never counts below the start
        ([0.01, 0.02], (0.03, 0.0, math.nan)),  # no drawdown: Calmar NaN, not infinite
    ],
)
def test_period_triple(pelorin, returns, expected):
    got = pelorin._period_return_drawdown_calmar(pd.Series(returns))
    assert isinstance(got, tuple) and len(got) == 3
    np.testing.assert_allclose(got, expected, rtol=1e-12)


@pytest.mark.parametrize("empty", [None, pd.Series(dtype=float)])
def test_period_triple_of_nothing_is_nan(pelorin, empty):
    assert all(math.isnan(v) for v in pelorin._period_return_drawdown_calmar(empty))


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_yearly_metrics_equal_the_pandas_formulation(pelorin, seed):
    daily = daily_frame(seed=seed)
    rng = np.random.default_rng(seed)
    for col in ("daily_return", "extra_daily_return"):
        holes = rng.choice(len(daily), 12, replace=False)
        daily.iloc[holes[:6], daily.columns.get_loc(col)] = np.nan
        daily.iloc[holes[6:], daily.columns.get_loc(col)] = np.inf
    before = daily.copy()
    got = pelorin._calc_yearly_performance_metrics(daily)
    pd.testing.assert_frame_equal(got, reference.yearly_performance_metrics(daily), check_exact=True)
    pd.testing.assert_frame_equal(daily, before)
    assert list(got.index) == [2021, 2022, 2023, 2024] and got.index.name == "year"
    assert all(type(y) is int for y in got.index)
    assert np.isfinite(got[["strategy_return", "excess_return"]].to_numpy()).all()


def test_a_year_with_only_excess_values_keeps_its_row(pelorin):
    daily = daily_frame(n=300, start="2022-06-01")
    in_2022 = daily.index.year == 2022
    daily.loc[in_2022, "daily_return"] = np.where(np.arange(in_2022.sum()) % 2, np.nan, np.inf)
    got = pelorin._calc_yearly_performance_metrics(daily)
    row = got.loc[2022]
    assert np.isnan(row[["strategy_return", "strategy_max_dd", "strategy_calmar"]]).all()
    assert np.isfinite(row["excess_return"])
    # A year with nothing finite at all has no row.
    daily.loc[in_2022, "extra_daily_return"] = np.nan
    assert list(pelorin._calc_yearly_performance_metrics(daily).index) == [2023]


def test_empty_input_and_missing_columns(pelorin):
    empty = pd.DataFrame(columns=["daily_return", "extra_daily_return"], index=pd.DatetimeIndex([]))
    got = pelorin._calc_yearly_performance_metrics(empty)
    assert got.empty and list(got.columns) == []
    with pytest.raises(KeyError, match="extra_daily_return"):
        pelorin._calc_yearly_performance_metrics(daily_frame().drop(columns="extra_daily_return"))
    with pytest.raises(AttributeError, match="has no attribute 'year'"):
        pelorin._calc_yearly_performance_metrics(daily_frame().reset_index(drop=True))


def test_helpers_are_called_through_the_module(pelorin, monkeypatch):
    calls = []
    monkeypatch.setattr(pelorin, "safe_sharpe", lambda s, **kw: calls.append(kw) or 9.5)
    monkeypatch.setattr(pelorin, "_period_return_drawdown_calmar", lambda s: (1.0, 2.0, 3.0))
    got = pelorin._calc_yearly_performance_metrics(daily_frame(n=300))
    assert calls == [{}] * 4  # the series alone: safe_sharpe's own default periods
    assert (got["strategy_sharpe"] == 9.5).all() and (got["excess_calmar"] == 3.0).all()
    monkeypatch.setattr(pelorin, "_period_return_drawdown_calmar", lambda s: (1.0, 2.0))
    with pytest.raises(ValueError, match="not enough values to unpack"):
        pelorin._calc_yearly_performance_metrics(daily_frame(n=300))
