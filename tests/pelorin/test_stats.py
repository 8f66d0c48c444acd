"""Strategy statistics: worked cases and the native holding and turnover reductions."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tests.support import reference
from tests.support.checks import assert_same_stats
from tests.support.markets import make_market, stock_codes, trading_dates

COMPUTED_ORDER = [
    "annual_return", "long_sharp", "max_dd", "benchmark_annual_return", "benchmark_sharp",
    "extra_annual_return", "extra_sharp", "extra_max_dd", "return_corr", "win_rate",
    "excess_win_rate", "holding_count", "turnover",
]  # fmt: skip
EMPTY_ORDER = [
    "annual_return", "long_sharp", "max_dd", "extra_annual_return", "extra_sharp",
    "extra_max_dd", "benchmark_annual_return", "benchmark_sharp", "return_corr", "win_rate",
    "excess_win_rate", "holding_count", "turnover",
]  # fmt: skip


def total_of(pelorin, daily, index=None):
    n = len(daily)
    tb = pd.DataFrame(
        {"daily_return": daily, "index_daily_return": [0.0] * n if index is None else index},
        index=trading_dates(n), dtype=float,
    )
    return pelorin._build_total_backtesting_frame(tb)


class TestEdgeCases:
    def test_empty_total_gives_all_nan_in_its_own_order(self, pelorin):
        for frame in (pd.DataFrame(columns=reference.TOTAL_FRAME_COLUMNS),
                      pd.DataFrame({"daily_return": [np.nan], "long": [1.0]})):
            stats = pelorin.calc_strategy_stats(frame, None)
            assert list(stats) == EMPTY_ORDER and all(math.isnan(v) for v in stats.values())

    def test_annual_return_is_linear(self, pelorin):
        daily = [0.0] * 251 + [0.1]
        stats = pelorin.calc_strategy_stats(total_of(pelorin, daily), None)
        assert list(stats) == COMPUTED_ORDER
        assert stats["annual_return"] == pytest.approx(10.0)
        stats = pelorin.calc_strategy_stats(total_of(pelorin, daily[-126:]), None)
        assert stats["annual_return"] == pytest.approx(20.0)

    def test_an_infinite_day_leaves_sharpe_and_win_rate_but_not_correlation(self, pelorin):
        total = total_of(pelorin, [0.01, -0.02, 0.03, 0.01], [0.0, 0.01, 0.0, -0.01])
        total.loc[total.index[1], "daily_return"] = np.inf
        with np.errstate(invalid="ignore"):  # pandas' correlation meets the infinity
            stats = pelorin.calc_strategy_stats(total, None)
        assert stats["win_rate"] == 1.0
        assert math.isnan(stats["return_corr"])

    @pytest.mark.parametrize("daily, index", [
        ([0.01, -0.02, 0.03], None),  # a flat benchmark
        ([0.0, 0.0, 0.0], [0.01, -0.02, 0.03]),  # a strategy that never moves
        ([0.01], [0.02]),  # one day
    ])
    def test_correlation_without_spread_is_nan_silently(self, pelorin, daily, index):
        # Warnings are errors here; numpy's error state is left as it was found.
        before = np.geterr()
        stats = pelorin.calc_strategy_stats(total_of(pelorin, daily, index), None)
        assert math.isnan(stats["return_corr"])
        assert np.geterr() == before

    def test_holdings_without_weights_and_with_one_row(self, pelorin):
        total = total_of(pelorin, [0.01, 0.02])
        stats = pelorin.calc_strategy_stats(total, None)
        assert math.isnan(stats["holding_count"]) and math.isnan(stats["turnover"])
        assert not math.isnan(stats["annual_return"])
        one_row = pd.DataFrame([[0.5, np.nan, 0.0]], columns=stock_codes(3))
        stats = pelorin.calc_strategy_stats(total, one_row)
        assert stats["holding_count"] == 2.0 and math.isnan(stats["turnover"])
        stats = pelorin.calc_strategy_stats(total, one_row.iloc[:0])
        assert math.isnan(stats["holding_count"])

    def test_turnover_worked_example(self, pelorin):
        w = pd.DataFrame([[0.5, 0.5], [0.0, 1.0]], columns=stock_codes(2))
        stats = pelorin.calc_strategy_stats(total_of(pelorin, [0.0, 0.0]), w)
        assert stats["turnover"] == 0.5 and stats["holding_count"] == 2.0
        w = pd.DataFrame([[0.5, np.nan], [np.nan, 1.0]], columns=stock_codes(2))
        stats = pelorin.calc_strategy_stats(total_of(pelorin, [0.0, 0.0]), w)
        assert stats["turnover"] == 0.75 and stats["holding_count"] == 1.0

    def test_drawdowns_are_positive_and_types_are_floats(self, pelorin):
        stats = pelorin.calc_strategy_stats(total_of(pelorin, [0.05, -0.1, 0.02]), None)
        assert stats["max_dd"] == pytest.approx(0.1 / 1.05) and stats["max_dd"] >= 0
        for value in stats.values():
            assert isinstance(value, float)
        assert type(stats["win_rate"]) is float and type(stats["holding_count"]) is float

    def test_inputs_are_not_modified(self, pelorin):
        total = total_of(pelorin, [0.05, -0.1, 0.02])
        w = pd.DataFrame([[0.5, np.nan], [np.nan, 1.0]], columns=stock_codes(2))
        before = total.copy(), w.copy()
        pelorin.calc_strategy_stats(total, w)
        pd.testing.assert_frame_equal(total, before[0])
        pd.testing.assert_frame_equal(w, before[1])


@pytest.mark.parametrize("seed", range(4))
def test_stats_equal_the_pandas_formula(pelorin, seed):
    market = make_market(n_days=120, n_stocks=25, seed=seed)
    total = total_of(pelorin, np.random.default_rng(seed).normal(0, 0.01, 120),
                     np.random.default_rng(seed + 1).normal(0, 0.01, 120))
    assert_same_stats(pelorin.calc_strategy_stats(total, market.weights),
                      reference.strategy_stats(total, market.weights))


cell = st.one_of(
    st.floats(-1, 1, allow_nan=False),
    st.sampled_from([np.nan, np.nan, 0.0, np.inf, -np.inf, 1e308, -1e308]),
)


@given(
    shape=st.tuples(st.integers(1, 9), st.integers(0, 150)),
    data=st.data(),
    order=st.sampled_from(["F", "C"]),
)
@pytest.mark.slow
def test_holding_and_turnover_kernels_equal_numpy(pelorin, shape, data, order):
    rows, cols = shape
    values = np.array(data.draw(st.lists(cell, min_size=rows * cols, max_size=rows * cols)),
                      dtype=float).reshape(rows, cols)
    values = np.asfortranarray(values) if order == "F" else np.ascontiguousarray(values)

    class Weights:  # to_numpy() hands over the array in the layout under test
        def __len__(self):
            return rows

        def to_numpy(self, dtype=None, copy=False):
            return values

    total = total_of(pelorin, [0.01, 0.02])
    with np.errstate(over="ignore", invalid="ignore"):  # NumPy's mean of huge row sums
        stats = pelorin.calc_strategy_stats(total, Weights())
    holding, turnover = reference.holding_and_turnover(Weights())
    assert stats["holding_count"] == holding
    if math.isnan(turnover):
        assert math.isnan(stats["turnover"])
    else:
        assert stats["turnover"] == turnover
