"""The simulation reads row-major, column-major and mixed inputs on different paths; all
of them must give the same returns bit for bit, and those of the NumPy day loop."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from kestrelia.backtest import _core
from tests.support import reference
from tests.support.layouts import (
    LAYOUTS,
    assert_close_where_finite,
    bits,
    market_in_layout,
    special_market,
)
from tests.support.markets import make_market


def returns_by_layout(pelorin, market, **kwargs):
    with np.errstate(all="ignore"):
        return {
            layout: pelorin.calc_strategy_vwap_daily_return(
                *market_in_layout(market, layout).args(), **kwargs
            )
            for layout in LAYOUTS
        }


def assert_bit_identical(results):
    first = results["columns"]
    for layout, got in results.items():
        pd.testing.assert_index_equal(got.index, first.index)
        assert got.dtype == np.float64
        np.testing.assert_array_equal(bits(got.to_numpy()), bits(first.to_numpy()), err_msg=layout)


@given(
    seed=st.integers(0, 2**31),
    n_days=st.integers(0, 30),
    n_stocks=st.integers(0, 37),
    lot=st.sampled_from([1, 100, 200]),
)
def test_every_layout_gives_the_same_bits_with_special_values(pelorin, seed, n_days, n_stocks, lot):
    market = special_market(seed, n_days, n_stocks)
    results = returns_by_layout(pelorin, market, lot_size=lot, fee=0.0003)
    assert_bit_identical(results)
    with np.errstate(all="ignore"):
        expected = reference.vwap_daily_return(*market.args(), lot_size=lot, fee=0.0003)
    assert_close_where_finite(results["rows"].to_numpy(), expected.to_numpy())


@pytest.mark.parametrize(
    "n_days, n_stocks", [(0, 5), (1, 5), (2, 1), (2, 0), (3, 4), (9, 17), (40, 70)]
)
def test_edge_shapes_agree_across_layouts(pelorin, n_days, n_stocks):
    market = special_market(seed=n_days * 100 + n_stocks, n_days=n_days, n_stocks=n_stocks)
    results = returns_by_layout(pelorin, market)
    assert_bit_identical(results)
    if n_days <= 1 or n_stocks == 0:
        assert results["rows"].empty


def test_row_major_inputs_reach_the_simulation_row_major(market):
    # Guards the tests above: the row-major frames stay row-major through the alignment,
    # so the day-outer path is the one they exercise.
    rows = market_in_layout(market, "rows")
    signal = rows.weights.shift(1).dropna(how="all")
    arrays = _core._build_market_arrays(signal.index, signal.columns, *rows.matrices().values())
    assert all(a.flags.c_contiguous and not a.flags.f_contiguous for a in arrays.values())
    assert rows.weights.to_numpy(copy=False).flags.c_contiguous


def test_rows_with_all_nan_weights_and_row_major_gathers(pelorin):
    # All-NaN weight rows drop days, so the signal rows are not contiguous and the
    # alignment gathers; market matrices wider than the weights are sliced.
    market = special_market(seed=5, n_days=30, n_stocks=23)
    market.weights.iloc[[4, 5, 17]] = np.nan
    results = returns_by_layout(pelorin, market)
    assert_bit_identical(results)
    wide = {
        k: v.reindex(columns=[*v.columns, "699999"]) for k, v in market.matrices().items()
    }
    narrow = pelorin.calc_strategy_vwap_daily_return(market.weights, **wide)
    pd.testing.assert_series_equal(narrow, results["columns"], check_exact=True)


@pytest.mark.parametrize("blocked", [0.3, 0.9])
@pytest.mark.parametrize("total_money", [1e8, 1e19, 1e300])
def test_long_blocked_runs_and_inexact_share_counts_agree_across_layouts(
    pelorin, blocked, total_money
):
    # Column-major inputs are traded four days of one stock at a time, from a guess of the
    # positions the days before ended at. Runs of blocked trades make the guess wrong, and
    # share counts past 2**53 (or overflowing to infinity) make position + (target -
    # position) differ from the target; every case must still give the day loop's bits.
    market = make_market(n_days=45, n_stocks=13, seed=int(blocked * 10), blocked=blocked)
    market.weights.iloc[::7] = -market.weights.iloc[::7]
    results = returns_by_layout(pelorin, market, total_money=total_money, lot_size=100)
    assert_bit_identical(results)
