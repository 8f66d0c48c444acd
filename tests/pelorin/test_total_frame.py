"""The total frame: worked cases and the native running sums and maxima against pandas."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tests.support import reference
from tests.support.markets import trading_dates

DERIVED = ["extra_daily_return", "long", "close_net_value", "max_drowdown", "extra_return",
           "extra_max_drowdown"]


def returns_frame(daily, index=None, **extra):
    n = len(daily)
    data = {"daily_return": daily, "index_daily_return": index if index is not None else [0.0] * n}
    data.update(extra)
    return pd.DataFrame(data, index=trading_dates(n), dtype=float)


class TestEdgeCases:
    def test_rows_with_any_nan_are_dropped_and_an_all_nan_input_is_returned_empty(self, pelorin):
        tb = returns_frame([0.01, np.nan], [np.nan, 0.0])
        out = pelorin._build_total_backtesting_frame(tb)
        assert out.empty and list(out.columns) == ["daily_return", "index_daily_return"]

    def test_empty_input_without_the_return_columns_is_returned(self, pelorin):
        out = pelorin._build_total_backtesting_frame(pd.DataFrame({"x": []}))
        assert out.empty and list(out.columns) == ["x"]

    def test_missing_return_column_raises_key_error(self, pelorin):
        with pytest.raises(KeyError, match="index_daily_return"):
            pelorin._build_total_backtesting_frame(pd.DataFrame({"daily_return": [0.1]}))

    def test_worked_example(self, pelorin):
        out = pelorin._build_total_backtesting_frame(returns_frame([0.01, 0.02, -0.01]))
        assert out["long"].tolist() == [1.01 / 1.01, 1.03 / 1.01, 1.02 / 1.01]
        np.testing.assert_allclose(out["max_drowdown"], [0, 0, 1.02 / 1.01 - 1.03 / 1.01], atol=1e-15)
        assert out["max_drowdown"].iloc[-1] == pytest.approx(-0.01 / 1.01)
        assert list(out.columns) == ["daily_return", "index_daily_return", *DERIVED[:2], "close",
                                     *DERIVED[2:]]

    def test_excess_curve_starts_at_zero(self, pelorin):
        out = pelorin._build_total_backtesting_frame(returns_frame([0.03, 0.01], [0.01, 0.0]))
        assert out["extra_return"].iloc[0] == 0.0 and out["extra_max_drowdown"].iloc[0] == 0.0
        assert out["extra_return"].iloc[1] == pytest.approx(0.01)

    def test_close_levels(self, pelorin):
        out = pelorin._build_total_backtesting_frame(
            returns_frame([0.0] * 3, [0.01, 0.02, 0.0], close=[4000.0, 4040.0, 4040.0]))
        assert out["close_net_value"].tolist() == [1.0, 1.01, 1.01]
        out = pelorin._build_total_backtesting_frame(
            returns_frame([0.0] * 2, [0.01, 0.02], close=[0.0, 1.0]))
        assert out["close_net_value"].tolist() == [1.01, 1.03]  # not normalised
        out = pelorin._build_total_backtesting_frame(returns_frame([0.0] * 2, [0.01, 0.02]))
        assert out["close"].tolist() == [1.01, 1.03]
        assert out["close_net_value"].tolist() == [1.0, 1.03 / 1.01]

    def test_nan_close_drops_the_row(self, pelorin):
        out = pelorin._build_total_backtesting_frame(
            returns_frame([0.01, 0.02], [0.0, 0.0], close=[1.0, np.nan]))
        assert len(out) == 1

    def test_input_is_not_modified(self, pelorin):
        tb = returns_frame([0.01, 0.02], close=[1.0, 2.0])
        before = tb.copy()
        pelorin._build_total_backtesting_frame(tb)
        pd.testing.assert_frame_equal(tb, before)


value = st.one_of(
    st.floats(-0.5, 0.5, allow_nan=False),
    st.sampled_from([0.0, -0.0, -1.0, np.inf, -np.inf, np.nan, 1e300, -1e300]),
)


@given(
    rows=st.lists(st.tuples(value, value, value), min_size=0, max_size=30),
    with_close=st.booleans(),
)
def test_native_total_frame_equals_pandas(pelorin, rows, with_close):
    data = np.array(rows, dtype=float).reshape(-1, 3)
    extra = {"close": data[:, 2] * 1000} if with_close else {}
    tb = returns_frame(data[:, 0], data[:, 1], **extra)
    with np.errstate(all="ignore"):
        expected = reference.total_frame(tb)
        got = pelorin._build_total_backtesting_frame(tb)
    pd.testing.assert_frame_equal(got, expected, check_exact=True)


def test_one_row_frame(pelorin):
    tb = returns_frame([0.02], [0.01])
    pd.testing.assert_frame_equal(
        pelorin._build_total_backtesting_frame(tb), reference.total_frame(tb), check_exact=True
    )
