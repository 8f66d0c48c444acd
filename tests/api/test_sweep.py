"""Sweeps: many strategies over one market on threads and on a local Dask cluster give the
results of one backtest each; failures stay one line each and never lose the others."""

import functools
import io
import sys

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import Market, backtest, sweep
from kestrelia.backtest._prepare import BinaryPreparedDataStore
from kestrelia.errors import InputError
from tests.support.markets import make_market

OPTIONS = {"benchmark": "000852", "fee": 0.0003, "rule_fee": 0.001, "capital": 1e7}


def synthetic(seed=3, n_days=90, n_stocks=30):
    m = make_market(n_days=n_days, n_stocks=n_stocks, seed=seed)
    bench = pd.Series(np.random.default_rng(seed).normal(0, 0.01, n_days), index=m.close_price.index)
    market = Market(**m.matrices(), benchmarks={"000852": bench})
    return m, market


def top_k(market, k):
    """Equal weights on the k highest closes of each day (a deterministic grid strategy)."""
    close = market.close_price
    rank = close.rank(axis=1, ascending=False, method="first")
    picked = (rank <= k).astype(float).where(rank <= k)
    return picked.div(picked.sum(axis=1), axis=0)


def strategies(m):
    grid = {f"top{k}": functools.partial(top_k, k=k) for k in (3, 8, 15)}
    return {"given": m.weights, **grid, "raises": _raises,
            "wrong type": lambda market: "not a frame"}


def _raises(market):
    raise RuntimeError("factor file is corrupt")


def expected_alone(market, items):
    out = {}
    for name, strategy in items.items():
        try:
            weights = strategy(market) if callable(strategy) else strategy
            out[name] = backtest(weights, market, name=name, **OPTIONS)
        except Exception:
            continue
    return out


def assert_matches_alone(result, alone):
    assert list(result.stats.index) == list(alone)
    for name, single in alone.items():
        pd.testing.assert_series_equal(result.returns[name].dropna(), single.returns,
                                       check_names=False, check_freq=False)
        got = result.stats.loc[name, list(single.stats.index)].astype(float)
        np.testing.assert_array_equal(got.to_numpy(), single.stats.astype(float).to_numpy())


class TestThreads:
    @pytest.mark.parametrize("workers", [1, 2, 4])
    def test_equals_one_backtest_each(self, workers):
        m, market = synthetic()
        items = strategies(m)
        result = sweep(items, market, workers=workers, progress=False, **OPTIONS)
        assert_matches_alone(result, expected_alone(market, items))
        assert result.failed == {
            "raises": "RuntimeError: factor file is corrupt",
            "wrong type": "the strategy's callable returned str, not a weights DataFrame",
        }

    def test_strategy_files_and_a_missing_one(self, tmp_path):
        m, market = synthetic()
        path = tmp_path / "w.csv"
        m.weights.to_csv(path)
        result = sweep({"file": path, "missing": tmp_path / "nope.parquet"}, market,
                       progress=False, **OPTIONS)
        alone = backtest(m.weights, market, name="file", **OPTIONS)
        pd.testing.assert_series_equal(result.returns["file"].dropna(), alone.returns,
                                       check_names=False, check_freq=False)
        assert list(result.failed) == ["missing"] and "nope.parquet" in result.failed["missing"]

    def test_bad_arguments(self):
        _, market = synthetic()
        with pytest.raises(InputError, match="no strategies given"):
            sweep({}, market)
        with pytest.raises(InputError, match="must be a mapping"):
            sweep([("a", None)], market)
        with pytest.raises(InputError, match="workers must be a whole number"):
            sweep({"a": _raises}, market, workers=0)
        with pytest.raises(InputError, match="'name' is each strategy's own"):
            sweep({"a": _raises}, market, name="x")
        with pytest.raises(InputError, match="market must be a Market or a store path"):
            sweep({"a": _raises}, 3.5)

    def test_all_failing_gives_empty_tables(self):
        _, market = synthetic()
        result = sweep({"a": _raises, "b": _raises}, market, progress=False)
        assert result.stats.empty and result.returns.empty and len(result.failed) == 2

    def test_progress_bar_only_on_a_terminal(self, monkeypatch):
        m, market = synthetic(n_days=30, n_stocks=8)

        class Terminal(io.StringIO):
            def isatty(self):
                return True

        stream = Terminal()
        monkeypatch.setattr(sys, "stderr", stream)
        sweep({"a": m.weights, "b": m.weights}, market, progress=True)
        assert "2/2" in stream.getvalue()
        quiet = Terminal()
        monkeypatch.setattr(sys, "stderr", quiet)
        sweep({"a": m.weights}, market, progress=False)
        assert quiet.getvalue() == ""


class TestResult:
    def test_figure_save_and_legend_limits(self, tmp_path):
        m, market = synthetic(n_days=40, n_stocks=20)
        rng = np.random.default_rng(0)
        many = {f"s{i:02d}": m.weights.mul(rng.random(), axis=0) for i in range(60)}
        result = sweep(many, market, progress=False)
        fig = result.figure(top=10)
        ax = fig.axes[0]
        assert len(ax.get_legend().get_texts()) == 10
        assert len(ax.lines) == 60 + 1  # every strategy and the 1.0 line
        net = result.net_values()
        assert (net.iloc[-1].diff().dropna() <= 0).all()  # best first
        files = result.save(tmp_path / "out")
        assert {f.name for f in files} == {"stats.csv", "stats.parquet", "returns.csv",
                                          "returns.parquet", "failed.csv", "sweep.png"}
        assert pd.read_parquet(tmp_path / "out" / "returns.parquet").shape == result.returns.shape
        with pytest.raises(InputError, match="already exists"):
            result.save(tmp_path / "out")


def write_store(path, m, bench):
    data = {"close_price": m.close_price, "prev_close": m.prev_close, "buy_price": m.buy_price,
            "sell_price": m.sell_price, "can_buy_stock": m.can_buy_stock,
            "cant_sell_stock": m.cant_sell_stock, "rq_get_split": m.split_factor,
            "rq_get_dividend": m.dividend_factor, "benchmark_dict": {"000852": bench}}
    BinaryPreparedDataStore(str(path), []).write({"version": 1, "meta": {}, "data": data})


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=50) as lc, distributed.Client(lc) as client:
        yield client


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
class TestDask:
    def test_cluster_equals_threads_and_sees_updates(self, cluster, tmp_path):
        m = make_market(n_days=90, n_stocks=30, seed=5)
        bench = pd.Series(np.random.default_rng(5).normal(0, 0.01, 90), index=m.close_price.index)
        store = tmp_path / "store"
        write_store(store, m, bench)
        items = {f"top{k}": functools.partial(top_k, k=k) for k in (3, 8)}
        items["raises"] = _raises
        on_threads = sweep(items, store, progress=False, **OPTIONS)
        on_cluster = sweep(items, store, client=cluster, progress=False, **OPTIONS)
        pd.testing.assert_frame_equal(on_cluster.stats, on_threads.stats)
        pd.testing.assert_frame_equal(on_cluster.returns, on_threads.returns)
        assert on_cluster.failed == on_threads.failed == {
            "raises": "RuntimeError: factor file is corrupt"}
        # The store changes between two sweeps: the workers see the new market.
        changed = make_market(n_days=90, n_stocks=30, seed=6)
        write_store(store, changed, bench)
        again = sweep(items, store, client=cluster, progress=False, **OPTIONS)
        fresh = sweep(items, store, progress=False, **OPTIONS)
        pd.testing.assert_frame_equal(again.returns, fresh.returns)
        assert not again.returns.equals(on_cluster.returns)

    def test_a_market_without_a_store_is_refused(self, cluster):
        _, market = synthetic()
        with pytest.raises(InputError, match="pass the store path"):
            sweep({"a": _raises}, market, client=cluster)


def test_client_without_distributed_says_what_to_install(monkeypatch, tmp_path):
    import builtins

    real_import = builtins.__import__

    def no_distributed(name, *args, **kwargs):
        if name.split(".")[0] in ("distributed", "dask"):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_distributed)
    _, market = synthetic()
    with pytest.raises(InputError, match=r"pip install 'kestrelia\[distributed\]'"):
        sweep({"a": _raises}, market, client=object())
