"""Weight smoothing: the worked cases, and the native rolling mean against pandas."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tests.support import reference
from tests.support.markets import stock_codes, trading_dates


def frame(values):
    values = np.asarray(values, dtype=float)
    return pd.DataFrame(
        values, index=trading_dates(values.shape[0]), columns=stock_codes(values.shape[1])
    )


class TestEdgeCases:
    def test_windows_of_zero_and_one_return_the_same_object(self, pelorin):
        m = frame(np.ones((3, 2)))
        for window in (0, 1, -4):
            assert pelorin._smooth_strategy_weights(m, window) is m
        out = pelorin._smooth_strategy_weights(m, 1)
        m.iloc[0, 0] = 7.0
        assert out.iloc[0, 0] == 7.0

    def test_constant_weights_start_on_the_fifth_date(self, pelorin):
        m = frame(np.full((10, 4), 0.25))
        out = pelorin._smooth_strategy_weights(m, 5)
        assert list(out.index) == list(m.index[4:])
        assert (out.to_numpy() == 0.25).all()

    def test_a_single_weight_spreads_over_the_window(self, pelorin):
        values = np.full((20, 2), np.nan)
        values[9, 0] = 0.25
        values[:, 1] = 0.5
        out = pelorin._smooth_strategy_weights(frame(values), 5)
        col = out.iloc[:, 0]
        assert col.loc[col.notna()].index.tolist() == frame(values).index[9:14].tolist()
        np.testing.assert_allclose(col.dropna().to_numpy(), 0.05, rtol=1e-15)

    def test_window_longer_than_history_gives_an_empty_frame(self, pelorin):
        m = frame(np.ones((3, 2)))
        out = pelorin._smooth_strategy_weights(m, 5)
        assert out.empty and list(out.columns) == list(m.columns)

    def test_all_zero_rows_are_kept_as_no_signal(self, pelorin):
        m = frame(np.zeros((6, 2)))
        out = pelorin._smooth_strategy_weights(m, 2)
        assert len(out) == 5 and out.isna().all().all()

    def test_input_is_not_modified(self, pelorin):
        m = frame(np.where(np.eye(6, 3) > 0, 1.0, np.nan))
        before = m.copy()
        pelorin._smooth_strategy_weights(m, 3)
        pd.testing.assert_frame_equal(m, before)


def special_values():
    finite = st.floats(-1e3, 1e3, allow_nan=False, width=64)
    return st.one_of(
        finite,
        st.sampled_from([0.0, -0.0, 0.25, 0.1, -0.1, np.nan, np.nan, np.inf, -np.inf, 1e-300]),
    )


@st.composite
def weight_frames(draw):
    rows = draw(st.integers(0, 25))
    cols = draw(st.integers(0, 5))
    values = draw(st.lists(special_values(), min_size=rows * cols, max_size=rows * cols))
    return frame(np.array(values, dtype=float).reshape(rows, cols))


def in_order(m, order):
    values = np.ascontiguousarray(m.to_numpy()) if order == "C" else np.asfortranarray(m.to_numpy())
    return pd.DataFrame(values, index=m.index, columns=m.columns, copy=False)


@pytest.mark.parametrize("order", ["C", "F"])
@given(m=weight_frames(), window=st.integers(2, 8))
def test_native_smoothing_equals_pandas(pelorin, m, window, order):
    # Exact: the kernel does pandas' own rolling-mean arithmetic, so even the decision
    # "exactly zero means no signal" agrees. Row-major weights take the day-outer path.
    m = in_order(m, order)
    expected = reference.smooth_weights(m, window)
    got = pelorin._smooth_strategy_weights(m, window)
    pd.testing.assert_frame_equal(got, expected, check_exact=True, check_index_type=True)


@pytest.mark.parametrize("seed", range(4))
def test_native_smoothing_equals_pandas_on_realistic_weights(pelorin, seed):
    rng = np.random.default_rng(seed)
    values = np.where(
        rng.random((300, 40)) < 0.3, rng.choice([0.01, 0.02, 0.05], (300, 40)), np.nan
    )
    m = frame(values)
    for window in (2, 5, 20):
        pd.testing.assert_frame_equal(
            pelorin._smooth_strategy_weights(m, window),
            reference.smooth_weights(m, window),
            check_exact=True,
        )


def test_non_float_frames_take_the_pandas_route(pelorin):
    m = pd.DataFrame({"600000": [1, 0, 2, 2], "600001": [0.5, None, 0.5, 0.5]})
    pd.testing.assert_frame_equal(
        pelorin._smooth_strategy_weights(m, 2), reference.smooth_weights(m, 2)
    )


@pytest.mark.parametrize("order", ["C", "F"])
def test_layout_of_the_weight_block_does_not_matter(pelorin, order):
    rng = np.random.default_rng(5)
    values = np.where(rng.random((60, 23)) < 0.4, rng.random((60, 23)), np.nan)
    values[7, 3] = np.inf
    values = np.asfortranarray(values) if order == "F" else np.ascontiguousarray(values)
    m = pd.DataFrame(values, index=trading_dates(60), columns=stock_codes(23), copy=False)
    assert m.to_numpy(copy=False).flags[f"{order}_CONTIGUOUS"]
    got = pelorin._smooth_strategy_weights(m, 4)
    pd.testing.assert_frame_equal(got, reference.smooth_weights(m, 4), check_exact=True)
    # The result keeps the layout, so the simulation reads it on the weights' own path.
    assert got.to_numpy(copy=False).flags[f"{order}_CONTIGUOUS"]
