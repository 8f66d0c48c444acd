"""Faults found by attacking weight matrices, weight files and the public backtest: each test
shows one and guards its fix."""

import numpy as np
import pandas as pd
import pytest

import kestrelia.backtest as kb
from kestrelia.backtest._examples import example_market as _example_market
from kestrelia.backtest.weights import read_weights
from kestrelia.errors import InputError


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
