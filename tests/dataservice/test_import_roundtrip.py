"""The demo market exported as daily-bar tables and imported again gives the very factor
folder and the very backtest the demo's own data gives."""

import numpy as np
import pandas as pd
import pytest

from kestrelia import singleton
from kestrelia.backtest import Store, _pelorin
from kestrelia.backtest.app import demo_market, strategy
from kestrelia.dataservice import LocalFactorService, import_daily_bars, write_factor_folder


@pytest.fixture(scope="module")
def folders(tmp_path_factory):
    previous = singleton.set_instance(None)
    root = tmp_path_factory.mktemp("roundtrip")
    market = demo_market.generate_market(n_stocks=150, years=1.2, seed=11)
    write_factor_folder(root / "own", market.factors, market.index_daily)
    paths = demo_market.write_daily_bar_tables(market, root / "tables")
    summary = import_daily_bars(paths["daily_bars"], root / "imported", buy_price="buy_vwap",
                                sell_price="sell_vwap", index_bars=paths["index_bars"],
                                index_members=paths["index_members"])
    yield market, root, summary
    singleton.set_instance(previous)


def test_every_factor_and_index_row_comes_back_bit_for_bit(folders):
    market, root, summary = folders
    own, imported = LocalFactorService(root / "own"), LocalFactorService(root / "imported")
    assert set(own.factor_names()) <= set(imported.factor_names())
    for name in own.factor_names():
        a, b = own.get_factors(name), imported.get_factors(name)
        pd.testing.assert_frame_equal(a, b, check_exact=True, obj=name)
    codes = list(market.index_daily["ukey"].unique())
    pd.testing.assert_frame_equal(own.get_index_daily(codes), imported.get_index_daily(codes),
                                  check_exact=True)
    assert summary["rows_rejected"] == 0 and summary["derived"]["splits"] > 0
    assert summary["derived"]["dividends"] > 0 and summary["derived"]["suspended flag"] > 0


def test_the_backtest_from_both_stores_is_identical(folders):
    market, root, _ = folders
    dates = market.dates.strftime("%Y%m%d")
    results = []
    for name in ("own", "imported"):
        store = root / f"store_{name}"
        Store(store).build(root / name, dates[0], dates[-1])
        loaded = Store(store).market()
        members = Store(store).components()["rq_index_components_new_000852.XSHG"]
        weights = strategy.reversal_weights(loaded.matrices(), members)
        results.append(_pelorin.run_strategy_backtest_core(
            weights, **loaded.matrices(), benchmark_dict=loaded.benchmarks,
            benchmark_names="000852", rolling_window=3))
    own, imported = results
    assert len(own.daily_return) > 100 and own.daily_return.abs().sum() > 0
    pd.testing.assert_series_equal(own.daily_return, imported.daily_return, check_exact=True)
    assert own.stats.keys() == imported.stats.keys()
    for key, value in own.stats.items():
        other = imported.stats[key]
        assert value == other or (np.isnan(value) and np.isnan(other)), key
    pd.testing.assert_frame_equal(own.benchmark_summary, imported.benchmark_summary,
                                  check_exact=True)
