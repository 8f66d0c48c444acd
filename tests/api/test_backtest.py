"""backtest() against the engine's own pipeline, its checks of weights and options, and the
promise not to touch the caller's objects."""

import threading

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import InputError, Market, backtest
from tests.support.markets import make_market


def public_market(m, benchmarks=None):
    return Market(**m.matrices(), benchmarks=benchmarks or {})


def benchmark_series(m, seed=1):
    rng = np.random.default_rng(seed)
    dates = m.close_price.index
    return {"000852": pd.Series(rng.normal(0.0, 0.01, len(dates)), index=dates),
            "000300": pd.Series(rng.normal(0.0, 0.01, len(dates)), index=dates)}


@pytest.mark.parametrize("seed, rolling_window, primary", [(0, 0, "000852"), (3, 5, "000300"),
                                                           (7, 1, "000852")])
def test_default_lot_size_equals_the_host_pipeline(pelorin, seed, rolling_window, primary):
    m = make_market(n_days=80, n_stocks=15, seed=seed)
    benchmarks = benchmark_series(m, seed)
    core = pelorin.run_strategy_backtest_core(
        m.weights, *m.matrices().values(), benchmark_dict=benchmarks, benchmark_names=primary,
        rolling_window=rolling_window, total_money=5e7, fee=0.0002, rule_fee=0.001,
        plot_image_kind=None, strategy_name="s")
    result = backtest(m.weights, public_market(m, benchmarks), benchmark=primary,
                      rolling_window=rolling_window, capital=5e7, fee=0.0002, rule_fee=0.001,
                      name="s")
    assert list(result.returns.index.strftime("%Y%m%d")) == list(core.daily_return.index)
    np.testing.assert_array_equal(result.returns.to_numpy(), core.daily_return.to_numpy())
    np.testing.assert_array_equal(result.daily["long"].to_numpy(),
                                  core.cumulative_return.to_numpy())
    assert result.stats.to_dict() == pytest.approx(core.stats, nan_ok=True, rel=0, abs=0)
    pd.testing.assert_frame_equal(result.benchmark_summary, core.benchmark_summary)
    # The total frame is the engine's: its own frame function applied to the joined returns.
    bm = benchmarks[primary].set_axis(public_market(m).dates)
    bm = bm.loc[result.returns.index[0]:result.returns.index[-1]]
    joined = pd.DataFrame({"daily_return": result.returns, "close": bm.cumsum() + 1.0,
                           "index_daily_return": bm})
    expected = pelorin._build_total_backtesting_frame(joined)
    pd.testing.assert_frame_equal(result.daily, expected.rename_axis("date"),
                                  check_like=True)


@pytest.mark.parametrize("lot_size", [1, 100, 1000])
def test_lot_size_reaches_the_simulation(pelorin, lot_size):
    m = make_market(n_days=50, n_stocks=10, seed=4)
    result = backtest(m.weights, public_market(m), lot_size=lot_size, capital=2e6)
    simulated = pelorin.calc_strategy_vwap_daily_return(
        m.weights, *m.matrices().values(), total_money=2e6, lot_size=lot_size)
    simulated = simulated.loc[:m.weights.dropna(how="all").index.max()].dropna()
    np.testing.assert_array_equal(result.returns.to_numpy(), simulated.to_numpy())
    default = backtest(m.weights, public_market(m), capital=2e6)
    assert not np.allclose(result.returns.to_numpy(), default.returns.to_numpy())


def test_flat_benchmark_when_the_market_has_none(pelorin):
    m = make_market(seed=2)
    result = backtest(m.weights, public_market(m))
    assert (result.daily["index_daily_return"] == 0).all() and (result.daily["close"] == 1).all()
    assert result.benchmark_summary.empty


def bad_weights_cases():
    m = make_market(n_days=10, n_stocks=4, seed=5)
    w = m.weights
    inf = w.copy()
    inf.iloc[3, 2] = -np.inf
    duplicated = pd.concat([w.iloc[:3], w.iloc[2:]])
    unicode_code = w.set_axis([*w.columns[:-1], "60000\uff13"], axis=1)
    twice = w.set_axis([*w.columns[:-1], w.columns[0]], axis=1)
    flags = w.notna()
    object_bool = w.astype(object)
    object_bool.iloc[1, 1] = True
    return m, [
        (inf, rf"weights: the weight -inf at \('{w.index[3]}', '{w.columns[2]}'\) is not finite"),
        (duplicated, rf"weights: '{w.index[2]}' and '{w.index[2]}' are the same day"),
        (unicode_code, "weights: '60000\uff13' is not a stock code"),
        (twice, f"weights: '{w.columns[0]}' and '{w.columns[0]}' are the same stock code"),
        (flags, f"weights: column '{w.columns[0]}' is bool, not numeric"),
        (object_bool, f"weights: column '{w.columns[0]}' is object, not numeric"),
        (w.to_numpy(), "weights must be a pandas DataFrame, got ndarray"),
    ]


def test_bad_weights_are_refused_naming_the_first_offence():
    m, cases = bad_weights_cases()
    market = public_market(m)
    for weights, message in cases:
        with pytest.raises(InputError, match=message):
            backtest(weights, market)


@pytest.mark.parametrize("options, message", [
    ({"capital": float("inf")}, "capital must be a finite number greater than 0"),
    ({"capital": 0}, "capital must be a finite number greater than 0"),
    ({"capital": float("nan")}, "capital must be a finite number greater than 0"),
    ({"capital": "1e8"}, "capital must be a number"),
    ({"fee": 1.0}, r"fee must be a finite rate in \[0, 1\)"),
    ({"fee": -0.001}, r"fee must be a finite rate in \[0, 1\)"),
    ({"rule_fee": float("nan")}, r"rule_fee must be a finite rate in \[0, 1\)"),
    ({"lot_size": 0}, "lot_size must be at least 1"),
    ({"lot_size": 2.5}, "lot_size must be an integer"),
    ({"lot_size": True}, "lot_size must be an integer"),
    ({"rolling_window": -1}, "rolling_window must be at least 0"),
    ({"name": "../../x"}, "name '../../x' is not a plain file name"),
    ({"name": "a/b"}, "name 'a/b' is not a plain file name"),
    ({"name": ""}, "name must be a non-empty text"),
    ({"benchmark": "000001"}, "benchmark '000001' is not in the market"),
])
def test_bad_options_are_refused(options, message):
    m = make_market(n_days=10, n_stocks=4, seed=5)
    with pytest.raises(InputError, match=message):
        backtest(m.weights, public_market(m, benchmark_series(m)), **options)


def test_runs_without_a_return_day_get_one_clear_error():
    m = make_market(n_days=20, n_stocks=5, seed=6)
    market = public_market(m)
    with pytest.raises(InputError, match="no stock of the market has a weight"):
        backtest(m.weights * np.nan, market)
    # Positions so large that every simulated day overflows to NaN.
    with pytest.raises(InputError, match="every return day of the backtest is NaN"):
        backtest(m.weights * 0 + 1e5, market, capital=1e308)
    with pytest.raises(InputError, match=r"weights: the weight 1e\+308 at \('20210104', "
                                         r"'600000'\) is not a fraction of the capital"):
        backtest(m.weights * 0 + 1e308, market)
    with pytest.raises(InputError, match="no weight row sets a target on a day of the backtest"):
        backtest(m.weights.set_axis([f"2030{i + 101:04d}" for i in range(20)]), market)
    with pytest.raises(InputError, match="share no stock code"):
        backtest(m.weights.set_axis([f"{i:06d}" for i in range(5)], axis=1), market)


def test_inputs_are_neither_copied_nor_modified():
    m = make_market(n_days=30, n_stocks=6, seed=8)
    benchmarks = benchmark_series(m)
    before = {k: v.copy() for k, v in m.matrices().items()}
    weights_before = m.weights.copy()
    market = public_market(m, benchmarks)
    assert np.shares_memory(market.close_price.to_numpy(), m.close_price.to_numpy())
    assert np.shares_memory(market.benchmarks["000852"].to_numpy(),
                            benchmarks["000852"].to_numpy())
    backtest(m.weights, market, rolling_window=3)
    pd.testing.assert_frame_equal(m.weights, weights_before)
    for key, frame in before.items():
        pd.testing.assert_frame_equal(m.matrices()[key], frame)


def test_threads_get_the_serial_results():
    markets = [make_market(n_days=60, n_stocks=12, seed=s) for s in range(6)]
    serial = [backtest(m.weights, public_market(m), lot_size=100).returns for m in markets]
    found: dict[int, pd.Series] = {}

    def work(i):
        found[i] = backtest(markets[i].weights, public_market(markets[i]), lot_size=100).returns

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(markets))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, expected in enumerate(serial):
        pd.testing.assert_series_equal(found[i], expected)
