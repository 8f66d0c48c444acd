"""The derivation of the twelve base matrices from the ten source factors."""

import numpy as np
import pandas as pd
import pytest

from tests.support import reference_prepare as ref

SOURCE_KEYS = ["rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open",
               "tick_vwap_price_935_1005", "tick_vwap_price_925_1000", "split_coefficient_to",
               "rq_get_dividend", "rq_is_suspended"]


def derive(prepare, source):
    return prepare.GroupPreparedDataBuilder("20240101", "20240131")._build_from_matrices(source)


def frame(values, dates=("20240102", "20240103", "20240104"), codes=("600000",)):
    values = np.asarray(values, dtype=float).reshape(len(dates), len(codes))
    return pd.DataFrame(values, index=list(dates), columns=list(codes))


def flat_source(**overrides):
    source = {key: frame([10.0, 11.0, 12.1]) for key in SOURCE_KEYS}
    source["rq_is_suspended"] = frame([1.0, 1.0, 1.0])
    source["split_coefficient_to"] = frame([np.nan] * 3)
    source["rq_get_dividend"] = frame([np.nan] * 3)
    source.update(overrides)
    return source


def test_equals_the_pandas_derivation_on_a_market(prepare, small_market):
    source = {key: small_market[0][key] for key in SOURCE_KEYS}
    # Shift some factors' labels so that alignment adds and drops rows and columns.
    source["split_coefficient_to"] = source["split_coefficient_to"].iloc[:, 2:].fillna(10.0)
    source["rq_get_dividend"] = source["rq_get_dividend"].iloc[1:].fillna(2.0)
    source["limit_up"] = source["limit_up"].iloc[:-2]
    result = derive(prepare, source)
    expected = ref.build_from_matrices(source)
    assert list(result) == list(prepare.BASE_MATRIX_DTYPE)
    for key in expected:
        pd.testing.assert_frame_equal(result[key], expected[key], obj=key)
    for key, name in [("industry_matrix", "rq_industry_exposure_new"), ("close_price", "Close"),
                      ("buy_price", "tick_vwap_price_935_1005")]:
        assert result[key] is source[name]


def test_missing_close_cell(prepare):
    close = frame([10.0, np.nan, 12.0])
    result = derive(prepare, flat_source(Close=close, split_coefficient_to=frame([10.0] * 3),
                                         rq_get_dividend=frame([10.0] * 3)))
    assert np.isnan(result["close_price_valid"].iloc[1, 0])
    assert np.isnan(result["rq_get_split"].iloc[1, 0])
    assert np.isnan(result["rq_get_dividend"].iloc[1, 0])
    assert result["rq_get_split"].iloc[0, 0] == 1.0
    assert result["rq_get_dividend"].iloc[0, 0] == pytest.approx(0.9)
    assert np.isnan(result["prev_close"].iloc[2, 0])


def test_split_and_dividend_rows_are_cut_to_the_close_dates(prepare):
    dates = ("20240101", "20240102", "20240103", "20240104", "20240105")
    wider = frame([10.0] * 5, dates=dates)
    result = derive(prepare, flat_source(split_coefficient_to=wider, rq_get_dividend=wider))
    assert result["rq_get_split"].index.tolist() == ["20240102", "20240103", "20240104", "20240105"]
    assert result["rq_get_dividend"].index.tolist() == list(dates[:4])


@pytest.mark.parametrize("flag, at_limit, can_buy, cant_sell", [
    (1.0, True, False, True),
    (1.0, False, True, False),
    (0.0, True, False, True),
    (0.0, False, False, True),
    (np.nan, False, False, True),
])
def test_tradability_truth_table(prepare, flag, at_limit, can_buy, cant_sell):
    # The service's flag 1 leaves the stock to the price test; any other value blocks it.
    price = frame([10.0] * 3)
    limit = frame([10.0] * 3) if at_limit else frame([11.0] * 3)
    result = derive(prepare, flat_source(
        rq_is_suspended=frame([flag] * 3), limit_up=limit, limit_down=limit,
        tick_vwap_price_935_1005=price, tick_vwap_price_925_1000=price))
    assert result["can_buy_stock"].iloc[:, 0].tolist() == [can_buy] * 3
    assert result["cant_sell_stock"].iloc[:, 0].tolist() == [cant_sell] * 3


def test_forward_return_rank(prepare):
    opens = frame([[10.0, 5.0, 1.0], [11.0, 5.5, 2.0], [12.1, 6.05, 2.0]],
                  codes=("600000", "600001", "600002"))
    # Forward returns of the first date: 12.1 / 11 - 1 = 0.1 twice (a tie) and 0.0.
    result = derive(prepare, flat_source(Open=opens))["forward_return_rank_cache"]
    np.testing.assert_allclose(result.iloc[0].to_numpy(), [2.5, 2.5, 1.0])
    assert result.iloc[1:].isna().all().all()


@pytest.mark.parametrize("key", SOURCE_KEYS)
def test_missing_source_key(prepare, key):
    source = flat_source()
    del source[key]
    with pytest.raises(KeyError, match=key):
        derive(prepare, source)


@pytest.mark.parametrize("close", [pd.DataFrame(), frame([np.nan] * 3)])
def test_no_close_price_at_all_is_refused(prepare, close):
    with pytest.raises(ValueError, match="没有返回任何收盘价"):
        derive(prepare, flat_source(Close=close))
