"""The host stand-ins of the backtest: market alignment, datetime index, Sharpe ratio,
the client registry and the network error."""

import math

import numpy as np
import pandas as pd
import pytest

from kestrelia import exceptions, singleton
from kestrelia.backtest import _core
from tests.support.markets import make_market

FLOAT_KEYS = ["prev_close_arr", "close_arr", "buy_price_arr", "sell_price_arr", "split_arr",
              "dividend_arr"]


def build(market, index, columns):
    return _core._build_market_arrays(index, columns, *market.matrices().values())


def _recording(function, names):
    import threading

    def recorded(*args, **kwargs):
        names.append(threading.current_thread().name)
        return function(*args, **kwargs)
    return recorded


class TestMarketArrays:
    def test_keys_dtypes_and_values(self):
        market = make_market(n_days=8, n_stocks=4)
        arrays = build(market, market.close_price.index, market.close_price.columns)
        assert list(arrays) == ["prev_close_arr", "can_buy_arr", "cant_sell_arr", "close_arr",
                                "buy_price_arr", "sell_price_arr", "split_arr", "dividend_arr"]
        for key in FLOAT_KEYS:
            assert arrays[key].dtype == np.float64 and arrays[key].shape == (8, 4)
        assert arrays["can_buy_arr"].dtype == np.bool_
        np.testing.assert_array_equal(arrays["close_arr"], market.close_price.to_numpy())

    def test_matching_labels_and_contiguous_days_are_views(self):
        market = make_market(n_days=8, n_stocks=4)
        for index in (market.close_price.index, market.close_price.index[1:6]):
            arrays = build(market, index, market.close_price.columns)
            assert np.shares_memory(arrays["close_arr"], market.close_price.to_numpy(copy=False))
            assert np.shares_memory(arrays["can_buy_arr"], market.can_buy_stock.to_numpy(copy=False))
            np.testing.assert_array_equal(arrays["close_arr"], market.close_price.loc[index].to_numpy())

    def test_gathered_and_missing_labels(self):
        market = make_market(n_days=8, n_stocks=4)
        dates = market.close_price.index
        index = pd.Index([dates[5], dates[1], "20990101"])
        columns = pd.Index(["600003", "600000", "999999"])
        arrays = build(market, index, columns)
        expected = market.close_price.reindex(index=index, columns=columns).to_numpy()
        np.testing.assert_array_equal(arrays["close_arr"], expected)
        assert not arrays["can_buy_arr"][2].any() and not arrays["can_buy_arr"][:, 2].any()
        gathered = build(market, dates[[0, 2, 4]], pd.Index(["600002", "600000"]))
        np.testing.assert_array_equal(
            gathered["split_arr"],
            market.split_factor.reindex(index=dates[[0, 2, 4]], columns=["600002", "600000"]).to_numpy(),
        )

    @pytest.mark.parametrize("index", [slice(None), [6, 0, 3, 3], [1, 2, 3]])
    @pytest.mark.parametrize("codes", [["600004", "600000"], ["600004", "600000", "999999"]])
    def test_two_threads_align_what_one_does(self, monkeypatch, index, codes):
        """Large markets are aligned on two threads: the same arrays, gathered, filled or
        viewed, as one thread makes."""
        market = make_market(n_days=9, n_stocks=6, seed=4)
        market.can_buy_stock = market.can_buy_stock.astype(object)  # the reindex path too
        dates = market.close_price.index[index]
        columns = pd.Index(codes)
        serial = build(market, dates, columns)
        monkeypatch.setattr(_core, "_PARALLEL_CELLS", 0)
        threads = []
        for name in ("_float_array", "_mask_array"):
            monkeypatch.setattr(_core, name, _recording(getattr(_core, name), threads))
        parallel = build(market, dates, columns)
        assert len(threads) == 8
        assert {t.startswith("kestrelia-align") for t in threads} == {True}
        assert list(parallel) == list(serial)
        for key in serial:
            np.testing.assert_array_equal(parallel[key], serial[key])
            assert parallel[key].dtype == serial[key].dtype

    def test_masks_are_true_only_for_true_cells(self):
        market = make_market(n_days=3, n_stocks=3)
        market.can_buy_stock = pd.DataFrame(
            [[True, np.nan, False], [None, True, "yes"], [1.0, 0.0, np.nan]],
            index=market.close_price.index, columns=market.close_price.columns, dtype=object)
        arrays = build(market, market.close_price.index, market.close_price.columns)
        np.testing.assert_array_equal(
            arrays["can_buy_arr"], [[True, False, False], [False, True, False], [True, False, False]])

    def test_inputs_are_not_modified(self):
        market = make_market(n_days=6, n_stocks=3)
        before = {k: v.copy() for k, v in market.matrices().items()}
        arrays = build(market, market.close_price.index[::2], market.close_price.columns[::-1])
        arrays["close_arr"][:] = 0.0
        for k, v in market.matrices().items():
            pd.testing.assert_frame_equal(v, before[k])


class TestDatetimeIndex:
    @pytest.mark.parametrize("labels", [
        ["20240102", "20240103"],
        [20240102, 20240103],
        ["2024-01-02", "2024-01-03"],
        pd.to_datetime(["2024-01-02", "2024-01-03"]),
    ])
    def test_parses_every_date_form(self, labels):
        df = pd.DataFrame({"a": [1.0, 2.0]}, index=pd.Index(labels, name="date"))
        before = df.copy()
        out = _core._with_datetime_index(df)
        assert isinstance(out.index, pd.DatetimeIndex) and out.index.name == "date"
        assert list(out.index.strftime("%Y%m%d")) == ["20240102", "20240103"]
        pd.testing.assert_frame_equal(df, before)
        assert out["a"].tolist() == [1.0, 2.0]

    def test_empty_frame(self):
        out = _core._with_datetime_index(pd.DataFrame({"a": []}, index=pd.Index([], dtype=str)))
        assert out.empty and isinstance(out.index, pd.DatetimeIndex)


class TestSafeSharpe:
    def test_formula_and_defaults(self):
        s = pd.Series([0.01, 0.02, -0.005, np.inf, np.nan])
        finite = np.array([0.01, 0.02, -0.005])
        expected = finite.mean() / finite.std(ddof=1) * math.sqrt(252)
        assert _core.safe_sharpe(s) == pytest.approx(expected, rel=1e-15)
        assert _core.safe_sharpe(s, periods=12) == pytest.approx(expected / math.sqrt(21), rel=1e-15)
        assert type(_core.safe_sharpe(s)) is float

    @pytest.mark.parametrize(
        "values", [[], [0.1], [0.1, np.nan, np.inf], [0.02, 0.02, 0.02], [0.0013] * 60]
    )
    def test_undefined_cases_are_nan(self, values):
        assert math.isnan(_core.safe_sharpe(pd.Series(values, dtype=float)))


class TestClientRegistry:
    def test_get_without_a_client_says_how_to_register_one(self):
        previous = singleton.set_instance(None)
        try:
            with pytest.raises(RuntimeError, match="set_instance"):
                singleton.get_instance()
            client = object()
            assert singleton.set_instance(client) is None
            assert singleton.get_instance() is client
            assert singleton.set_instance(None) is client
        finally:
            singleton.set_instance(previous)

    def test_network_error_is_an_exception(self):
        assert issubclass(exceptions.NetworkError, Exception)
