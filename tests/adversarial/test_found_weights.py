"""Faults found by attacking weight matrices, weight files and the public backtest: each test
shows one and guards its fix."""

import numpy as np
import pandas as pd
import pytest

import kestrelia.backtest as kb
from kestrelia.backtest._examples import example_market as _example_market
from kestrelia.backtest.weights import read_weights
from kestrelia.errors import InputError
from tests.support.markets import make_market


def test_a_parquet_index_in_utc_reads_as_the_shanghai_day(tmp_path):
    market = _example_market()
    days = pd.DatetimeIndex(["2024-01-02", "2024-01-03"], name="date")
    weights = pd.DataFrame(0.4, index=days.tz_localize("Asia/Shanghai").tz_convert("UTC"),
                           columns=market.codes)
    path = tmp_path / "utc.parquet"
    weights.to_parquet(path)
    read = read_weights(path)
    # What the frame itself means to backtest(): the Shanghai days.
    direct = kb.backtest(weights, market, lot_size=100)
    from_file = kb.backtest(read, market, lot_size=100)
    assert list(read.index) == ["20240102", "20240103"]
    assert direct.returns.index.equals(from_file.returns.index)


@pytest.mark.parametrize("column", ["000300.SH", "000001.XYZ"])
def test_a_weights_file_refuses_a_column_that_is_no_stock_code(tmp_path, column):
    frame = pd.DataFrame({"date": ["20240102"], "600000": [0.5], column: [0.5]})
    path = tmp_path / "w.csv"
    frame.to_csv(path, index=False)
    with pytest.raises(InputError):  # what backtest() says of the same label
        kb.backtest(frame.set_index("date"), _example_market())
    try:
        read = read_weights(path)
    except InputError:
        return
    raise AssertionError(f"{column!r} was read as the stock {list(read.columns)[-1]!r}")


def test_hold_buys_a_target_first_set_on_a_day_without_a_previous_close():
    market = _example_market()  # its first day has no previous close
    weights = pd.DataFrame(0.4, index=["20231229"], columns=market.codes)
    retarget = kb.backtest(weights, market, between="retarget", lot_size=100, execution=True)
    assert retarget.execution.positions.iloc[-1].sum() > 0
    hold = kb.backtest(weights, market, between="hold", lot_size=100, execution=True)
    held = hold.execution.positions
    assert held.iloc[-1].sum() > 0, f"nothing was ever held:\n{held}"


def test_huge_weights_are_refused_or_keep_the_scale_free_ratios():
    market = _example_market()
    weights = pd.DataFrame(0.4, index=market.dates[:1], columns=market.codes)
    sane = kb.backtest(weights, market, lot_size=100)
    try:
        huge = kb.backtest(weights * 1e300, market, lot_size=100)
    except InputError:
        return
    assert np.isfinite(huge.metrics["volatility"])
    assert huge.metrics["sharpe"] == pytest.approx(sane.metrics["sharpe"], rel=1e-6)


@pytest.mark.parametrize("bound", ["start", "end"])
def test_a_time_zone_aware_bound_is_read_on_its_shanghai_day(bound):
    market = _example_market()
    weights = pd.DataFrame(0.4, index=market.dates[:1], columns=market.codes)
    # 2024-01-03 00:00 in Shanghai is 2024-01-02 16:00 in UTC: a label of this timestamp
    # reads as 2024-01-03, and so must the bound.
    utc = pd.Timestamp("2024-01-03", tz="Asia/Shanghai").tz_convert("UTC")
    given = kb.backtest(weights, market, lot_size=100, **{bound: utc})
    naive = kb.backtest(weights, market, lot_size=100, **{bound: "20240103"})
    assert given.returns.index.equals(naive.returns.index)
    assert market.slice(utc).dates.equals(market.slice("20240103").dates)


@pytest.mark.parametrize("option, value, says", [
    ("start", pd.NaT, "start NaT is not an unambiguous date"),
    ("end", pd.NaT, "end NaT is not an unambiguous date"),
    ("capital", 10**400, "capital must be a finite number"),
], ids=["start NaT", "end NaT", "capital beyond any float"])
def test_bad_bounds_and_capital_raise_input_error(option, value, says):
    market = _example_market()
    weights = pd.DataFrame(0.4, index=market.dates[:1], columns=market.codes)
    with pytest.raises(InputError, match=says):
        kb.backtest(weights, market, **{option: value})
    with pytest.raises(InputError, match=says):
        kb.sweep({"a": weights}, market, progress=False, **{option: value})


@pytest.mark.parametrize("window, says", [
    ({"start": "20300101"}, "start '20300101' is after the market's last day, 2021-01-15"),
    ({"end": "20000101"}, "end '20000101' is before the market's first day, 2021-01-04"),
    ({"start": "20210109", "end": "20210110"},
     "the window from start '20210109' to end '20210110' holds no trading day"),
], ids=["start after the market", "end before the market", "a weekend"])
def test_a_window_without_a_market_day_says_so(window, says):
    m = make_market(10, 4)  # 2021-01-04 to 2021-01-15, a weekend inside
    with pytest.raises(InputError) as raised:
        kb.backtest(m.weights, kb.Market(**m.matrices()), **window)
    assert says in str(raised.value)


def test_complex_weights_are_refused_not_cut_to_their_real_part():
    market = _example_market()
    weights = pd.DataFrame(0.4 + 0.4j, index=market.dates[:1], columns=market.codes)
    with pytest.raises(InputError, match="complex128, not numeric"):
        kb.backtest(weights, market, lot_size=100)
