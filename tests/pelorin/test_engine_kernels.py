"""The public layer's native passes over whole matrices against the NumPy expressions they
replace: on NaN, infinities, empty and one-row inputs, in both memory layouts."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from kestrelia.backtest import _engine
from tests.support import reference

SPECIALS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-320, 1e308, -2.5, 0.3])


def random_matrix(seed, rows, cols, order):
    rng = np.random.default_rng(seed)
    values = np.where(rng.random((rows, cols)) < 0.5, rng.random((rows, cols)), np.nan)
    special = rng.random((rows, cols)) < 0.1
    values[special] = rng.choice(SPECIALS, size=int(special.sum()))
    return np.asfortranarray(values) if order == "F" else np.ascontiguousarray(values)


def first_cell(mask):
    cells = np.argwhere(mask)
    return None if len(cells) == 0 else tuple(int(x) for x in cells[0])


@given(seed=st.integers(0, 2**31), rows=st.integers(0, 9), cols=st.integers(0, 9),
       order=st.sampled_from("FC"))
def test_scan_weights_is_the_numpy_expression(seed, rows, cols, order):
    values = random_matrix(seed, rows, cols, order)
    has_row, has_col = _engine.scan_weights(values)
    np.testing.assert_array_equal(has_row, ~np.isnan(values).all(axis=1))
    np.testing.assert_array_equal(has_col, ~np.isnan(values).all(axis=0))
    # Through a selection of the columns (repeated and out of order).
    cols = np.random.default_rng(seed).integers(0, max(cols, 1), size=cols // 2 + 1)
    if values.shape[1]:
        has_row, has_col = _engine.scan_weights(values, cols)
        np.testing.assert_array_equal(has_row, ~np.isnan(values[:, cols]).all(axis=1))
        np.testing.assert_array_equal(has_col, ~np.isnan(values[:, cols]).all(axis=0))


def test_scan_weights_over_many_columns_stops_early_but_misses_no_row():
    # Enough columns for the every-16-columns check, a row found only far to the right.
    values = np.full((37, 200), np.nan, order="F")
    values[:, :40] = 1.0
    values[5, :] = np.nan
    values[5, 150] = 2.0
    values[9, :] = np.nan
    has_row, has_col = _engine.scan_weights(values)
    assert has_row.sum() == 36 and not has_row[9] and has_row[5]
    assert has_col[:40].all() and has_col[150] and has_col.sum() == 41


@pytest.mark.parametrize("rule, ok", [
    ("positive", lambda v: np.isnan(v) | (np.isfinite(v) & (v > 0))),
    ("non_negative", lambda v: np.isnan(v) | (np.isfinite(v) & (v >= 0))),
])
@pytest.mark.parametrize("order", "FC")
@pytest.mark.parametrize("seed, rows, cols", [(0, 7, 5), (1, 1, 9), (2, 0, 3), (3, 40, 33),
                                              (4, 3, 0)])
def test_value_rules_find_the_first_cell_numpy_finds(rule, ok, order, seed, rows, cols):
    values = random_matrix(seed, rows, cols, order)
    assert _engine.first_bad_value(values, rule) == first_cell(~ok(values))
    clean = np.where(ok(values), values, np.nan)
    assert _engine.first_bad_value(np.asarray(clean, order=order), rule) is None


def test_an_unknown_rule_is_refused():
    with pytest.raises(ValueError, match="unknown value rule 'finite'"):
        _engine.first_bad_value(np.zeros((2, 2)), "finite")


@pytest.mark.parametrize("order", "FC")
@pytest.mark.parametrize("seed", range(4))
def test_holdings_and_turnover_of_carried_rows_are_the_dense_formula(seed, order):
    """The statistics of weights carried to every day (a row map), reduced without making
    the carried matrix, against calc_strategy_stats' formula on that matrix."""
    from kestrelia.backtest import Market, backtest
    from tests.support.markets import make_market

    m = make_market(n_days=70, n_stocks=11, seed=seed)
    days = pd.DatetimeIndex(pd.to_datetime(m.close_price.index, format="%Y%m%d"))
    weekly = pd.DataFrame(m.weights.to_numpy(), index=days,
                          columns=m.weights.columns).resample("W-FRI").last()
    weekly.iloc[:, 3] = np.nan  # a stock never held: the statistics read through a map
    weekly = pd.DataFrame(np.asarray(weekly.to_numpy(), order=order), index=weekly.index,
                          columns=weekly.columns)
    result = backtest(weekly, Market(**m.matrices()))
    # The carried targets: the row in effect on each day from the first row's day, and the
    # row after the last day's.
    carried = weekly.reindex(days[(days >= weekly.index[0])], method="ffill")
    carried = carried.loc[:result.returns.index[-1]].dropna(axis=1, how="all")
    # Column-major whatever layout this pandas gives the reindexed frame (2.2 keeps C order).
    carried = pd.DataFrame(np.asfortranarray(carried.to_numpy()), index=carried.index,
                           columns=carried.columns)
    assert carried.to_numpy(dtype=float, copy=False).flags.f_contiguous
    holding, turnover = reference.holding_and_turnover(carried)
    # The same additions in the same order as NumPy's on the carried column-major matrix.
    assert result.stats["holding_count"] == holding
    assert result.stats["turnover"] == turnover


@pytest.mark.parametrize("dtype", [np.float64, np.bool_])
@pytest.mark.parametrize("order", "FC")
@pytest.mark.parametrize("rows, cols", [
    (np.array([0, 2, 3, 7]), None), (None, np.array([4, 1, 1])), (np.array([5, 5, 0]),
                                                                    np.array([0, 3])),
    (np.array([], dtype=np.int64), None), (None, np.array([], dtype=np.int64)),
])
def test_gather_is_numpy_take_in_the_sources_layout(dtype, order, rows, cols):
    values = random_matrix(7, 8, 5, order)
    values = (np.nan_to_num(values) > 0.5) if dtype is np.bool_ else values
    values = np.asarray(values, order=order)
    expected = values if rows is None else values[rows]
    expected = expected if cols is None else expected[:, cols]
    got = _engine.gather(values, rows, cols)
    np.testing.assert_array_equal(got, expected)
    assert got.dtype == values.dtype
    assert got.flags.f_contiguous if order == "F" else got.flags.c_contiguous
    assert not np.shares_memory(got, values)


def test_gather_refuses_positions_outside_the_array():
    with pytest.raises(IndexError, match="row position is outside"):
        _engine.gather(np.zeros((3, 2)), np.array([0, 3]), None)
    with pytest.raises(IndexError, match="column position is outside"):
        _engine.gather(np.zeros((3, 2)), None, np.array([-1]))
