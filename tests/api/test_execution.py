"""What actually traded: the recording simulation against a NumPy day loop that records the
same things, hand-built cases of every mask, and returns bit-identical to the plain run."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import Market, _core, backtest
from tests.support.layouts import LAYOUTS, market_in_layout
from tests.support.markets import make_market, stock_codes, trading_dates


def reference_execution(work, market, *, capital, lot):
    """The day loop over whole rows, keeping per day what each stock bought, sold, wanted
    but could not trade, and held."""
    signal = work.shift(1).dropna(how="all")
    arrays = _core._build_market_arrays(signal.index, signal.columns, *market.matrices().values())
    w = signal.to_numpy(dtype=float)
    prev = arrays["prev_close_arr"]
    with np.errstate(invalid="ignore", divide="ignore"):
        raw = (capital * w) / (prev * lot)
    valid = np.isfinite(w) & np.isfinite(prev) & (prev > 0)
    target = np.where(valid, np.floor(raw) * lot, 0.0)
    position = np.zeros(w.shape[1])
    out = {k: np.zeros_like(w) for k in ("bought", "sold", "held", "blocked_buy", "blocked_sell")}
    for i in range(len(w)):
        diff = target[i] - position
        bought = np.where((diff > 0) & arrays["can_buy_arr"][i], diff, 0.0)
        sold = np.where((diff < 0) & ~arrays["cant_sell_arr"][i], -diff, 0.0)
        out["blocked_buy"][i] = np.where((diff > 0) & ~arrays["can_buy_arr"][i], diff, 0.0)
        out["blocked_sell"][i] = np.where((diff < 0) & arrays["cant_sell_arr"][i], -diff, 0.0)
        split = arrays["split_arr"][i]
        share = np.where(np.isfinite(split), split, 1.0)
        position = np.rint((position - sold) * share + bought)
        out["bought"][i], out["sold"][i], out["held"][i] = bought, sold, position
    frames = {k: pd.DataFrame(v, index=signal.index, columns=signal.columns) for k, v in out.items()}
    frames["no_price"] = pd.DataFrame(np.isfinite(w) & (w != 0) & ~valid, index=signal.index,
                                      columns=signal.columns)
    frames["prices"] = arrays
    return frames


def engine_work(m, market):
    """The weights the engine walks: on the market's dates, without never-weighted stocks
    (these markets' weights have a row on every day)."""
    return m.weights.set_axis(market.dates).dropna(axis=1, how="all")


def long_table(frame):
    """The non-zero cells of a date x code frame as a (date, code) -> value Series."""
    stacked = frame.stack()
    return stacked[stacked != 0].rename_axis(["date", "code"])


def market_of(m, bench=None):
    return Market(**m.matrices(), benchmarks={} if bench is None else {"000852": bench})


def run(m, **kwargs):
    market = market_of(m)
    options = {"capital": 1e7, "fee": 0.0003, "rule_fee": 0.001, **kwargs}
    plain = backtest(m.weights, market, **options)
    recorded = backtest(m.weights, market, execution=True, **options)
    return market, plain, recorded, options


class TestAgainstTheDayLoop:
    @pytest.mark.parametrize("seed,lot,layout,n_days,n_stocks", [
        (0, 200, "columns", 70, 23), (1, 100, "rows", 70, 23), (2, 1, "columns", 70, 23),
        (3, 200, "rows", 70, 23), (4, 500, "columns", 70, 23),
        # Long enough for several chunks of days, recorded on several threads.
        (5, 100, "columns", 700, 9), (6, 200, "rows", 700, 9)])
    def test_everything_recorded_matches(self, seed, lot, layout, n_days, n_stocks):
        m = make_market(n_days=n_days, n_stocks=n_stocks, seed=seed, blocked=0.15,
                        missing_price=0.05)
        # A row without any weight would be a day without a new target; a zero weight makes
        # it a target of no position, as the day loop below reads every row.
        m.weights.iloc[np.flatnonzero(m.weights.isna().all(axis=1)), 0] = 0.0
        if layout == "rows":
            m.weights = pd.DataFrame(np.ascontiguousarray(m.weights.to_numpy()),
                                     index=m.weights.index, columns=m.weights.columns)
        market, plain, recorded, _ = run(m, lot_size=lot)
        # The recording walk changes nothing in the returns, to the bit.
        np.testing.assert_array_equal(recorded.returns.to_numpy().view(np.int64),
                                      plain.returns.to_numpy().view(np.int64))
        pd.testing.assert_frame_equal(recorded.daily, plain.daily)
        ex = recorded.execution
        ref = reference_execution(engine_work(m, market), market, capital=1e7, lot=lot)
        days = recorded.returns.index
        # Positions: the simulation's end-of-day shares on every return day.
        pd.testing.assert_frame_equal(ex.positions, ref["held"].loc[days].rename_axis("date"),
                                      check_names=False)
        # Trades and blocked orders, cell by cell, up to the last return day.
        upto = ref["bought"].index <= days[-1]
        trades = ex.trades.set_index(["date", "code"])
        for side, key in (("buy", "bought"), ("sell", "sold")):
            got = trades.loc[trades["side"] == side, "shares"]
            pd.testing.assert_series_equal(got.sort_index(), long_table(ref[key][upto]).sort_index(),
                                           check_names=False)
        blocked = ex.blocked.set_index(["date", "code"])
        for cause, key in (("buy_blocked", "blocked_buy"), ("sell_blocked", "blocked_sell")):
            got = blocked.loc[blocked["cause"] == cause, "shares"]
            pd.testing.assert_series_equal(got.sort_index(), long_table(ref[key][upto]).sort_index(),
                                           check_names=False)
        assert len(ex.blocked) > 0 and len(ex.trades) > 0
        # Each day's attribution adds up to its return.
        np.testing.assert_allclose(ex.attribution.sum(axis=1).to_numpy(),
                                   recorded.returns.to_numpy(), rtol=0, atol=1e-12)
        by_stock = ex.attribution_by_stock()["total"].sum()
        assert by_stock == pytest.approx(ex.attribution.to_numpy().sum(), abs=1e-10)

    def test_prices_fees_and_exposure(self):
        m = make_market(n_days=50, n_stocks=12, seed=9, blocked=0.1)
        market, _, recorded, _ = run(m)
        ex = recorded.execution
        work = engine_work(m, market)
        ref = reference_execution(work, market, capital=1e7, lot=200)
        prices = ref["prices"]
        index = ref["bought"].index
        for row in ex.trades.sample(20, random_state=0).itertuples():
            i, j = index.get_loc(row.date), ref["bought"].columns.get_loc(row.code)
            if row.side == "buy":
                assert row.price == prices["buy_price_arr"][i, j]
                assert row.stamp_duty == 0
            else:
                split = prices["split_arr"][i, j]
                assert row.price == (1.0 if np.isnan(split) else split) * prices["sell_price_arr"][i, j]
                assert row.stamp_duty == pytest.approx(row.amount * 0.001)
            assert row.commission == pytest.approx(row.amount * 0.0003)
        held = (ex.positions * prices["close_arr"][[index.get_loc(d) for d in ex.positions.index]])
        np.testing.assert_allclose(ex.exposure["held_weight"],
                                   held.abs().sum(axis=1, skipna=True) / 1e7, rtol=1e-12)
        target = work.shift(1).loc[ex.exposure.index].abs().sum(axis=1)
        np.testing.assert_allclose(ex.exposure["target_weight"], target, rtol=1e-12)


@pytest.mark.parametrize(
    "seed, n_days, n_stocks", [(11, 150, 23), (12, 65, 8), (13, 2, 3), (14, 600, 11)]
)
def test_every_layout_records_the_same_tables_in_the_same_order(seed, n_days, n_stocks):
    # Row-major inputs are walked day by day, column-major ones a stock at a time and mixed
    # ones over blocks of four stocks, a chunk of days at a time; the tables, their row
    # order and the returns must not differ.
    base = make_market(n_days=n_days, n_stocks=n_stocks, seed=seed, blocked=0.15,
                       missing_price=0.05)
    runs = {}
    for layout in LAYOUTS:
        m = market_in_layout(base, layout)
        runs[layout] = backtest(m.weights, market_of(m), execution=True, capital=1e7)
    first = runs["columns"]
    assert len(first.execution.trades) > 0 or n_days <= 2
    for layout, got in runs.items():
        np.testing.assert_array_equal(got.returns.to_numpy().view(np.int64),
                                      first.returns.to_numpy().view(np.int64), err_msg=layout)
        for table in ("trades", "blocked", "exposure", "attribution", "positions"):
            pd.testing.assert_frame_equal(getattr(got.execution, table),
                                          getattr(first.execution, table), check_exact=True,
                                          obj=f"{layout} {table}")
        pd.testing.assert_frame_equal(got.execution.attribution_by_stock(),
                                      first.execution.attribution_by_stock(), check_exact=True)
    # Rows come in (date, stock) order, stocks in the order of the market's columns.
    for table in (first.execution.trades, first.execution.blocked):
        if table.empty:
            continue
        column = table["code"].map({c: k for k, c in enumerate(first.execution.positions.columns)})
        key = table["date"].rank(method="dense") * (n_stocks + 1) + column
        assert key.is_monotonic_increasing

def days(n):
    """The market's trading days, as a Market labels them."""
    return pd.DatetimeIndex(pd.to_datetime(trading_dates(n), format="%Y%m%d"), name="date")


def flat(n_days, n_stocks, close=10.0):
    dates, codes = days(n_days), stock_codes(n_stocks)

    def full(value, dtype=float):
        return pd.DataFrame(np.full((n_days, n_stocks), value, dtype=dtype), index=dates,
                            columns=codes)

    return dict(can_buy_stock=full(True, bool), cant_sell_stock=full(False, bool),
                split_factor=full(np.nan), dividend_factor=full(np.nan), close_price=full(close),
                prev_close=full(close), buy_price=full(close), sell_price=full(close))


def weights_of(matrices, values):
    close = matrices["close_price"]
    return pd.DataFrame(np.asarray(values, dtype=float).reshape(close.shape), index=close.index,
                        columns=close.columns)


class TestHandBuiltCases:
    def test_limit_up_then_a_free_day(self):
        mx = flat(4, 1)
        mx["can_buy_stock"].iloc[1, 0] = False  # the first day to trade is limit-up
        ex = backtest(weights_of(mx, [0.5] * 4), Market(**mx), execution=True,
                      capital=1e6).execution
        assert ex.blocked[["date", "side", "shares", "cause"]].values.tolist() == [
            [days(4)[1], "buy", 50_000.0, "buy_blocked"]]
        assert ex.trades[["date", "side", "shares"]].values.tolist() == [
            [days(4)[2], "buy", 50_000.0]]
        assert ex.exposure["buy_blocked_weight"].tolist() == [0.5, 0.0, 0.0]

    def test_suspension_spanning_a_weight_drop(self):
        mx = flat(6, 1)
        mx["cant_sell_stock"].iloc[3:5, 0] = True  # suspended on days 4 and 5
        w = weights_of(mx, [0.5, 0.5, 0.0, 0.0, 0.0, 0.0])
        ex = backtest(w, Market(**mx), execution=True, capital=1e6).execution
        dates = days(6)
        # The weight drops for day 4; the stock cannot be sold on days 4 and 5.
        assert ex.blocked[["date", "cause", "shares"]].values.tolist() == [
            [dates[3], "sell_blocked", 50_000.0], [dates[4], "sell_blocked", 50_000.0]]
        sells = ex.trades[ex.trades["side"] == "sell"]
        assert sells[["date", "shares"]].values.tolist() == [[dates[5], 50_000.0]]
        assert ex.positions.iloc[:, 0].tolist() == [50_000.0] * 4 + [0.0]

    def test_split_and_dividend_day(self):
        mx = flat(4, 1)
        mx["split_factor"].iloc[2, 0] = 2.0
        mx["dividend_factor"].iloc[2, 0] = 0.3
        mx["close_price"].iloc[2:, 0] = 5.0
        mx["prev_close"].iloc[3, 0] = 5.0
        mx["sell_price"].iloc[2:, 0] = 5.0
        w = weights_of(mx, [0.5, 0.25, 0.25, 0.25])  # half is sold on the split day
        result = backtest(w, Market(**mx), execution=True, capital=1e6, fee=0.0, rule_fee=0.0)
        ex = result.execution
        day = days(4)[2]
        # Shares held and shares sold that day both receive the dividend.
        assert ex.attribution.loc[day, "dividend"] == pytest.approx(50_000 * 0.3 / 1e6)
        # The 25,000 old shares kept through the split are 50,000 new ones, which is the
        # next day's target at the new price: nothing is bought back after the split.
        assert ex.positions.iloc[:, 0].tolist() == [50_000.0, 50_000.0, 50_000.0]
        sell = ex.trades[(ex.trades["date"] == day) & (ex.trades["side"] == "sell")]
        assert sell["price"].tolist() == [10.0]  # 5.0 after the split, times the factor 2
        assert ex.trades["date"].tolist() == [days(4)[1], day]
        np.testing.assert_allclose(ex.attribution.sum(axis=1), result.returns, atol=1e-15)

    def test_a_split_keeps_whole_shares(self):
        # 300 x 1.1 is 330.00000000000006 in floating point: the position is whole shares.
        mx = flat(4, 1)
        mx["split_factor"].iloc[2, 0] = 1.1
        mx["close_price"].iloc[2:, 0] = 10.0 / 1.1
        mx["prev_close"].iloc[3, 0] = 10.0 / 1.1
        mx["buy_price"].iloc[2:, 0] = 10.0 / 1.1
        mx["sell_price"].iloc[2:, 0] = 10.0 / 1.1
        w = weights_of(mx, [0.03] * 4)
        ex = backtest(w, Market(**mx), execution=True, capital=1e5, lot_size=100, fee=0.0,
                      rule_fee=0.0).execution
        # The next day's target at the new price is 3 lots again: the 30 new shares go.
        assert ex.positions.iloc[:, 0].tolist() == [300.0, 330.0, 300.0]
        assert ex.trades[["side", "shares"]].values.tolist() == [["buy", 300.0], ["sell", 30.0]]

    def test_a_short_position(self):
        mx = flat(3, 1)
        ex = backtest(weights_of(mx, [-0.25] * 3), Market(**mx), execution=True,
                      capital=1e6).execution
        assert ex.trades["side"].tolist() == ["sell"]
        assert ex.positions.iloc[:, 0].tolist() == [-25_000.0, -25_000.0]
        assert ex.exposure["target_weight"].tolist() == [0.25, 0.25]  # gross
        assert ex.exposure["held_weight"].tolist() == [0.25, 0.25]

    def test_a_missing_previous_close(self):
        mx = flat(3, 2)
        mx["prev_close"].iloc[1, 1] = np.nan
        ex = backtest(weights_of(mx, [0.3] * 6), Market(**mx), execution=True,
                      capital=1e6).execution
        assert ex.exposure["no_price_weight"].tolist() == [0.3, 0.0]
        assert ex.exposure["target_weight"].tolist() == [0.6, 0.6]
        assert ex.summary["no_price_share"] == pytest.approx(0.3 / 1.2)


@pytest.mark.slow
def test_files_chart_and_report(tmp_path):
    m = make_market(n_days=60, n_stocks=15, seed=4, blocked=0.1)
    _, _, recorded, _ = run(m)
    files = recorded.save(tmp_path)
    names = {p.name for p in files}
    assert {"trades.parquet", "positions.parquet", "exposure.csv", "attribution.csv",
            "strategy_execution.png"} <= names
    trades = pd.read_parquet(tmp_path / "trades.parquet")
    ex = recorded.execution
    pd.testing.assert_frame_equal(trades, ex.trades.astype({"side": str}))
    pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "positions.parquet"), ex.positions,
                                  check_index_type=False)
    assert (tmp_path / "strategy_execution.png").stat().st_size > 20_000
    page = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert "Execution" in page and page.count("data:image/png;base64,") == 3
    summary = recorded.execution.summary
    assert summary["trades"] == len(trades) and summary["average_holdings"] > 0
    # One definition of each: the summary's figures are the metrics'.
    assert summary["executed_turnover"] == recorded.metrics["turnover"]
    assert summary["average_holdings"] == recorded.metrics["average_holdings"]


THREADS_SCRIPT = """
import sys
import numpy as np
from kestrelia.backtest import Market, backtest
from tests.support.markets import make_market
m = make_market(n_days=900, n_stocks=13, seed=21, blocked=0.15, missing_price=0.05)
r = backtest(m.weights, Market(**m.matrices(), benchmarks={}), execution=True, capital=1e7)
ex = r.execution
np.savez(sys.argv[1], returns=r.returns.to_numpy(), exposure=ex.exposure.to_numpy(),
         attribution=ex.attribution.to_numpy(), by_stock=ex.attribution_by_stock().to_numpy(),
         trade_shares=ex.trades["shares"].to_numpy(), trade_price=ex.trades["price"].to_numpy(),
         trade_codes=ex.trades["code"].to_numpy(dtype=str),
         blocked=ex.blocked["shares"].to_numpy(), positions=ex.positions.to_numpy())
"""


@pytest.mark.slow
def test_one_thread_and_several_record_the_same_bits(tmp_path):
    # Long runs are recorded a chunk of days per thread; how many threads there are must
    # not change a single bit, the per-stock totals included.
    root = Path(__file__).parents[2]
    results = {}
    for threads in ("1", "3"):
        out = tmp_path / f"threads{threads}.npz"
        env = {**os.environ, "KESTRELIA_NUM_THREADS": threads,
               "PYTHONPATH": os.pathsep.join(filter(None, [str(root), os.environ.get("PYTHONPATH")]))}
        subprocess.run([sys.executable, "-c", THREADS_SCRIPT, str(out)], env=env, check=True,
                       timeout=300)
        results[threads] = dict(np.load(out))
    assert len(results["1"]["trade_shares"]) > 100
    for key, one in results["1"].items():
        several = results["3"][key]
        if one.dtype.kind == "f":
            np.testing.assert_array_equal(one.view(np.uint64), several.view(np.uint64), err_msg=key)
        else:
            np.testing.assert_array_equal(one, several, err_msg=key)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_the_plain_walk_counts_what_the_record_records(layout):
    """Money traded and stocks held per day, from the plain walk, equal the record's."""
    m = market_in_layout(make_market(n_days=120, n_stocks=17, seed=21, blocked=0.1), layout)
    market = Market(**m.matrices())
    plain = backtest(m.weights, market, capital=1e7, lot_size=100)
    recorded = backtest(m.weights, market, capital=1e7, lot_size=100, execution=True)
    days = recorded.execution.exposure.index
    traded = plain._engine["traded"].loc[days] / 1e7
    held = plain._engine["held"].loc[days]
    np.testing.assert_array_equal(traded.to_numpy(),
                                  recorded.execution.turnover.loc[days].to_numpy())
    exposure = recorded.execution._days.loc[days, "held_count"].to_numpy()
    np.testing.assert_array_equal(held.to_numpy(), exposure)
    assert held.max() > 0 and traded.max() > 0
    # So the metrics of a run are the same with and without the record.
    pd.testing.assert_series_equal(plain.metrics, recorded.metrics)
    assert plain.metrics["turnover"] == pytest.approx(traded.mean() / 2, rel=1e-12)
