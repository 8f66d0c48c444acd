"""The backtest pipeline: restriction, early results, benchmark join and summary, the
order of its calls, and concurrent runs."""

import math
import threading

import numpy as np
import pandas as pd
import pytest

from tests.support import reference
from tests.support.checks import assert_same_stats
from tests.support.markets import make_market


def benchmark_series(dates, seed=0, scale=0.01):
    return pd.Series(np.random.default_rng(seed).normal(0.0003, scale, len(dates)), index=dates)


def assert_matches_reference(result, expected):
    daily, cumulative, stats, summary = expected
    pd.testing.assert_series_equal(result.daily_return, daily, rtol=1e-12, atol=1e-15)
    pd.testing.assert_series_equal(result.cumulative_return, cumulative, rtol=1e-12)
    assert_same_stats(result.stats, stats)
    pd.testing.assert_frame_equal(result.benchmark_summary, summary, rtol=1e-12)


def assert_early(pelorin, result, work):
    assert result.daily_return.empty and result.daily_return is result.cumulative_return
    assert result.benchmark_summary.empty and result.plot_paths == {}
    empty = pd.DataFrame(columns=reference.TOTAL_FRAME_COLUMNS)
    expected = pelorin.calc_strategy_stats(empty, work)
    assert list(result.stats) == list(expected)
    assert all(math.isnan(v) for v in result.stats.values())


@pytest.mark.parametrize("rolling_window", [0, 3])
@pytest.mark.parametrize("seed", [0, 1])
def test_pipeline_equals_the_step_by_step_formulation(pelorin, seed, rolling_window):
    market = make_market(n_days=90, n_stocks=20, seed=seed)
    dates = market.close_price.index
    bench = {
        "000852": benchmark_series(dates, seed),
        "000300": benchmark_series(dates[10:70], seed + 1),
        "000905": benchmark_series(pd.Index(["19990101"]), seed + 2),  # shares no date
    }
    result = pelorin.run_strategy_backtest_core(
        *market.args(), benchmark_dict=bench, rolling_window=rolling_window, strategy_name="s1"
    )
    expected = reference.backtest(*market.args(), benchmark_dict=bench, rolling_window=rolling_window)
    assert_matches_reference(result, expected)
    assert result.strategy_name == "s1" and result.plot_paths == {}
    assert list(result.benchmark_summary["benchmark_name"]) == ["000852", "000300"]
    assert list(result.benchmark_summary.columns) == [
        "benchmark_name", "benchmark_annual_return", "excess_annual_return", "excess_sharpe",
        "excess_max_dd",
    ]  # fmt: skip
    assert result.cumulative_return.iloc[0] == 1.0


def test_weights_outside_the_priced_dates_and_stocks_are_ignored(pelorin):
    market = make_market(n_days=40, n_stocks=6, seed=3)
    market.weights["600005"] = np.nan  # a priced stock that is never weighted
    base = pelorin.run_strategy_backtest_core(*market.args())
    extra = market.weights.copy()
    extra["999999"] = 0.3  # a stock without prices
    extra = pd.concat([extra, pd.DataFrame(0.2, index=["20991231"], columns=extra.columns)])
    market.weights = extra
    result = pelorin.run_strategy_backtest_core(*market.args())
    pd.testing.assert_series_equal(result.daily_return, base.daily_return.rename(result.daily_return.name))


def test_all_nan_weights_return_the_early_result(pelorin, market, monkeypatch):
    market.weights = market.weights * np.nan

    def must_not_run(**kwargs):
        raise AssertionError("VWAP computed for an empty signal")

    monkeypatch.setattr(pelorin, "calc_strategy_vwap_daily_return", must_not_run)
    result = pelorin.run_strategy_backtest_core(*market.args(), plot_save_path="x.png")
    assert_early(pelorin, result, market.weights)


def test_only_return_day_after_the_last_weights_gives_the_early_result(pelorin):
    # Weights on the first date only: the single return day is the day after it, which is
    # not part of the backtest. Without a benchmark nothing is left to assemble.
    market = make_market(n_days=5, n_stocks=3, seed=1)
    market.weights.iloc[1:] = np.nan
    market.weights.iloc[0] = 0.3
    for bench in (None, {"000852": benchmark_series(market.close_price.index)}):
        result = pelorin.run_strategy_backtest_core(*market.args(), benchmark_dict=bench)
        assert_early(pelorin, result, market.weights)


def test_without_a_benchmark_the_run_is_measured_against_a_flat_one(pelorin, market, monkeypatch):
    seen = {}
    original = pelorin._build_total_backtesting_frame

    def spy(total_backtesting):
        seen["input"] = total_backtesting
        seen["total"] = original(total_backtesting)
        return seen["total"]

    monkeypatch.setattr(pelorin, "_build_total_backtesting_frame", spy)
    pelorin.run_strategy_backtest_core(*market.args(), benchmark_dict={"000300": benchmark_series(market.close_price.index)})
    assert list(seen["input"].columns) == ["daily_return", "index_daily_return", "close"]
    total = seen["total"]
    assert (total["index_daily_return"] == 0.0).all() and (total["close_net_value"] == 1.0).all()
    pd.testing.assert_series_equal(total["extra_daily_return"], total["daily_return"], check_names=False)


def test_benchmark_gaps_and_non_finite_values(pelorin, monkeypatch):
    market = make_market(n_days=30, n_stocks=5, seed=2)
    dates = market.close_price.index
    bm = benchmark_series(dates)
    bm.iloc[5] = np.inf
    bm.iloc[6] = np.nan
    bm = bm.drop(dates[10])
    seen = {}
    original = pelorin._build_total_backtesting_frame
    monkeypatch.setattr(pelorin, "_build_total_backtesting_frame",
                        lambda tb: seen.setdefault("total", original(tb)))
    result = pelorin.run_strategy_backtest_core(*market.args(), benchmark_dict={"000852": bm})
    total = seen["total"]
    assert dates[10] not in total.index  # inner join
    assert total.loc[dates[5], "index_daily_return"] == 0.0
    assert total.loc[dates[6], "index_daily_return"] == 0.0
    # The summary reindexes the raw series: the NaN day is dropped, the infinite one kept.
    row = result.benchmark_summary.iloc[0]
    assert math.isinf(row["benchmark_annual_return"])


def test_benchmark_net_value_ignores_history_before_the_backtest(pelorin, monkeypatch):
    market = make_market(n_days=40, n_stocks=6, seed=4)
    dates = market.close_price.index
    inside = benchmark_series(dates, seed=9)
    history = pd.Series(-0.05, index=pd.Index([f"2019{m:02d}15" for m in range(1, 13)]))
    longer = pd.concat([history, inside])
    totals = []
    original = pelorin._build_total_backtesting_frame
    monkeypatch.setattr(pelorin, "_build_total_backtesting_frame",
                        lambda tb: totals.append(original(tb)) or totals[-1])
    a = pelorin.run_strategy_backtest_core(*market.args(), benchmark_dict={"000852": inside})
    b = pelorin.run_strategy_backtest_core(*market.args(), benchmark_dict={"000852": longer})
    pd.testing.assert_frame_equal(totals[0], totals[1])
    assert a.stats["benchmark_annual_return"] == b.stats["benchmark_annual_return"]
    # Summed -60 % of history would have pushed the level below zero and flipped signs.
    assert (totals[1]["close"] > 0).all()


def test_calls_go_through_the_module_in_order(pelorin, market, monkeypatch):
    calls = []
    for name in ("_smooth_strategy_weights", "calc_strategy_stats",
                 "calc_strategy_vwap_daily_return", "_build_total_backtesting_frame"):
        original = getattr(pelorin, name)

        def spy(*args, _name=name, _original=original, **kwargs):
            calls.append((_name, len(args), sorted(kwargs)))
            return _original(*args, **kwargs)

        monkeypatch.setattr(pelorin, name, spy)
    pelorin.run_strategy_backtest_core(*market.args(), rolling_window=4, fee=0.001)
    assert [c[0] for c in calls] == [
        "_smooth_strategy_weights", "calc_strategy_stats", "calc_strategy_vwap_daily_return",
        "_build_total_backtesting_frame", "calc_strategy_stats",
    ]  # fmt: skip
    assert calls[0][1] == 2 and calls[2][1] == 0
    assert calls[2][2] == sorted([
        "signal_matrix", "can_buy_stock", "cant_sell_stock", "split_factor", "dividend_factor",
        "close_price", "prev_close", "buy_price", "sell_price", "total_money", "fee", "rule_fee",
    ])  # fmt: skip


def test_concurrent_runs_equal_serial_runs(pelorin):
    markets = [make_market(n_days=250, n_stocks=80, seed=s) for s in (11, 12)]
    bench = {"000852": benchmark_series(markets[0].close_price.index)}
    serial = [pelorin.run_strategy_backtest_core(*m.args(), benchmark_dict=bench, rolling_window=3)
              for m in markets]
    results = [None, None]
    barrier = threading.Barrier(2)

    def work(i):
        barrier.wait()
        for _ in range(3):
            results[i] = pelorin.run_strategy_backtest_core(
                *markets[i].args(), benchmark_dict=bench, rolling_window=3)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, serial):
        pd.testing.assert_series_equal(got.daily_return, want.daily_return, check_exact=True)
        assert got.stats == want.stats


def test_inputs_are_not_modified(pelorin, market):
    before = [a.copy() for a in market.args()]
    bm = benchmark_series(market.close_price.index)
    bm_before = bm.copy()
    pelorin.run_strategy_backtest_core(*market.args(), benchmark_dict={"000852": bm}, rolling_window=5)
    for a, b in zip(market.args(), before):
        pd.testing.assert_frame_equal(a, b)
    pd.testing.assert_series_equal(bm, bm_before)
